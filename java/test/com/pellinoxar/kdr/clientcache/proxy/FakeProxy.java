package com.pellinoxar.kdr.clientcache.proxy;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/**
 * Drives the stand-in client-proxy library (test/native/fake_client_proxy.cpp) that the test
 * runner installs in KDR_HOME/lib: writes its script and reads back the calls it recorded.
 */
final class FakeProxy {
  private static final Path DIR = Paths.get(System.getenv("KDR_FAKE_DIR"));

  /** One recorded call: the entry's name, its arguments, and its item and progress lines. */
  static final class Call {
    final String entry;
    final Map<String, String> args = new HashMap<>();
    final List<Map<String, String>> items = new ArrayList<>();
    final List<Map<String, String>> progress = new ArrayList<>();

    Call(String entry) {
      this.entry = entry;
    }

    String arg(String key) {
      return args.get(key);
    }

    /** The bytes of the text argument {@code key}, or null for a null text. */
    byte[] argBytes(String key) {
      return unescape(args.get(key));
    }

    int intArg(String key) {
      return Integer.parseInt(args.get(key));
    }

    /** The bytes of item i's text under {@code key}, or null for a null text. */
    byte[] itemBytes(int i, String key) {
      return unescape(items.get(i).get(key));
    }

    String itemText(int i, String key) {
      byte[] b = itemBytes(i, key);
      return b == null ? null : new String(b, StandardCharsets.UTF_8);
    }
  }

  private FakeProxy() {}

  /** Forgets the script and the recorded calls. */
  static void reset() throws IOException {
    Files.deleteIfExists(DIR.resolve("script"));
    Files.deleteIfExists(DIR.resolve("calls.log"));
  }

  /** Replaces the script: one "word value..." per line (see fake_client_proxy.cpp). */
  static void script(String... lines) throws IOException {
    Files.write(DIR.resolve("script"), String.join("\n", lines).concat("\n").getBytes(StandardCharsets.UTF_8));
  }

  /** The calls recorded since the last reset, in order. */
  static List<Call> calls() throws IOException {
    List<Call> calls = new ArrayList<>();
    Path log = DIR.resolve("calls.log");
    if (!Files.exists(log)) return calls;
    for (String line : Files.readAllLines(log, StandardCharsets.ISO_8859_1)) {
      if (line.startsWith("  ")) {
        String[] words = line.trim().split(" ");
        Map<String, String> fields = fields(words, 1);
        Call last = calls.get(calls.size() - 1);
        (words[0].equals("item") ? last.items : last.progress).add(fields);
      } else {
        String[] words = line.split(" ");
        Call c = new Call(words[0]);
        c.args.putAll(fields(words, 1));
        calls.add(c);
      }
    }
    return calls;
  }

  /** The names of the entries called since the last reset, in order. */
  static List<String> entries() throws IOException {
    List<String> names = new ArrayList<>();
    for (Call c : calls()) names.add(c.entry);
    return names;
  }

  /** The only call recorded since the last reset; fails when there is not exactly one. */
  static Call onlyCall() throws IOException {
    List<Call> calls = calls();
    if (calls.size() != 1) throw new AssertionError("expected one call, got " + entries());
    return calls.get(0);
  }

  /** The hash the fake logs for a text array: FNV-1a 64 over each text and a 0 byte. */
  static String hash(byte[][] texts) {
    long h = 0xcbf29ce484222325L;
    for (byte[] t : texts) {
      if (t == null) {
        h = (h ^ 0xFF) * 0x100000001b3L;
        continue;
      }
      for (byte b : t) h = (h ^ (b & 0xFF)) * 0x100000001b3L;
      h *= 0x100000001b3L;
    }
    return String.format("%016x", h);
  }

  static String hash(String... texts) {
    byte[][] bytes = new byte[texts.length][];
    for (int i = 0; i < texts.length; ++i) bytes[i] = texts[i].getBytes(StandardCharsets.UTF_8);
    return hash(bytes);
  }

  /** Escapes bytes the way the fake's script reader expects them. */
  static String escape(byte[] bytes) {
    StringBuilder sb = new StringBuilder();
    for (byte b : bytes) {
      int v = b & 0xFF;
      if (v < '!' || v > '~' || v == '%') sb.append(String.format("%%%02X", v));
      else sb.append((char) v);
    }
    return sb.toString();
  }

  private static Map<String, String> fields(String[] words, int from) {
    Map<String, String> m = new HashMap<>();
    for (int i = from; i < words.length; ++i) {
      int eq = words[i].indexOf('=');
      if (eq > 0) m.put(words[i].substring(0, eq), words[i].substring(eq + 1));
    }
    return m;
  }

  private static byte[] unescape(String s) {
    if (s == null || s.equals("(null)")) return null;
    ByteArrayOutputStream out = new ByteArrayOutputStream();
    for (int i = 0; i < s.length(); ++i) {
      char c = s.charAt(i);
      if (c == '%') {
        out.write(Integer.parseInt(s.substring(i + 1, i + 3), 16));
        i += 2;
      } else {
        out.write(c);
      }
    }
    return out.toByteArray();
  }
}
