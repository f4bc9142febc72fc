package com.pellinoxar.kdr.clientcache.proxy;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * The kdr_test_peer process that run_junit.sh starts before the JVM: a stand-in cache server
 * on the pipe named by VXN_PROXYPIPENAME. Each test gives it a fresh script (its occurrence
 * counts start again) and reads back the requests it received since a mark.
 */
final class TestPeer {
  private static int serial;

  /** One request as the peer received it: its message name and its payload (both writes). */
  static final class Request {
    final String name;
    final byte[] body;

    Request(String name, byte[] body) {
      this.name = name;
      this.body = body;
    }

    /** The signed 32-bit value at payload offset {@code at} (big-endian, as on the wire). */
    int int32(int at) {
      return ByteBuffer.wrap(body, at, 4).getInt();
    }

    /** Payload bytes from {@code at} up to the first NUL (or the end) as ISO-8859-1 text. */
    String text(int at) {
      int end = at;
      while (end < body.length && body[end] != 0) ++end;
      return new String(body, at, end - at, StandardCharsets.ISO_8859_1);
    }

    @Override
    public String toString() {
      return name;
    }
  }

  private TestPeer() {}

  private static Path env(String name) {
    String v = System.getenv(name);
    if (v == null) throw new IllegalStateException(name + " is not set: run through run_junit.sh --peer");
    return Paths.get(v);
  }

  /** Replaces the peer's rules (one per argument); the next request is matched against them. */
  static void script(String... rules) throws IOException {
    Path file = env("KDR_PEER_SCRIPT");
    Path tmp = file.resolveSibling(file.getFileName() + ".new");
    // The serial makes every script a new text, so the counts restart even for equal rules.
    String text = "# script " + (++serial) + "\n" + String.join("\n", rules) + "\n";
    Files.write(tmp, text.getBytes(StandardCharsets.UTF_8));
    Files.move(tmp, file, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
  }

  private static List<String> lines() throws IOException {
    try {
      return Files.readAllLines(env("KDR_PEER_REQUESTS"), StandardCharsets.ISO_8859_1);
    } catch (NoSuchFileException e) {
      return List.of();
    }
  }

  /** The number of requests received so far. */
  static int mark() throws IOException {
    return lines().size();
  }

  /**
   * The requests received after {@code mark}, without the version checks and echoes of new
   * connections (a thread's pipe may be reclaimed while idle and made again).
   */
  static List<Request> since(int mark) throws IOException {
    List<Request> out = new ArrayList<>();
    List<String> all = lines();
    for (String line : all.subList(Math.min(mark, all.size()), all.size())) {
      String[] f = line.split(" ");
      if (f[0].equals("VERSION_CHECK") || f[0].equals("ECHO")) continue;
      String hex = f[3].substring("hex=".length());
      byte[] whole = new byte[hex.length() / 2];
      for (int i = 0; i < whole.length; ++i) {
        whole[i] = (byte) Integer.parseInt(hex.substring(2 * i, 2 * i + 2), 16);
      }
      out.add(new Request(f[0], Arrays.copyOfRange(whole, 12, whole.length)));
    }
    return out;
  }

  /** Every request received, version checks included, by name. */
  static List<String> allNames() throws IOException {
    List<String> out = new ArrayList<>();
    for (String line : lines()) out.add(line.split(" ")[0]);
    return out;
  }

  /** The names of the requests in {@code requests}, in order. */
  static List<String> names(List<Request> requests) {
    List<String> out = new ArrayList<>();
    for (Request r : requests) out.add(r.name);
    return out;
  }
}
