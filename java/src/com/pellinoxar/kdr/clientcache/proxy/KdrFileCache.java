package com.pellinoxar.kdr.clientcache.proxy;

import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Objects;
import java.util.concurrent.locks.ReentrantReadWriteLock;

/**
 * The KDR client cache for Java code: download files named by tickets into the local cache or
 * to a directory of your choice, upload files and roll uploads back, with progress reported to
 * a listener that may cancel, and failures thrown as {@link KdrCacheException}.
 *
 * <pre>{@code
 * try (KdrFileCache cache = KdrFileCache.open()) {
 *   Path cached = cache.download(ticket);
 *   String volumeId = cache.upload(ticket, Paths.get("report.pdf"));
 *   cache.rollback(ticket, volumeId);
 * }
 * }</pre>
 *
 * <p>It is a layer over the native methods of {@link FileCacheProxy}; each method says which of
 * them it calls. Methods take tickets, not ticket keys: each call registers its tickets ({@link
 * FileCacheProxy#VXNRegisterTickets}), uses their keys and unregisters them before it returns
 * ({@link FileCacheProxy#VXNUnRegisterTickets}), so nothing stays registered between calls. On a
 * failure it reads the failing thread's error text ({@link FileCacheProxy#VXNGetLastError}) into
 * the exception before anything else runs on that thread.
 *
 * <h2>Lifecycle</h2>
 * {@link #open} initialises the proxy ({@link FileCacheProxy#VXNInit}), {@link #close}
 * terminates it ({@link FileCacheProxy#VXNTerm}). Initialisations nest: several open instances
 * share the process's proxy, and the last close releases its connections. Use
 * try-with-resources, or open one instance for the application's lifetime.
 *
 * <h2>Threads</h2>
 * An instance is safe for use by any number of threads at once; each thread talks to the cache
 * server over a connection of its own, so transfers of different threads run in parallel (at
 * most 100 threads use the proxy at one time). {@link #close} waits for calls in progress, and
 * any call after it throws {@link IllegalStateException}.
 *
 * <h2 id="waits">Time-outs: where a call can wait</h2>
 * A thread's first exchange with the cache server connects it; that happens in {@link #open}
 * for the opening thread, and in the first transfer of every other thread (and again after the
 * thread's connection was closed, for instance after the server stopped or the thread was idle
 * for a while). When nothing listens on the server's pipe, the connect starts the server at once
 * with the installation's launch script and waits for its pipe up to {@code VXN_STARTUPTIMEOUT}
 * seconds (default 60); only a server that is there but busy is waited for first, up to {@code
 * VXN_CONNECTTIMEOUT} seconds (default 5). Both are read from the environment, or given with
 * {@link #builder()}, when {@link #open} really initialises the proxy. So {@link #open} and
 * {@link #isEnabled} without a running server take the server's start-up time; with a running
 * server they take milliseconds. A start that fails names, in the exception's text, the file
 * that holds the launch's output ({@code KDR_VXNSTARTUPLOG}, by default {@code
 * KDR_HOME/log/kdrcached-start.log}). Transfers themselves have no overall time limit: the
 * cache server reports progress while bytes move, and the listener may cancel.
 *
 * <h2 id="settings">Settings</h2>
 * The native library reads {@code KDR_HOME}, the time-outs and its log files from the
 * environment. {@link #builder()} gives them from Java instead: they become the process's
 * values of those variables (the library, the client-proxy library it loads and the cache
 * server it launches all read them there) before the proxy initialises. They can be changed
 * only while no {@code KdrFileCache} is open in the process.
 *
 * <h2 id="eviction">Cached copies</h2>
 * The path {@link #download} gives is the cache's own copy. The cache keeps a copy while it is
 * open (a client holds the file open); otherwise it may remove it to stay within its bound, or
 * replace it when the file gets a newer version. Open the copy right after the download and
 * read it through that open channel, or use {@link #downloadTo} for a copy of your own.
 *
 * <h2>Paths</h2>
 * Relative paths are made absolute against the working directory before they are passed on.
 * Paths travel to and from the library as bytes in the file-system encoding of the JVM.
 */
