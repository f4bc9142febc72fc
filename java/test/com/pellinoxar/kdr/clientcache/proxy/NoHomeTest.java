package com.pellinoxar.kdr.clientcache.proxy;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;

import org.junit.jupiter.api.Test;

/** Runs in a JVM of its own with KDR_HOME unset: the table stays empty for good. */
class NoHomeTest {
  @Test
  void withoutKdrHomeEveryMethodAnswersWithoutCrashing() {
    assertEquals(FileCacheProxy.ERR_KDRCP_NO_HOME, FileCacheProxy.VXNInit());
    assertEquals(0, FileCacheProxy.VXNInit());
    assertEquals(0, FileCacheProxy.VXNIsVXNEnabled());
    int[] results = {1};
    assertEquals(FileCacheProxy.ERR_KDRCP_NOT_INITIALIZED,
        FileCacheProxy.VXNDownloadFilesFromPLM("tag", new String[] {"k"}, (k, d, done, total) -> true,
            null, new byte[1][], results));
    assertArrayEquals(new int[] {FileCacheProxy.ERR_KDRCP_NOT_EXECUTED}, results);
    byte[][] message = {new byte[1]};
    assertEquals(FileCacheProxy.ERR_KDRCP_NOT_INITIALIZED, FileCacheProxy.VXNGetLastError(message));
    assertNull(message[0]);
    assertEquals(FileCacheProxy.ERR_KDRCP_NOT_INITIALIZED, FileCacheProxy.VXNClearCache());
    assertEquals(0, FileCacheProxy.VXNTerm());
  }
}
