package com.pellinoxar.kdr.clientcache.proxy;

import static com.pellinoxar.kdr.clientcache.proxy.FileCacheProxy.ERR_KDRCP_BAD_TICKET;
import static com.pellinoxar.kdr.clientcache.proxy.FileCacheProxy.ERR_KDRCP_CANCELLED;
import static com.pellinoxar.kdr.clientcache.proxy.FileCacheProxy.ERR_KDRCP_NOT_EXECUTED;
import static com.pellinoxar.kdr.clientcache.proxy.FileCacheProxy.ERR_KDRCP_NOT_INITIALIZED;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * The binding over the library's own proxy implementation, end to end, with a kdr_test_peer
 * process as the cache server. Runs in two JVMs: self-proxying (KDR_HOME without lib/) and
 * with the built client-proxy library installed in KDR_HOME/lib; run_junit.sh checks that the
 * self-proxying warning is printed once in the first and never in the second.
 */
class RealProxyTest {
  static final String OPEN = "on OPEN reply be16=5 be64=300";

  /** A well-formed ticket: key of 64 {@code c}, type letter {@code type}, digits, GUID, filler. */
  static String ticket(char c, char type) {
    StringBuilder t = new StringBuilder();
    t.append(String.valueOf(c).repeat(64)).append(type).append("001XY").append("g".repeat(type == 'M' ? 36 : 32));
    while (t.length() < 225) t.append('.');
    return t.toString();
  }

  static String key(char c) {
    return String.valueOf(c).repeat(64);
  }

  static byte[] bytes(String s) {
    return s.getBytes(StandardCharsets.UTF_8);
  }

  static String lastError() {
    byte[][] message = {bytes("stale")};
    assertEquals(0, FileCacheProxy.VXNGetLastError(message));
    return message[0] == null ? null : new String(message[0], StandardCharsets.UTF_8);
  }

  /** A listener that records every report and answers {@code answer}. */
  static final class Recorder implements ProgressListener {
    final List<String> reports = new ArrayList<>();
    final boolean answer;

    Recorder(boolean answer) {
      this.answer = answer;
    }

    @Override
    public boolean ReportProgress(String key, Object listenerData, long done, long total) {
      reports.add(key.charAt(0) + " " + listenerData + " " + done + "/" + total);
      return answer;
    }
  }

  static final String[] KEYS = {key('a'), key('b')};

  @BeforeAll
  static void start() throws Exception {
    TestPeer.script();
    // The test of a proxy that is not initialised starts it, asks the server and stops again.
    assertEquals(1, FileCacheProxy.VXNIsVXNEnabled());
    assertTrue(TestPeer.allNames().contains("VERSION_CHECK"), TestPeer.allNames().toString());
    assertEquals(ERR_KDRCP_NOT_INITIALIZED, FileCacheProxy.VXNClearCache());
    assertEquals(0, FileCacheProxy.VXNInit());
    String[] keys = new String[2];
    int[] results = new int[2];
    assertEquals(0, FileCacheProxy.VXNRegisterTickets(
        new String[] {ticket('a', 'v'), ticket('b', 'M')}, keys, results));
    assertArrayEquals(KEYS, keys);
  }

  @AfterAll
  static void stop() {
    assertEquals(0, FileCacheProxy.VXNUnRegisterTickets(KEYS, new int[2]));
    assertEquals(0, FileCacheProxy.VXNTerm());
    assertEquals(ERR_KDRCP_NOT_INITIALIZED, FileCacheProxy.VXNClearCache());
  }

  @AfterEach
  void clearScript() throws Exception {
    TestPeer.script();
  }

  @Test
  void nestedInitAndTermAreCountedAndClearCacheReachesTheServer() throws Exception {
    int mark = TestPeer.mark();
    assertEquals(0, FileCacheProxy.VXNInit());
    assertEquals(0, FileCacheProxy.VXNTerm());
    assertEquals(mark, TestPeer.mark(), "a nested pair does no work");
    assertEquals(1, FileCacheProxy.VXNIsVXNEnabled());
    assertEquals(0, FileCacheProxy.VXNClearCache());
    assertNull(lastError(), "a success leaves no text");

    TestPeer.script("on CLEAR_CACHE error 17 \"cache in use\"");
    assertEquals(-17, FileCacheProxy.VXNClearCache());
    assertEquals("cache in use", lastError(), "a failed localization keeps the server's text");
    assertEquals(List.of("CLEAR_CACHE", "CLEAR_CACHE", "LOCALIZE"),
        TestPeer.names(TestPeer.since(mark)));
  }

