package com.pellinoxar.kdr.clientcache.proxy;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * KdrFileCache over the real client-proxy library and a real kdrcached (run_junit.sh --server),
 * with the jar and the JNI library in KDR_HOME/lib and no java.library.path.
 */
class KdrFileCacheTest {
  @TempDir static Path tmp;
  static KdrFileCache cache;
  static int serial;

  @BeforeAll
  static void open() throws Exception {
    cache = KdrFileCache.open();
  }

  @AfterAll
  static void close() {
    if (cache != null) cache.close();
  }

  static byte[] pattern(int size, long seed) {
    byte[] b = new byte[size];
    new Random(seed).nextBytes(b);
    return b;
  }

  /** Puts {@code content} into the vault as a new file; returns its ticket. */
  static synchronized String put(byte[] content) throws Exception {
    Path file = tmp.resolve("put" + (++serial) + ".bin");
    Files.write(file, content);
    Process p = new ProcessBuilder(System.getenv("KDR_VAULT_TOOL"), "put", file.toString(),
        "--name", file.getFileName().toString()).redirectError(ProcessBuilder.Redirect.INHERIT)
        .start();
    String ticket = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).trim();
    assertTrue(p.waitFor(30, TimeUnit.SECONDS));
    assertEquals(0, p.exitValue());
    return ticket;
  }

  static byte[] read(Path path) throws IOException {
    try (FileChannel channel = FileChannel.open(path)) {
      ByteBuffer buffer = ByteBuffer.allocate((int) channel.size());
      while (buffer.hasRemaining() && channel.read(buffer) >= 0) {}
      return buffer.array();
    }
  }

  /** Records every report; answers true while {@code reportsBeforeCancel} is not reached. */
  static final class Recorder implements KdrProgressListener {
    final List<long[]> reports = new ArrayList<>();
    final List<String> tickets = new ArrayList<>();
    final int reportsBeforeCancel;

    Recorder(int reportsBeforeCancel) {
      this.reportsBeforeCancel = reportsBeforeCancel;
    }

    @Override
    public boolean onProgress(String ticket, long done, long total) {
      tickets.add(ticket);
      reports.add(new long[] {done, total});
      return reports.size() < reportsBeforeCancel;
    }
  }

  @Test
  void downloadsReportProgressUpTo100Percent() throws Exception {
    int size = 6 * 1024 * 1024 + 123;
    for (boolean toLocation : new boolean[] {false, true}) {
      byte[] content = pattern(size, toLocation ? 2 : 1);
      String ticket = put(content);
      Recorder progress = new Recorder(Integer.MAX_VALUE);
      Path got = toLocation ? cache.downloadTo(ticket, tmp, "located.bin", progress)
                            : cache.download(ticket, progress);
      String what = toLocation ? "downloadTo" : "download";
      if (toLocation) assertEquals(tmp.resolve("located.bin"), got);
      assertArrayEquals(content, read(got), what);
      assertFalse(progress.reports.isEmpty(), what + ": no progress");
      long before = 0;
      for (long[] r : progress.reports) {
        assertEquals(size, r[1], what + ": total");
        assertTrue(r[0] >= before && r[0] <= size, what + ": done " + r[0] + " after " + before);
        before = r[0];
      }
      assertEquals(size, before, what + ": the last report must be 100 %");
      assertTrue(progress.tickets.stream().allMatch(ticket::equals), what + ": listener's ticket");
    }
  }

  @Test
  void aListenerCancelsAndTheThreadGoesOn() throws Exception {
    byte[] content = pattern(16 * 1024 * 1024, 3);
    String ticket = put(content);
    Recorder cancel = new Recorder(1);
    KdrCacheException e = assertThrows(KdrCacheException.class,
        () -> cache.downloadTo(ticket, tmp, "cancelled.bin", cancel));
    assertTrue(e.isCancelled(), e.toString());
    assertEquals("ERR_KDRCP_CANCELLED", e.codeName());
    assertEquals(1, cancel.reports.size());
    assertFalse(Files.exists(tmp.resolve("cancelled.bin")), "a partial file under the final name");

    // An exception from the listener cancels as well and reaches the caller as it is.
    IllegalStateException stop = new IllegalStateException("stop");
    assertSame(stop, assertThrows(IllegalStateException.class,
        () -> cache.download(ticket, (t, done, total) -> {
          throw stop;
        })));
    // The same thread's next transfer is not disturbed by the cancelled ones.
    assertArrayEquals(content, read(cache.download(ticket)));
  }

  @Test
  void failuresCarryTheirCodeNameAndText() throws Exception {
    String good = put(pattern(1000, 4));
    String good2 = put(pattern(2000, 5));
    // A well-formed ticket whose file the vault does not hold: the server's own text.
    String missing = good.substring(0, 70) + "0123456789abcdef0123456789abcdef"
        + good.substring(102);

    KdrCacheException bad = assertThrows(KdrCacheException.class, () -> cache.download("nope"));
    assertEquals(FileCacheProxy.ERR_KDRCP_BAD_TICKET, bad.code());
    assertEquals("ERR_KDRCP_BAD_TICKET", bad.codeName());
    assertNotNull(bad.errorText());
    assertTrue(bad.getMessage().contains("ERR_KDRCP_BAD_TICKET -3005"), bad.getMessage());

    KdrCacheException absent = assertThrows(KdrCacheException.class,
        () -> cache.downloadTo(missing, tmp, "missing.bin"));
    assertTrue(absent.code() < 0);
    assertTrue(absent.errorText() != null && absent.errorText().contains("not in the vault"),
        absent.toString());

    // Batches: one result per item; a download list stops at its first failure.
    List<KdrResult<Path>> results = cache.downloadAll(List.of(good, "nope", good2), null);
    assertEquals(3, results.size());
    assertArrayEquals(pattern(1000, 4), read(results.get(0).get()));
    assertEquals(FileCacheProxy.ERR_KDRCP_BAD_TICKET, results.get(1).code());
    assertEquals(FileCacheProxy.ERR_KDRCP_NOT_EXECUTED, results.get(2).code());
    assertEquals("nope", results.get(1).ticket());
    // Upload lists go on past a failed item.
    Path local = tmp.resolve("batch-upload.bin");
    Files.write(local, pattern(3000, 6));
    List<KdrResult<String>> uploads =
        cache.uploadAll(List.of(missing.substring(1), good2), List.of(local, local), null);
    assertEquals(FileCacheProxy.ERR_KDRCP_BAD_TICKET, uploads.get(0).code());
    assertTrue(uploads.get(1).isSuccess(), uploads.get(1).toString());
    cache.rollback(good2, uploads.get(1).value());
    assertArrayEquals(pattern(2000, 5), read(cache.download(good2)));

    // The text comes in the locale set for the process.
    cache.setLocale("fr_FR.UTF-8");
    try {
      KdrCacheException fr = assertThrows(KdrCacheException.class, () -> cache.download("nope"));
      assertEquals(FileCacheProxy.ERR_KDRCP_BAD_TICKET, fr.code());
      assertNotEquals(bad.errorText(), fr.errorText());
    } finally {
      cache.setLocale("Default");
    }
    assertEquals(bad.errorText(),
        assertThrows(KdrCacheException.class, () -> cache.download("nope")).errorText());
  }

  @Test
  void sixteenThreadsShareOneCache() throws Exception {
    List<String> shared = new ArrayList<>();
    for (int i = 0; i < 4; i++) shared.add(put(pattern(300_000 + i, 100 + i)));
    List<String> own = new ArrayList<>();
    for (int i = 0; i < 16; i++) own.add(put(pattern(50_000, 200 + i)));
    ExecutorService pool = Executors.newFixedThreadPool(16);
    CountDownLatch start = new CountDownLatch(1);
    List<Future<?>> done = new ArrayList<>();
    for (int t = 0; t < 16; t++) {
      int n = t;
      done.add(pool.submit(() -> {
        start.await();
        Path dir = Files.createDirectory(tmp.resolve("thread" + n));
        for (int round = 0; round < 3; round++) {
          int s = (n + round) % 4;
          assertArrayEquals(pattern(300_000 + s, 100 + s), read(cache.download(shared.get(s))));
          Path copy = cache.downloadTo(shared.get(s), dir, "copy" + round + ".bin");
          assertArrayEquals(pattern(300_000 + s, 100 + s), read(copy));
        }
        Path mine = dir.resolve("upload.bin");
        Files.write(mine, pattern(40_000, 300 + n));
        String volume = cache.upload(own.get(n), mine);
        assertArrayEquals(pattern(40_000, 300 + n), read(cache.download(own.get(n))));
        cache.rollback(own.get(n), volume);
        assertArrayEquals(pattern(50_000, 200 + n), read(cache.download(own.get(n))));
        return null;
      }));
    }
    start.countDown();
    pool.shutdown();
    for (Future<?> f : done) f.get(60, TimeUnit.SECONDS);
  }

  @Test
  void openInstancesNestAndAClosedOneRefusesCalls() throws Exception {
    String ticket = put(pattern(100, 7));
    KdrFileCache second = KdrFileCache.open("TST");
    assertArrayEquals(pattern(100, 7), read(second.download(ticket)));
    second.close();
    second.close();
    assertThrows(IllegalStateException.class, () -> second.download(ticket));
    // The first instance's use of the proxy is still open.
    assertArrayEquals(pattern(100, 7), read(cache.download(ticket)));
  }

  /** Run in a JVM of its own by the test below: opens the cache, prints why it could not. */
  static final class Probe {
    public static void main(String[] args) throws Exception {
      try {
        KdrFileCache.open().close();
      } catch (KdrCacheException e) {
        System.out.println(e.codeName() + ": " + e.getMessage());
        System.exit(3);
      }
    }
  }

  static Path jarOf(Class<?> c) throws Exception {
    return Path.of(c.getProtectionDomain().getCodeSource().getLocation().toURI());
  }

  @Test
  void aJarWithoutItsLibraryNamesEveryPlaceItTried() throws Exception {
    Path elsewhere = Files.createDirectory(tmp.resolve("elsewhere"));
    Path jar = elsewhere.resolve("FileCacheProxy.jar");
    Files.copy(jarOf(KdrFileCache.class), jar);
    String java = Path.of(System.getProperty("java.home"), "bin", "java").toString();
    ProcessBuilder pb = new ProcessBuilder(java, "-cp", jar + ":" + jarOf(Probe.class),
        Probe.class.getName()).redirectErrorStream(true);
    pb.environment().remove("KDR_HOME");
    pb.environment().remove("LD_PRELOAD");
    Process p = pb.start();
    String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    assertTrue(p.waitFor(30, TimeUnit.SECONDS));
    assertEquals(3, p.exitValue(), out);
    for (String tried : new String[] {"ERR_KDRCP_NO_CONFIG: ", "java.library.path",
             "KDR_HOME is not set",
             elsewhere.resolve("libVXNJavaClientProxy.so") + ": no such file"}) {
      assertTrue(out.contains(tried), "\"" + tried + "\" not in:\n" + out);
    }
  }
}