public final class KdrFileCache implements AutoCloseable {
  /** The tag that {@link #open()} uses: the cache server receives it with each download. */
  public static final String DEFAULT_TAG = "JVA";

  /** Serialises the process-wide calls (init, term, the enabled check). */
  private static final Object LIFECYCLE = new Object();

  /** Instances open in the process, and the settings given when the first was opened. */
  private static int openCount; // guarded by LIFECYCLE
  private static Map<String, String> appliedSettings = new HashMap<>(); // guarded by LIFECYCLE

  private static final Charset FILE_NAMES = fileNameCharset();

  /** A ticket key is the first 64 characters of its ticket. */
  private static final int KEY_LENGTH = 64;

  private final String tag;
  private final ReentrantReadWriteLock calls = new ReentrantReadWriteLock();
  private boolean closed; // guarded by the write lock of calls

  private KdrFileCache(String tag) {
    this.tag = tag;
  }

  /**
   * Opens the cache with the tag {@link #DEFAULT_TAG}. See {@link #open(String)}.
   *
   * @return the open cache
   * @throws KdrCacheException when the proxy could not be initialised
   */
  public static KdrFileCache open() throws KdrCacheException {
    return open(DEFAULT_TAG);
  }

  /**
   * Opens the cache: loads the native library if needed and initialises the proxy ({@link
   * FileCacheProxy#VXNInit}), which reads its settings from the environment ({@code KDR_HOME}
   * must name the installation) and connects this thread to the cache server, starting the
   * server when it is not running. Without a running server this waits; see <a
   * href="#waits">time-outs</a>.
   *
   * @param tag a text whose first three characters the cache server receives with each download
   *     request
   * @return the open cache; close it to end this use of the proxy
   * @throws KdrCacheException when the proxy could not be initialised, for instance {@link
   *     FileCacheProxy#ERR_KDRCP_NO_HOME}, {@link FileCacheProxy#ERR_KDRCP_NO_SCRIPT}, {@link
   *     FileCacheProxy#ERR_KDRCP_START_FAILED} or {@link FileCacheProxy#ERR_KDRCP_NO_SERVER}; and
   *     {@link FileCacheProxy#ERR_KDRCP_NO_CONFIG} when the native library is not found (the
   *     text names the places tried)
   */
  public static KdrFileCache open(String tag) throws KdrCacheException {
    return builder().tag(tag).open();
  }

  /**
   * Starts the settings of an instance to open: the installation, the time-outs and the log
   * files, given from Java instead of the environment; see <a href="#settings">settings</a>.
   *
   * @return a builder with nothing set (what is not set comes from the environment)
   */
  public static Builder builder() {
    return new Builder();
  }

  /**
   * Settings for {@link #open()}, given from Java. What is not set comes from the environment.
   *
   * <pre>{@code
   * try (KdrFileCache cache = KdrFileCache.builder()
   *     .home(Paths.get("/opt/kdr"))
   *     .startupTimeout(Duration.ofSeconds(30))
   *     .startupLog(Paths.get("/var/tmp/kdr-start.log"))
   *     .open()) {
   *   ...
   * }
   * }</pre>
   */
  public static final class Builder {
    private final Map<String, String> settings = new HashMap<>();
    private String tag = DEFAULT_TAG;

    private Builder() {}

    /**
     * Sets the installation ({@code KDR_HOME}): its launch script, {@code lib/} and default
     * directories.
     *
     * @param home the installation's directory
     * @return this builder
     */
    public Builder home(Path home) {
      return set("KDR_HOME", home.toAbsolutePath().toString());
    }

    /**
     * Sets how long a first call waits for a server that is there but busy ({@code
     * VXN_CONNECTTIMEOUT}), rounded up to whole seconds.
     *
     * @param timeout the wait, at most {@link Integer#MAX_VALUE} seconds
     * @return this builder
     */
    public Builder connectTimeout(Duration timeout) {
      return set("VXN_CONNECTTIMEOUT", seconds(timeout));
    }

