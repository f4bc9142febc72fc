package com.pellinoxar.kdr.clientcache.proxy;

import static com.pellinoxar.kdr.clientcache.proxy.FileCacheProxy.ERR_KDRCP_BAD_ARG;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;

import java.nio.charset.StandardCharsets;
import java.util.List;
import org.junit.jupiter.api.Test;

/** The lifecycle, error-text and ticket methods against the recording stand-in library. */
class TicketMethodsTest extends FakeProxyCase {
  static final String PREFIX = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

  static String ticket(int i) {
    return String.format("%s%03dv001", PREFIX.substring(0, 61), i);
  }

  @Test
  void lifecycleResultsPassThrough() throws Exception {
    FakeProxy.script("enabled 5");
    assertEquals(1, FileCacheProxy.VXNIsVXNEnabled(), "any non-zero flag is 1");
    FakeProxy.script("enabled 0");
    assertEquals(0, FileCacheProxy.VXNIsVXNEnabled());
    FakeProxy.script("enabled 1", "ret -3001");
    assertEquals(-3001, FileCacheProxy.VXNIsVXNEnabled(), "a failure wins over the flag");
    FakeProxy.script("ret -2999");
    assertEquals(-2999, FileCacheProxy.VXNTerm());

    FakeProxy.reset();
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNSetLocale(null));
    assertEquals(List.of(), FakeProxy.entries());
    FakeProxy.script("ret -3001");
    assertEquals(-3001, FileCacheProxy.VXNSetLocale("fr_FR"));
    assertEquals("fr_FR", FakeProxy.onlyCall().arg("locale"));

