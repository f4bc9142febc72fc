package com.pellinoxar.kdr.clientcache.proxy;

import static com.pellinoxar.kdr.clientcache.proxy.FileCacheProxy.ERR_KDRCP_BAD_ARG;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.Test;

/** Downloads, uploads and the progress bridge against the recording stand-in library. */
class TransferMethodsTest extends FakeProxyCase {
  static final String K0 = "a".repeat(64);
  static final String K1 = "b".repeat(64);

  /** A listener that records every report and answers from a script of booleans. */
  static final class Recorder implements ProgressListener {
    final List<String> reports = new ArrayList<>();
    final List<Object> data = new ArrayList<>();
    final boolean answer;

    Recorder(boolean answer) {
      this.answer = answer;
    }

    @Override
    public boolean ReportProgress(String key, Object listenerData, long done, long total) {
      reports.add(key.substring(0, 1) + " " + done + "/" + total);
      data.add(listenerData);
      return answer;
    }
  }

  static byte[] bytes(String s) {
    return s.getBytes(StandardCharsets.ISO_8859_1);
  }

  @Test
  void downloadWithoutListenerCopiesPathsAndResults() throws Exception {
    FakeProxy.script("progress 3", "nullout 1");
    byte[][] paths = new byte[2][];
    int[] results = {9, 9};
    assertEquals(0, FileCacheProxy.VXNDownloadFilesFromPLM(
        "tag\u00e9", new String[] {K0, K1}, null, "ignored", paths, results));
    FakeProxy.Call call = FakeProxy.onlyCall();
    assertEquals("0", call.arg("cb"), "a null listener passes a null callback");
    assertEquals("0", call.arg("ctx"), "and a null context");
    assertEquals(List.of(), call.progress);
    assertArrayEquals("tag\u00e9".getBytes(StandardCharsets.UTF_8), call.argBytes("tag"));
    assertArrayEquals(bytes("/cache/" + K0 + ".dat"), paths[0]);
    assertNull(paths[1], "an item without a path gets null");
    assertArrayEquals(new int[] {0, 0}, results);
  }