    /**
     * Sets how long a first call waits for a server it launched ({@code VXN_STARTUPTIMEOUT}),
     * rounded up to whole seconds.
     *
     * @param timeout the wait, at most {@link Integer#MAX_VALUE} seconds
     * @return this builder
     */
    public Builder startupTimeout(Duration timeout) {
      return set("VXN_STARTUPTIMEOUT", seconds(timeout));
    }

    /**
     * Sets the file that receives the output of the server's launch ({@code
     * KDR_VXNSTARTUPLOG}).
     *
     * @param log the file
     * @return this builder
     */
    public Builder startupLog(Path log) {
      return set("KDR_VXNSTARTUPLOG", log.toAbsolutePath().toString());
    }

    /**
     * Sets the native library's own log file ({@code KDR_VXNPROXYLOG}).
     *
     * @param log the file
     * @return this builder
     */
    public Builder proxyLog(Path log) {
      return set("KDR_VXNPROXYLOG", log.toAbsolutePath().toString());
    }

    /**
     * Sets the tag the cache server receives with each download (default {@link
     * #DEFAULT_TAG}); see {@link KdrFileCache#open(String)}.
     *
     * @param tag a text whose first three characters are sent
     * @return this builder
     */
    public Builder tag(String tag) {
      this.tag = Objects.requireNonNull(tag, "tag");
      return this;
    }

    /**
     * Opens the cache with these settings: see {@link KdrFileCache#open(String)}.
     *
     * @return the open cache
     * @throws KdrCacheException as {@link KdrFileCache#open(String)}; {@link
     *     FileCacheProxy#ERR_KDRCP_BAD_ARG} when settings differ from those of a {@code
     *     KdrFileCache} still open in the process, or cannot be set
     */
    public KdrFileCache open() throws KdrCacheException {
      NativeLibrary.loadForCache(settings.get("KDR_HOME"));
      synchronized (LIFECYCLE) {
        if (openCount > 0) {
          for (Map.Entry<String, String> e : settings.entrySet()) {
            if (!e.getValue().equals(appliedSettings.get(e.getKey()))) {
              throw new KdrCacheException(FileCacheProxy.ERR_KDRCP_BAD_ARG, e.getKey()
                  + " cannot change while a KdrFileCache is open in this process");
            }
          }
        } else {
          for (Map.Entry<String, String> e : settings.entrySet()) {
            int rc = NativeSettings.set(e.getKey(), e.getValue().getBytes(FILE_NAMES));
            if (rc != 0) {
              throw new KdrCacheException(FileCacheProxy.ERR_KDRCP_BAD_ARG,
                  "cannot set " + e.getKey() + " to " + e.getValue() + " (error " + rc + ")");
            }
          }
          appliedSettings = new HashMap<>(settings);
        }
        int rc = FileCacheProxy.VXNInit();
        if (rc != 0) throw failure(rc);
        openCount++;
      }
      return new KdrFileCache(tag);
    }

    private Builder set(String name, String value) {
      if (value.indexOf('\0') >= 0) throw new IllegalArgumentException(name + " holds a NUL");
      settings.put(name, value);
      return this;
    }

    private static String seconds(Duration timeout) {
      if (timeout.isNegative()) throw new IllegalArgumentException("a negative time-out");
      long s = timeout.getSeconds() + (timeout.getNano() > 0 ? 1 : 0);
      return String.valueOf(Math.min(s, Integer.MAX_VALUE));
    }
  }

  /**
   * Tells whether the proxy can be used ({@link FileCacheProxy#VXNIsVXNEnabled}): when it is not
   * initialised, tries one initialisation and termination, which connects to the cache server
   * and may wait as {@link #open(String)} does.
   *
   * @return true when the proxy is, or could be, initialised
   * @throws KdrCacheException when the check itself failed, for instance {@link
   *     FileCacheProxy#ERR_KDRCP_NO_HOME}
   */
  public static boolean isEnabled() throws KdrCacheException {
    NativeLibrary.loadForCache(null);
    synchronized (LIFECYCLE) {
      int rc = FileCacheProxy.VXNIsVXNEnabled();
      if (rc < 0) throw failure(rc);
      return rc == 1;
    }
  }

