package com.pellinoxar.kdr.clientcache.proxy;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.time.Duration;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/**
 * Runs against a real cache server with KDR_HOME, the time-outs and the library's log absent
 * from the JVM's environment: the installation is found only through what the builder gives.
 */
class BuilderTest {
  @Test
  void settingsGivenFromJavaReachTheNativeLibrary() throws Exception {
    assertNull(System.getenv("KDR_HOME"));
    Path home = Paths.get(System.getProperty("kdr.test.home"));
    Path log = Paths.get(System.getProperty("kdr.test.proxylog"));
    byte[] content = KdrFileCacheTest.pattern(50000, 23);
    Path file = Files.createTempFile("kdr-builder", ".bin");
    Files.write(file, content);
    Process p = new ProcessBuilder(System.getenv("KDR_VAULT_TOOL"), "--vault",
        home.resolve("vault").toString(), "put", file.toString())
        .redirectError(ProcessBuilder.Redirect.INHERIT).start();
    String ticket = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).trim();
    assertTrue(p.waitFor(30, TimeUnit.SECONDS));
    assertEquals(0, p.exitValue());
    Files.delete(file);

    try (KdrFileCache cache = KdrFileCache.builder().home(home)
        .connectTimeout(Duration.ofSeconds(2)).startupTimeout(Duration.ofMillis(1500))
        .proxyLog(log).open()) {
      assertArrayEquals(content, KdrFileCacheTest.read(cache.download(ticket)));
      // The library in use keeps its settings while an instance is open.
      KdrCacheException e = assertThrows(KdrCacheException.class,
          () -> KdrFileCache.builder().home(home.resolve("other")).open());
      assertEquals(FileCacheProxy.ERR_KDRCP_BAD_ARG, e.code());
      assertTrue(e.getMessage().contains("KDR_HOME"), e.getMessage());
      KdrFileCache.builder().home(home).open().close();  // the same settings are fine
    }
    assertTrue(Files.size(log) > 0, "the library's log given from Java stayed empty");
  }
}