  @Test
  void transferArgumentChecksCallNothingAndTouchNoOutArray() throws Exception {
    String[] keys = {K0, K1};
    byte[][] paths = {bytes("p0"), bytes("p1")};
    String[] ids = {"i0", "i1"};
    int[] results = {5, 6};
    ProgressListener yes = (k, d, done, total) -> true;
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNDownloadFilesFromPLM(null, keys, yes, null, paths, results));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNDownloadFilesFromPLM("t", keys, yes, null, new byte[1][], results));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNDownloadFilesFromPLM("t", new String[] {K0, null}, yes, null, paths, results));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNDownloadFilesToLocation("t", keys, yes, null, null, paths, results));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNDownloadFilesToLocation("t", keys, yes, null, bytes("/d"), new byte[][] {bytes("n"), null}, results));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNDownloadFilesToLocation("t", keys, yes, null, bytes("/d"), new byte[][] {bytes("n"), {'a', 0, 'b'}}, results),
        "a byte 0 inside a name would name another file");
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNDownloadFilesToLocation("t", keys, yes, null, new byte[] {'/', 0}, paths, results));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNUploadFilesToPLM(keys, yes, null, paths, new String[1], results));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNUploadFilesToPLM(keys, yes, null, new byte[][] {null, bytes("p")}, ids, results));
    assertEquals(List.of(), FakeProxy.entries());
    assertArrayEquals(new int[] {5, 6}, results);
    assertArrayEquals(bytes("p0"), paths[0]);
    assertArrayEquals(new String[] {"i0", "i1"}, ids);
  }

  @Test
  void aShortSecondArrayLeavesItsExceptionPendingAndCallsNothing() throws Exception {
    int[] results = {5, 6};
    assertThrows(ArrayIndexOutOfBoundsException.class, () -> FileCacheProxy.VXNDownloadFilesToLocation(
        "t", new String[] {K0, K1}, null, null, bytes("/d"), new byte[][] {bytes("n0")}, results));
    assertThrows(ArrayIndexOutOfBoundsException.class, () -> FileCacheProxy.VXNUploadFilesToPLM(
        new String[] {K0, K1}, null, null, new byte[][] {bytes("p0")}, new String[2], results));
    assertThrows(ArrayIndexOutOfBoundsException.class, () -> FileCacheProxy.VXNRollBackFilesUploadedToPLM(
        new String[] {K0, K1}, new String[] {"v0"}, results));
    assertEquals(List.of(), FakeProxy.entries());
    assertArrayEquals(new int[] {5, 6}, results);
  }

  @Test
  void listenerReceivesEveryReportWithItsData() throws Exception {
    FakeProxy.script("progress 2", "total 4000");
    Recorder listener = new Recorder(true);
    Object data = new Object();
    byte[][] paths = new byte[2][];
    int[] results = new int[2];
    assertEquals(0, FileCacheProxy.VXNDownloadFilesFromPLM("t", new String[] {K0, K1}, listener, data, paths, results));
    assertEquals(List.of("a 2000/4000", "a 4000/4000", "b 2000/4000", "b 4000/4000"), listener.reports);
    for (Object d : listener.data) assertSame(data, d);
    FakeProxy.Call call = FakeProxy.onlyCall();
    assertEquals("1", call.arg("cb"));
    assertEquals("1", call.progress.get(1).get("keep"), "true keeps the transfer going");
  }

  @Test
  void listenerReturningFalseCancelsAfterItsFirstReport() throws Exception {
    FakeProxy.script("progress 5");
    Recorder listener = new Recorder(false);
    byte[][] paths = {bytes("old"), null};
    int[] results = new int[2];
    assertEquals(FileCacheProxy.ERR_KDRCP_CANCELLED, FileCacheProxy.VXNDownloadFilesFromPLM(
        "t", new String[] {K0, K1}, listener, null, paths, results));
    assertEquals(1, listener.reports.size());
    assertArrayEquals(new int[] {FileCacheProxy.ERR_KDRCP_CANCELLED, FileCacheProxy.ERR_KDRCP_NOT_EXECUTED}, results);
    assertArrayEquals(bytes("old"), paths[0], "no path is copied after a failure");
  }

  @Test
  void listenerExceptionIsThrownAndTheListenerIsNotCalledAgain() throws Exception {
    // The stand-in goes on calling back after the cancel, as a faulty implementation might.
    FakeProxy.script("progress 5", "ignorecancel 1");
    int[] calls = {0};
    ProgressListener throwing = (k, d, done, total) -> {
      ++calls[0];
      throw new IllegalStateException("listener failed");
    };
    int[] results = {5};
    byte[][] paths = new byte[1][];
    IllegalStateException e = assertThrows(IllegalStateException.class, () ->
        FileCacheProxy.VXNDownloadFilesFromPLM("t", new String[] {K0}, throwing, null, paths, results));
    assertEquals("listener failed", e.getMessage());
    assertEquals(1, calls[0]);
    FakeProxy.Call call = FakeProxy.onlyCall();
    assertEquals("5", call.progress.get(0).get("calls"));
    assertEquals("0", call.progress.get(0).get("keep"), "every later report answers cancel");
    assertArrayEquals(new int[] {5}, results, "nothing is stored while the exception is pending");
    assertNull(paths[0]);
  }

  @Test
  void aReportFromAnotherThreadCancelsWithoutTouchingJava() throws Exception {
    // The JNIEnv in the context belongs to the calling thread; using it elsewhere would crash.
    FakeProxy.script("progress 3", "foreignthread 1");
    Recorder listener = new Recorder(true);
    int[] results = new int[1];
    assertEquals(FileCacheProxy.ERR_KDRCP_CANCELLED, FileCacheProxy.VXNDownloadFilesFromPLM(
        "t", new String[] {K0}, listener, null, new byte[1][], results));
    assertEquals(List.of(), listener.reports);
  }

  @Test
  void downloadToLocationPassesDirectoryAndNamesBytesUnchanged() throws Exception {
    byte[] dir = {'/', 'o', 'u', 't', (byte) 0xFF, ' ', '%'};
    byte[][] names = {{'a', (byte) 0xE9}, bytes("b.txt")};
    Recorder listener = new Recorder(true);
    FakeProxy.script("progress 1", "results 0 -3001", "ret -3001");
    int[] results = new int[2];
    assertEquals(-3001, FileCacheProxy.VXNDownloadFilesToLocation(
        "t", new String[] {K0, K1}, listener, null, dir, names, results));
    FakeProxy.Call call = FakeProxy.onlyCall();
    assertArrayEquals(dir, call.argBytes("dir"));
    assertArrayEquals(names[0], call.itemBytes(0, "name"));
    assertArrayEquals(names[1], call.itemBytes(1, "name"));
    assertArrayEquals(new int[] {0, -3001}, results);
    assertEquals(2, listener.reports.size());
  }

  @Test
  void uploadContinuesPastFailuresAndReturnsTheVolumeIdsItGot() throws Exception {
    FakeProxy.script("results 0 -3005 0");
    String[] keys = {K0, K1, "c".repeat(64)};
    byte[][] local = {bytes("/l/0"), bytes("/l/\u00ff"), bytes("/l/2")};
    String[] ids = {"x", "x", "x"};
    int[] results = new int[3];
    assertEquals(1, FileCacheProxy.VXNUploadFilesToPLM(keys, null, null, local, ids, results));
    FakeProxy.Call call = FakeProxy.onlyCall();
    assertEquals("1", call.arg("continue"), "uploads always continue on error");
    assertArrayEquals(local[1], call.itemBytes(1, "path"));
    assertArrayEquals(new int[] {0, -3005, 0}, results);
    assertArrayEquals(new String[] {"vol-0", null, "vol-2"}, ids);

    FakeProxy.reset();
    FakeProxy.script("ret -3001");
    String[] untouched = {"x", "x", "x"};
    assertEquals(-3001, FileCacheProxy.VXNUploadFilesToPLM(keys, null, null, local, untouched, results));
    assertArrayEquals(new String[] {"x", "x", "x"}, untouched);
  }
}