  /**
   * Ends this use of the proxy ({@link FileCacheProxy#VXNTerm}) after the calls in progress on
   * other threads have returned. Closing again does nothing.
   *
   * @throws IllegalStateException when called from inside a call of this cache (from a progress
   *     listener)
   */
  @Override
  public void close() {
    if (calls.getReadHoldCount() > 0) {
      throw new IllegalStateException("a KdrFileCache cannot be closed from a progress listener");
    }
    calls.writeLock().lock();
    try {
      if (closed) return;
      closed = true;
      synchronized (LIFECYCLE) {
        FileCacheProxy.VXNTerm();
        openCount--;
      }
    } finally {
      calls.writeLock().unlock();
    }
  }

  /**
   * Sets the locale of the error texts for the whole process ({@link
   * FileCacheProxy#VXNSetLocale}); it lasts until the proxy is initialised anew after its last
   * close.
   *
   * @param locale a locale name such as {@code "fr_FR"}
   * @throws KdrCacheException when the proxy refused it
   */
  public void setLocale(String locale) throws KdrCacheException {
    Objects.requireNonNull(locale, "locale");
    enter();
    try {
      int rc = FileCacheProxy.VXNSetLocale(locale);
      if (rc != 0) throw failure(rc);
    } finally {
      leave();
    }
  }

  /**
   * Asks the cache server to empty the cache ({@link FileCacheProxy#VXNClearCache}).
   *
   * @throws KdrCacheException when the server could not be asked or refused
   */
  public void clearCache() throws KdrCacheException {
    enter();
    try {
      int rc = FileCacheProxy.VXNClearCache();
      if (rc != 0) throw failure(rc);
    } finally {
      leave();
    }
  }

  /**
   * Brings a file into the local cache and gives the cached copy's path. See {@link
   * #downloadAll}.
   *
   * @param ticket the file's ticket
   * @return the path of the cached copy; read it, do not change it. The cache may remove or
   *     replace it once no client holds the file open: see <a href="#eviction">cached copies</a>
   * @throws KdrCacheException when the download failed
   */
  public Path download(String ticket) throws KdrCacheException {
    return download(ticket, null);
  }

  /**
   * Brings a file into the local cache, reporting progress, and gives the cached copy's path.
   * See {@link #downloadAll}.
   *
   * @param ticket the file's ticket
   * @param listener receives progress and may cancel; null for none
   * @return the path of the cached copy; read it, do not change it
   * @throws KdrCacheException when the download failed or was cancelled
   */
  public Path download(String ticket, KdrProgressListener listener) throws KdrCacheException {
    return downloadAll(List.of(ticket), listener).get(0).get();
  }

  /**
   * Brings files into the local cache, in order, stopping at the first failure ({@link
   * FileCacheProxy#VXNDownloadFilesFromPLM}). A file already cached and unchanged comes back at
   * once.
   *
   * @param tickets the files' tickets, none null
   * @param listener receives progress and may cancel; null for none
   * @return one result per ticket, in order: the cached copy's path, or the failure; items after
   *     the first failure are {@link FileCacheProxy#ERR_KDRCP_NOT_EXECUTED}
   * @throws KdrCacheException when the call failed as a whole (no item was attempted)
   */
  public List<KdrResult<Path>> downloadAll(List<String> tickets, KdrProgressListener listener)
      throws KdrCacheException {
    return run(tickets, true, listener, new Batch<Path>() {
      byte[][] paths;

      @Override
      int call(String[] keys, int[] items, ProgressListener progress, int[] results) {
        paths = new byte[keys.length][];
        return FileCacheProxy.VXNDownloadFilesFromPLM(tag, keys, progress, null, paths, results);
      }

      @Override
      Path value(int j) {
        return paths[j] == null ? null : Paths.get(new String(paths[j], FILE_NAMES));
      }
    });
  }

  /**
   * Downloads a file to a directory under the given name. See {@link #downloadAllTo}.
   *
   * @param ticket the file's ticket
   * @param directory the target directory
   * @param name the file name in it
   * @return the downloaded file's path
   * @throws KdrCacheException when the download failed
   */
  public Path downloadTo(String ticket, Path directory, String name) throws KdrCacheException {
    return downloadTo(ticket, directory, name, null);
  }