  @Test
  void registrationGoesOnPastABadTicketAndItsErrorIsLocalizedOnce() throws Exception {
    String localized = "Billet refus\u00e9 (v\u00e9rifiez-le)";
    TestPeer.script("on LOCALIZE reply be16=" + bytes(localized).length + " text=\"" + localized + "\"");
    int mark = TestPeer.mark();
    String[] keys = {"k0", "k1", "k2"};
    int[] results = {7, 7, 7};
    String bad = ticket('d', 'x');
    assertEquals(1, FileCacheProxy.VXNRegisterTickets(
        new String[] {ticket('c', 'v'), bad, ticket('e', 'M')}, keys, results));
    assertArrayEquals(new int[] {0, ERR_KDRCP_BAD_TICKET, 0}, results);
    assertArrayEquals(new String[] {"k0", "k1", "k2"}, keys, "no key goes back after a failure");

    assertEquals(localized, lastError());
    assertEquals(localized, lastError(), "read again without asking the server");
    List<TestPeer.Request> sent = TestPeer.since(mark);
    assertEquals(List.of("LOCALIZE"), TestPeer.names(sent), "registration is local");
    assertEquals("ERR_KDRCP_BAD_TICKET", sent.get(0).text(0));

    // The good two were registered all the same.
    assertEquals(0, FileCacheProxy.VXNUnRegisterTickets(new String[] {key('c'), key('e')}, results));
    assertNull(lastError());
    assertEquals(ERR_KDRCP_BAD_TICKET, FileCacheProxy.VXNUnRegisterTickets(new String[] {key('c')}, results));
  }

  @Test
  void downloadReportsEachProgressReplyAndReturnsTheCachePath() throws Exception {
    TestPeer.script(OPEN,
        "on GET_FILE#1 progress be64=100 be64=300",
        "on STATUS#1 progress be64=300 be64=999",
        "on STATUS#2 reply be16=8 text=c/a.data",
        "on GET_FILE#2 reply be16=8 text=c/b.data");
    int mark = TestPeer.mark();
    Recorder listener = new Recorder(true);
    byte[][] paths = new byte[2][];
    int[] results = {7, 7};
    assertEquals(0, FileCacheProxy.VXNDownloadFilesFromPLM("tg1", KEYS, listener, "d", paths, results));
    assertArrayEquals(new int[] {0, 0}, results);
    assertArrayEquals(bytes("c/a.data"), paths[0]);
    assertArrayEquals(bytes("c/b.data"), paths[1]);
    assertEquals(List.of("a d 100/300", "a d 300/300"), listener.reports,
        "the size is the first one the server gave");

    List<TestPeer.Request> sent = TestPeer.since(mark);
    assertEquals(List.of("OPEN", "GET_FILE", "STATUS", "STATUS", "CLOSE", "OPEN", "GET_FILE", "CLOSE"),
        TestPeer.names(sent));
    assertEquals(ticket('a', 'v'), sent.get(0).text(0));
    assertEquals("tg1", sent.get(1).text(2));
    assertEquals(0, sent.get(2).int32(0), "CONTINUE");
    assertEquals(ticket('b', 'M'), sent.get(5).text(0));
  }

  @Test
  void aListenerReturningFalseCancelsAfterItsFirstReport() throws Exception {
    TestPeer.script(OPEN,
        "on GET_FILE progress be64=10 be64=300",
        "on STATUS#1 error -3016 \"transfer cancelled\"",
        "on STATUS progress be64=20 be64=300");
    int mark = TestPeer.mark();
    Recorder listener = new Recorder(false);
    byte[][] paths = {bytes("old"), null};
    int[] results = {7, 7};
    assertEquals(ERR_KDRCP_CANCELLED,
        FileCacheProxy.VXNDownloadFilesFromPLM("tag", KEYS, listener, null, paths, results));
    assertEquals(List.of("a null 10/300"), listener.reports);
    assertArrayEquals(new int[] {ERR_KDRCP_CANCELLED, ERR_KDRCP_NOT_EXECUTED}, results);
    assertArrayEquals(bytes("old"), paths[0]);
    List<TestPeer.Request> sent = TestPeer.since(mark);
    assertEquals(List.of("OPEN", "GET_FILE", "STATUS", "CLOSE"), TestPeer.names(sent));
    assertEquals(ERR_KDRCP_CANCELLED, sent.get(2).int32(0), "the server is told CANCEL");
    assertEquals("transfer cancelled", lastError());
  }