    FakeProxy.reset();
    FakeProxy.script("ret -3001");
    assertEquals(-3001, FileCacheProxy.VXNClearCache());
    assertEquals(List.of("KdrClearLastError", "KdrClearCache", "KdrErrorCode"), FakeProxy.entries());
    assertEquals(-3001, FakeProxy.calls().get(2).intArg("arg"));
  }

  @Test
  void getLastErrorStoresTheTextBytesOrNull() throws Exception {
    byte[] text = {'c', 'a', 'f', (byte) 0xC3, (byte) 0xA9, ' ', (byte) 0xFF};
    byte[] second = {9};
    byte[][] message = {null, second};
    FakeProxy.script("lasterror " + FakeProxy.escape(text));
    assertEquals(0, FileCacheProxy.VXNGetLastError(message));
    assertArrayEquals(text, message[0], "bytes unchanged, no terminator");
    assertEquals(second, message[1]);

    FakeProxy.script("ret -2999", "lasterror x");
    assertEquals(-2999, FileCacheProxy.VXNGetLastError(message), "the text comes with a failure too");
    assertArrayEquals(new byte[] {'x'}, message[0]);

    FakeProxy.script("ret 0");
    assertEquals(0, FileCacheProxy.VXNGetLastError(message));
    assertNull(message[0], "no text is null, not an empty array");

    FakeProxy.reset();
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNGetLastError(null));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNGetLastError(new byte[0][]));
    assertEquals(List.of(), FakeProxy.entries());
  }

  @Test
  void badArgumentsCallNothingAndTouchNoOutArray() throws Exception {
    String[] three = {ticket(0), ticket(1), ticket(2)};
    String[] nullAt2 = {ticket(0), ticket(1), null};
    String[] keys = {"k0", "k1", "k2"};
    int[] results = {5, 6, 7};
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNRegisterTickets(null, keys, results));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNRegisterTickets(three, null, results));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNRegisterTickets(three, keys, null));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNRegisterTickets(new String[0], keys, results));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNRegisterTickets(three, new String[2], results));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNRegisterTickets(three, keys, new int[2]));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNRegisterTickets(nullAt2, keys, results));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNUnRegisterTickets(nullAt2, results));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNUnRegisterTickets(three, null));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNRollBackFilesUploadedToPLM(three, null, new int[1]));
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNRollBackFilesUploadedToPLM(nullAt2, null, results));
    assertEquals(List.of(), FakeProxy.entries());
    assertArrayEquals(new String[] {"k0", "k1", "k2"}, keys);
    assertArrayEquals(new int[] {5, 6, 7}, results);
  }

  @Test
  void registerPassesModifiedUtf8AndCopiesKeysBack() throws Exception {
    String tail = "\u00e9\u0000\ud83d\ude00";
    String[] tickets = {ticket(0) + tail, ticket(1)};
    String[] keys = new String[2];
    int[] results = {9, 9};
    assertEquals(0, FileCacheProxy.VXNRegisterTickets(tickets, keys, results));
    FakeProxy.Call call = FakeProxy.onlyCall();
    assertEquals(2, call.intArg("count"));
    // Modified UTF-8: U+0000 as C0 80, the emoji as two three-byte surrogates.
    byte[] expectedTail = {(byte) 0xC3, (byte) 0xA9, (byte) 0xC0, (byte) 0x80, (byte) 0xED,
        (byte) 0xA0, (byte) 0xBD, (byte) 0xED, (byte) 0xB8, (byte) 0x80};
    byte[] sent = call.itemBytes(0, "t");
    byte[] head = ticket(0).getBytes(StandardCharsets.US_ASCII);
    assertArrayEquals(expectedTail, java.util.Arrays.copyOfRange(sent, head.length, sent.length));
    assertArrayEquals(new String[] {ticket(0).substring(0, 64), ticket(1).substring(0, 64)}, keys);
    assertArrayEquals(new int[] {0, 0}, results);
  }

  @Test
  void oneBadTicketOfThreeFillsAllResultsAndStoresNoKeys() throws Exception {
    FakeProxy.script("results 0 -3005 0");
    String[] keys = {"k0", "k1", "k2"};
    int[] results = new int[3];
    assertEquals(1, FileCacheProxy.VXNRegisterTickets(
        new String[] {ticket(0), "short", ticket(2)}, keys, results));
    assertArrayEquals(new int[] {0, -3005, 0}, results);
    assertArrayEquals(new String[] {"k0", "k1", "k2"}, keys);
  }

  @Test
  void aKeyThatIsNotModifiedUtf8IsRefusedNotPassedToTheJvm() throws Exception {
    // The key is the ticket's first 64 bytes: here they end inside a two-byte character.
    String t = PREFIX.substring(0, 63) + "\u00e9v001";
    String[] keys = {"k0"};
    int[] results = {9};
    assertEquals(ERR_KDRCP_BAD_ARG, FileCacheProxy.VXNRegisterTickets(new String[] {t}, keys, results));
    assertArrayEquals(new int[] {0}, results, "the results still come back");
  }

  @Test
  void unregisterAndRollbackPassResultsThrough() throws Exception {
    FakeProxy.script("ret -3005", "results 0 -3005 -3010");
    int[] results = new int[3];
    assertEquals(-3005, FileCacheProxy.VXNUnRegisterTickets(new String[] {"a", "b", "c"}, results));
    assertArrayEquals(new int[] {0, -3005, -3010}, results);

    FakeProxy.reset();
    FakeProxy.script("results 0 -3001 0");
    assertEquals(1, FileCacheProxy.VXNRollBackFilesUploadedToPLM(
        new String[] {"a", "b", "c"}, new String[] {"v0", null, "v\u00e9"}, results));
    FakeProxy.Call call = FakeProxy.onlyCall();
    assertEquals("v0", call.itemText(0, "vol"));
    assertNull(call.itemBytes(1, "vol"), "a null volume id is a null text");
    assertEquals("v\u00e9", call.itemText(2, "vol"));
    assertArrayEquals(new int[] {0, -3001, 0}, results);

    FakeProxy.reset();
    assertEquals(0, FileCacheProxy.VXNRollBackFilesUploadedToPLM(new String[] {"a", "b"}, null, results));
    call = FakeProxy.onlyCall();
    assertNull(call.itemBytes(0, "vol"));
    assertNull(call.itemBytes(1, "vol"));
  }
}
