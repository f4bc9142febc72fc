package com.pellinoxar.kdr.clientcache.proxy;

import java.net.URISyntaxException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.security.CodeSource;
import java.util.ArrayList;
import java.util.List;

/**
 * Loads the JNI library {@code libVXNJavaClientProxy.so} once, looking where a Java application
 * of an installation expects it: on {@code java.library.path} first (so a library that the
 * application put there, or loaded itself with {@code System.loadLibrary}, is the one used),
 * then beside the jar that holds this class (the installation's {@code lib/}), then in {@code
 * $KDR_HOME/lib}. A failure names every place it tried.
 */
final class NativeLibrary {
  static final String NAME = "VXNJavaClientProxy";

  private static boolean loaded;

  private NativeLibrary() {}

  static void load() {
    load(null);
  }

  /**
   * Loads the library for {@link KdrFileCache}: a failure is the library's exception.
   *
   * @param home the installation given from Java, or null for {@code $KDR_HOME}
   */
  static void loadForCache(String home) throws KdrCacheException {
    try {
      load(home);
    } catch (UnsatisfiedLinkError | SecurityException e) {
      throw new KdrCacheException(FileCacheProxy.ERR_KDRCP_NO_CONFIG, e.getMessage());
    }
  }

  static synchronized void load(String givenHome) {
    if (loaded) return;
    List<String> tried = new ArrayList<>();
    try {
      System.loadLibrary(NAME);
      loaded = true;
      return;
    } catch (UnsatisfiedLinkError e) {
      tried.add(e.getMessage());
    }
    String file = System.mapLibraryName(NAME);
    Path jarDir = jarDirectory();
    if (jarDir == null) {
      tried.add("beside the jar: " + NativeLibrary.class.getName() + " was not loaded from a jar");
    } else if (tryLoad(jarDir.resolve(file), tried)) {
      return;
    }
    String home = givenHome != null ? givenHome : System.getenv("KDR_HOME");
    if (home == null || home.isEmpty()) {
      tried.add("$KDR_HOME/lib/" + file + ": KDR_HOME is not set");
    } else if (tryLoad(Paths.get(home, "lib", file), tried)) {
      return;
    }
    StringBuilder message = new StringBuilder("The KDR Java client library " + file
        + " was not found. Install it in KDR_HOME/lib beside the jar, set KDR_HOME, or name its"
        + " directory with -Djava.library.path. Tried:");
    for (String t : tried) message.append("\n  ").append(t);
    throw new UnsatisfiedLinkError(message.toString());
  }

  private static boolean tryLoad(Path candidate, List<String> tried) {
    Path absolute = candidate.toAbsolutePath().normalize();
    if (!Files.isRegularFile(absolute)) {
      tried.add(absolute + ": no such file");
      return false;
    }
    try {
      System.load(absolute.toString());
      loaded = true;
      return true;
    } catch (UnsatisfiedLinkError e) {
      tried.add(absolute + ": " + e.getMessage());
      return false;
    }
  }

  /** The directory of the jar file this class came from, or null. */
  private static Path jarDirectory() {
    try {
      CodeSource source = NativeLibrary.class.getProtectionDomain().getCodeSource();
      if (source == null || source.getLocation() == null) return null;
      Path jar = Paths.get(source.getLocation().toURI());
      return Files.isRegularFile(jar) ? jar.getParent() : null;
    } catch (URISyntaxException | RuntimeException e) {
      return null;
    }
  }
}