  /**
   * Downloads a file to a directory under the given name, reporting progress. See {@link
   * #downloadAllTo}.
   *
   * @param ticket the file's ticket
   * @param directory the target directory
   * @param name the file name in it
   * @param listener receives progress and may cancel; null for none
   * @return the downloaded file's path
   * @throws KdrCacheException when the download failed or was cancelled
   */
  public Path downloadTo(String ticket, Path directory, String name, KdrProgressListener listener)
      throws KdrCacheException {
    return downloadAllTo(List.of(ticket), directory, List.of(name), listener).get(0).get();
  }

  /**
   * Downloads files to a directory, in order, stopping at the first failure ({@link
   * FileCacheProxy#VXNDownloadFilesToLocation}). The cache server writes each file under a
   * temporary name and renames it, so a failed or cancelled download leaves no partial file under
   * the given name; an existing file of that name is replaced.
   *
   * @param tickets the files' tickets, none null
   * @param directory the target directory, which must exist
   * @param names the file names in it, one per ticket, none null
   * @param listener receives progress and may cancel; null for none
   * @return one result per ticket, in order: the downloaded file's path, or the failure; items
   *     after the first failure are {@link FileCacheProxy#ERR_KDRCP_NOT_EXECUTED}
   * @throws KdrCacheException when the call failed as a whole (no item was attempted)
   */
  public List<KdrResult<Path>> downloadAllTo(List<String> tickets, Path directory,
      List<String> names, KdrProgressListener listener) throws KdrCacheException {
    Path dir = directory.toAbsolutePath();
    List<String> given = perTicket(tickets, names, "names");
    for (String name : given) {
      if (name.isEmpty() || name.indexOf('\0') >= 0) {
        throw new IllegalArgumentException("not a file name: \"" + name + "\"");
      }
    }
    return run(tickets, true, listener, new Batch<Path>() {
      int[] items;

      @Override
      int call(String[] keys, int[] items, ProgressListener progress, int[] results) {
        this.items = items;
        byte[][] nameBytes = new byte[keys.length][];
        for (int j = 0; j < keys.length; j++) {
          nameBytes[j] = given.get(items[j]).getBytes(FILE_NAMES);
        }
        return FileCacheProxy.VXNDownloadFilesToLocation(tag, keys, progress, null,
            dir.toString().getBytes(FILE_NAMES), nameBytes, results);
      }

      @Override
      Path value(int j) {
        return dir.resolve(given.get(items[j]));
      }
    });
  }

  /**
   * Uploads a local file as the new content of a ticket's file. See {@link #uploadAll}.
   *
   * @param ticket the file's ticket
   * @param file the local file to upload
   * @return the volume id of the upload; keep it to {@link #rollback} the upload
   * @throws KdrCacheException when the upload failed
   */
  public String upload(String ticket, Path file) throws KdrCacheException {
    return upload(ticket, file, null);
  }

  /**
   * Uploads a local file as the new content of a ticket's file, reporting progress. See {@link
   * #uploadAll}.
   *
   * @param ticket the file's ticket
   * @param file the local file to upload
   * @param listener receives progress and may cancel; null for none
   * @return the volume id of the upload; keep it to {@link #rollback} the upload
   * @throws KdrCacheException when the upload failed or was cancelled
   */
  public String upload(String ticket, Path file, KdrProgressListener listener)
      throws KdrCacheException {
    return uploadAll(List.of(ticket), List.of(file), listener).get(0).get();
  }