  @Test
  void downloadToALocationSendsTheJoinedPath() throws Exception {
    TestPeer.script(OPEN,
        "on GET_LOCATION#1 progress be64=5 be64=5",
        "on STATUS#1 reply",
        "on GET_LOCATION#2 error 44 \"no room\"");
    int mark = TestPeer.mark();
    int[] results = {7, 7};
    byte[] dir = {'/', 'o', 'u', 't', (byte) 0xE9};
    byte[][] names = {bytes("x.txt"), bytes("y.txt")};
    // Without a listener progress replies are still answered, with CONTINUE.
    assertEquals(0, FileCacheProxy.VXNDownloadFilesToLocation("tag", new String[] {KEYS[0]}, null, null,
        dir, names, results));
    assertEquals(-44, FileCacheProxy.VXNDownloadFilesToLocation("tag", new String[] {KEYS[1]}, null, null,
        bytes("/out/"), names, results));
    assertEquals("no room", lastError());
    List<TestPeer.Request> sent = TestPeer.since(mark);
    assertEquals(List.of("OPEN", "GET_LOCATION", "STATUS", "CLOSE", "OPEN", "GET_LOCATION", "CLOSE",
        "LOCALIZE"),
        TestPeer.names(sent));
    assertEquals("/out\u00e9/x.txt", sent.get(1).text(5), "the directory's bytes go through unchanged");
    assertEquals(0, sent.get(2).int32(0));
    assertEquals("/out/x.txt", sent.get(5).text(5));
  }

  @Test
  void uploadsGoOnPastAFailureAndTheirVolumeIdsRollBack() throws Exception {
    TestPeer.script(OPEN,
        "on UPLOAD#1 progress be64=1 be64=2",
        "on STATUS#1 reply be16=2 text=v1",
        "on UPLOAD#2 error 9 \"disk full\"",
        "on UPLOAD#3 reply be16=2 text=v3",
        "on ROLLBACK#3 error 5 \"rollback refused\"");
    int mark = TestPeer.mark();
    Recorder listener = new Recorder(true);
    String[] keys = {KEYS[0], KEYS[1], KEYS[0]};
    byte[][] local = {bytes("/l/1"), bytes("/l/2"), bytes("/l/3")};
    String[] ids = new String[3];
    int[] results = new int[3];
    assertEquals(1, FileCacheProxy.VXNUploadFilesToPLM(keys, listener, 5, local, ids, results));
    assertArrayEquals(new int[] {0, -9, 0}, results);
    assertArrayEquals(new String[] {"v1", null, "v3"}, ids, "the uploaded files' ids come back");
    assertEquals(List.of("a 5 1/2"), listener.reports, "an upload's total is the server's");
    assertEquals("disk full", lastError());

    int[] back = {7, 7, 7};
    assertEquals(1, FileCacheProxy.VXNRollBackFilesUploadedToPLM(keys, ids, back));
    assertArrayEquals(new int[] {0, 0, -5}, back, "a missing id is sent empty; a refusal goes on");
    assertEquals("rollback refused", lastError());

    List<TestPeer.Request> sent = TestPeer.since(mark);
    List<String> rollbacks = new ArrayList<>();
    for (TestPeer.Request r : sent) {
      if (r.name.equals("UPLOAD")) assertTrue(r.text(4).startsWith("/l/"), r.text(4));
      if (r.name.equals("ROLLBACK")) rollbacks.add(r.text(4));
    }
    assertEquals(List.of("v1", "", "v3"), rollbacks);
    assertEquals(List.of("OPEN", "UPLOAD", "STATUS", "CLOSE", "OPEN", "UPLOAD", "CLOSE", "OPEN", "UPLOAD",
        "CLOSE", "LOCALIZE", "OPEN", "ROLLBACK", "CLOSE", "OPEN", "ROLLBACK", "CLOSE", "OPEN", "ROLLBACK",
        "CLOSE", "LOCALIZE"), TestPeer.names(sent));
  }
}
