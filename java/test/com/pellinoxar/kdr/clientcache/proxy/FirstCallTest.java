package com.pellinoxar.kdr.clientcache.proxy;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;

import java.util.List;
import org.junit.jupiter.api.Test;

/** Runs in a JVM of its own: only the first native call of a process can show these. */
class FirstCallTest {
  @Test
  void callsBeforeInitLoadNothingAndInitLoadsTheInstalledLibrary() throws Exception {
    FakeProxy.reset();
    assertEquals(FileCacheProxy.ERR_KDRCP_NOT_INITIALIZED, FileCacheProxy.VXNClearCache());

    // The table is still empty: the wrappers answer, and the results array must not receive
    // uninitialised memory but "not executed" for every item.
    String[] keys = {"old0", "old1"};
    int[] results = {7, 7};
    assertEquals(FileCacheProxy.ERR_KDRCP_NOT_INITIALIZED,
        FileCacheProxy.VXNRegisterTickets(new String[] {"a", "b"}, keys, results));
    assertArrayEquals(new int[] {-3010, -3010}, results);
    assertArrayEquals(new String[] {"old0", "old1"}, keys);
    byte[][] message = {new byte[1]};
    assertEquals(FileCacheProxy.ERR_KDRCP_NOT_INITIALIZED, FileCacheProxy.VXNGetLastError(message));
    assertNull(message[0]);
    assertEquals(0, FileCacheProxy.VXNTerm());
    assertEquals(List.of(), FakeProxy.entries(), "the installed library must not even be loaded");

    assertEquals(0, FileCacheProxy.VXNInit());
    List<FakeProxy.Call> calls = FakeProxy.calls();
    assertEquals(List.of("LOADED", "VXN_Init"), FakeProxy.entries());
    assertEquals("1", calls.get(1).arg("alloc"), "the allocator must be the C library's malloc");
    assertEquals("1", calls.get(1).arg("release"), "the release function must be free");
  }
}