  /**
   * Uploads local files, each as the new content of its ticket's file ({@link
   * FileCacheProxy#VXNUploadFilesToPLM}). A failed file does not stop the others, and nothing is
   * rolled back: roll back what you no longer want with {@link #rollbackAll}.
   *
   * @param tickets the files' tickets, none null
   * @param files the local files, one per ticket, none null
   * @param listener receives progress and may cancel; null for none
   * @return one result per ticket, in order: the upload's volume id, or the failure
   * @throws KdrCacheException when the call failed as a whole (no item was attempted)
   */
  public List<KdrResult<String>> uploadAll(List<String> tickets, List<Path> files,
      KdrProgressListener listener) throws KdrCacheException {
    List<Path> given = perTicket(tickets, files, "files");
    return run(tickets, false, listener, new Batch<String>() {
      String[] volumeIds;

      @Override
      int call(String[] keys, int[] items, ProgressListener progress, int[] results) {
        volumeIds = new String[keys.length];
        byte[][] paths = new byte[keys.length][];
        for (int j = 0; j < keys.length; j++) {
          paths[j] = given.get(items[j]).toAbsolutePath().toString().getBytes(FILE_NAMES);
        }
        return FileCacheProxy.VXNUploadFilesToPLM(keys, progress, null, paths, volumeIds, results);
      }

      @Override
      String value(int j) {
        return volumeIds[j];
      }
    });
  }

  /**
   * Rolls one upload back. See {@link #rollbackAll}.
   *
   * @param ticket the file's ticket
   * @param volumeId the volume id that the upload gave
   * @throws KdrCacheException when the roll-back failed
   */
  public void rollback(String ticket, String volumeId) throws KdrCacheException {
    rollbackAll(List.of(ticket), List.of(volumeId)).get(0).get();
  }

  /**
   * Rolls uploads back: removes the volumes that the uploads made ({@link
   * FileCacheProxy#VXNRollBackFilesUploadedToPLM}), so each file's content is again what it was
   * before. A failed roll-back does not stop the others. The volume ids are required: without
   * one, the cache server would remove the file's newest volume, which may be another client's.
   *
   * @param tickets the files' tickets, none null
   * @param volumeIds the volume ids that the uploads gave, one per ticket, none null
   * @return one result per ticket, in order
   * @throws KdrCacheException when the call failed as a whole (no item was attempted)
   */
  public List<KdrResult<Void>> rollbackAll(List<String> tickets, List<String> volumeIds)
      throws KdrCacheException {
    List<String> given = perTicket(tickets, volumeIds, "volumeIds");
    return run(tickets, false, null, new Batch<Void>() {
      @Override
      int call(String[] keys, int[] items, ProgressListener progress, int[] results) {
        String[] volumes = new String[keys.length];
        for (int j = 0; j < keys.length; j++) volumes[j] = given.get(items[j]);
        return FileCacheProxy.VXNRollBackFilesUploadedToPLM(keys, volumes, results);
      }

      @Override
      Void value(int j) {
        return null;
      }
    });
  }

  /** One native batch call over the tickets that registered, and the values it gave. */
  private abstract static class Batch<T> {
    /**
     * Calls the native method. {@code items[j]} is the caller's index of {@code keys[j]};
     * {@code results} holds {@link FileCacheProxy#ERR_KDRCP_NOT_EXECUTED} for every key.
     */
    abstract int call(String[] keys, int[] items, ProgressListener progress, int[] results);

    /** The value of key j, which succeeded. */
    abstract T value(int j);
  }

