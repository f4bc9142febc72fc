package com.pellinoxar.kdr.clientcache.proxy;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.nio.charset.StandardCharsets;
import org.junit.jupiter.api.Test;

/**
 * Arrays and progress runs far beyond the JVM's local-reference capacity. A reference kept per
 * element or per report shows as a "JNI local refs" warning under -Xcheck:jni, which the test
 * runner turns into a failure.
 */
class LocalReferenceTest extends FakeProxyCase {
  static final int N = 100_000;

  static String ticket(int i) {
    return String.format("%064d", i) + "v001" + "t".repeat(160);
  }

  @Test
  void registerAndDownloadHundredThousandTickets() throws Exception {
    String[] tickets = new String[N];
    for (int i = 0; i < N; ++i) tickets[i] = ticket(i);
    String[] keys = new String[N];
    int[] results = new int[N];
    assertEquals(0, FileCacheProxy.VXNRegisterTickets(tickets, keys, results));
    FakeProxy.Call call = FakeProxy.onlyCall();
    assertEquals(N, call.intArg("count"));
    assertEquals(FakeProxy.hash(tickets), call.arg("hash"), "every ticket arrives intact");
    for (int i = 0; i < N; i += 9_973) assertEquals(tickets[i].substring(0, 64), keys[i]);
    assertEquals(tickets[N - 1].substring(0, 64), keys[N - 1]);

    FakeProxy.reset();
    byte[][] paths = new byte[N][];
    assertEquals(0, FileCacheProxy.VXNDownloadFilesFromPLM("t", keys, null, null, paths, results));
    assertEquals(FakeProxy.hash(keys), FakeProxy.onlyCall().arg("hash"));
    assertEquals("/cache/" + keys[N - 1] + ".dat", new String(paths[N - 1], StandardCharsets.US_ASCII));
  }

  @Test
  void hundredThousandProgressReports() throws Exception {
    FakeProxy.script("progress " + N, "total " + N);
    long[] seen = {0, 0};
    ProgressListener counter = (k, d, done, total) -> {
      ++seen[0];
      seen[1] = done;
      return true;
    };
    int[] results = new int[1];
    assertEquals(0, FileCacheProxy.VXNDownloadFilesFromPLM(
        "t", new String[] {"k".repeat(64)}, counter, null, new byte[1][], results));
    assertEquals(N, seen[0]);
    assertEquals(N, seen[1]);
    assertEquals(String.valueOf(N), FakeProxy.onlyCall().progress.get(0).get("calls"));
  }
}