  /**
   * Registers the tickets, runs the batch over those that registered (with stopAtFailure, only
   * those before the first that did not), reads the error text for the failure it belongs to,
   * and unregisters the tickets again.
   */
  private <T> List<KdrResult<T>> run(List<String> tickets, boolean stopAtFailure,
      KdrProgressListener listener, Batch<T> batch) throws KdrCacheException {
    if (tickets.isEmpty()) throw new IllegalArgumentException("no tickets");
    String[] given = tickets.toArray(new String[0]);
    for (String t : given) Objects.requireNonNull(t, "ticket");
    int n = given.length;
    enter();
    try {
      String[] keys = new String[n];
      int[] registered = new int[n];
      int rc = FileCacheProxy.VXNRegisterTickets(given, keys, registered);
      if (rc < 0) throw failure(rc);
      // Keys come back only when every ticket registered; a key is its ticket's first 64
      // characters, so those of the tickets that did register are known all the same.
      for (int i = 0; i < n; i++) {
        keys[i] = registered[i] == 0 ? given[i].substring(0, KEY_LENGTH) : null;
      }
      try {
        KdrCacheException[] failures = new KdrCacheException[n];
        String text = rc > 0 ? lastErrorText() : null;
        int lastFailed = -1;
        for (int i = 0; i < n; i++) {
          if (registered[i] != 0) lastFailed = i;
        }
        int[] items = new int[n];
        int m = 0;
        boolean stopped = false;
        for (int i = 0; i < n; i++) {
          if (registered[i] != 0) {
            failures[i] = new KdrCacheException(registered[i], i == lastFailed ? text : null);
            stopped = stopAtFailure;
          } else if (stopped) {
            failures[i] = notExecuted();
          } else {
            items[m++] = i;
          }
        }
        Object[] values = new Object[n];
        if (m > 0) {
          items = Arrays.copyOf(items, m);
          String[] subKeys = new String[m];
          Map<String, String> ticketOf = new HashMap<>();
          for (int j = 0; j < m; j++) {
            subKeys[j] = keys[items[j]];
            ticketOf.put(subKeys[j], given[items[j]]);
          }
          ProgressListener progress = listener == null ? null
              : (key, data, done, total) -> listener.onProgress(ticketOf.getOrDefault(key, key),
                  done, total);
          int[] results = new int[m];
          Arrays.fill(results, FileCacheProxy.ERR_KDRCP_NOT_EXECUTED);
          int trc = batch.call(subKeys, items, progress, results);
          int textItem = -1;
          for (int j = 0; j < m; j++) {
            if (results[j] != 0 && results[j] != FileCacheProxy.ERR_KDRCP_NOT_EXECUTED
                && (textItem < 0 || !stopAtFailure)) {
              textItem = j;
            }
          }
          if (trc < 0 && textItem < 0) throw failure(trc);
          text = trc != 0 ? lastErrorText() : null;
          for (int j = 0; j < m; j++) {
            if (results[j] == 0) {
              values[items[j]] = batch.value(j);
            } else {
              failures[items[j]] = new KdrCacheException(results[j], j == textItem ? text : null);
            }
          }
        }
        List<KdrResult<T>> out = new ArrayList<>(n);
        for (int i = 0; i < n; i++) {
          @SuppressWarnings("unchecked")
          T value = (T) values[i];
          out.add(new KdrResult<>(given[i], value, failures[i]));
        }
        return out;
      } finally {
        unregister(keys);
      }
    } finally {
      leave();
    }
  }

  /** Drops the registrations that {@code run} made; a failure here changes no result. */
  private static void unregister(String[] keys) {
    List<String> done = new ArrayList<>(keys.length);
    for (int i = 0; i < keys.length; i++) {
      if (keys[i] != null) done.add(keys[i]);
    }
    if (done.isEmpty()) return;
    FileCacheProxy.VXNUnRegisterTickets(done.toArray(new String[0]), new int[done.size()]);
  }

  private static <E> List<E> perTicket(List<String> tickets, List<E> list, String what) {
    if (list.size() != tickets.size()) {
      throw new IllegalArgumentException(what + ": " + list.size() + " for " + tickets.size()
          + " tickets");
    }
    List<E> copy = List.copyOf(list); // null elements are refused here
    return copy;
  }

  private static KdrCacheException notExecuted() {
    return new KdrCacheException(FileCacheProxy.ERR_KDRCP_NOT_EXECUTED, null);
  }

  /** The failure of a call that just returned {@code rc} on this thread, with its text. */
  private static KdrCacheException failure(int rc) {
    return new KdrCacheException(rc, lastErrorText());
  }

  /** This thread's error text; read before any other call on the thread replaces it. */
  private static String lastErrorText() {
    byte[][] message = new byte[1][];
    FileCacheProxy.VXNGetLastError(message);
    return message[0] == null ? null : new String(message[0], StandardCharsets.UTF_8);
  }

  private void enter() {
    calls.readLock().lock();
    if (closed) {
      calls.readLock().unlock();
      throw new IllegalStateException("the KdrFileCache is closed");
    }
  }

  private void leave() {
    calls.readLock().unlock();
  }

  private static Charset fileNameCharset() {
    String name = System.getProperty("sun.jnu.encoding");
    try {
      if (name != null) return Charset.forName(name);
    } catch (RuntimeException e) {
      // an unknown encoding name: the default below
    }
    return Charset.defaultCharset();
  }
}
