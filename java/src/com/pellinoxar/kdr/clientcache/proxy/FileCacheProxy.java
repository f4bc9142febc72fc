package com.pellinoxar.kdr.clientcache.proxy;

/**
 * The Java side of the KDR client cache proxy: register file tickets, download files into the
 * local cache or to a chosen directory, upload files and roll uploads back, clear the cache, and
 * read the text of the last error.
 *
 * <p>Every method is a native method of the library {@code libVXNJavaClientProxy.so}, loaded
 * when this class is initialised: from {@code java.library.path} when it is there, else from
 * the directory of the jar that holds this class (an installation's {@code KDR_HOME/lib}), else
 * from {@code KDR_HOME/lib} with {@code KDR_HOME} taken from the environment. When none of them
 * has it, the {@link UnsatisfiedLinkError} names every place that was tried. The library finds
 * the proxy implementation through the environment variable {@code KDR_HOME}.
 *
 * <h2>Order of calls</h2>
 * The first call of the process must be {@link #VXNIsVXNEnabled} or {@link #VXNInit}: only those
 * two load the proxy implementation. Make that first call before other threads call in; after it,
 * any thread may call any method. Called before them, the other methods load nothing and answer
 * without asking the proxy:
 * <ul>
 *   <li>{@link #VXNTerm} returns 0 and does nothing;
 *   <li>a method whose argument checks fail (see <a href="#arrays">Arrays</a>; {@link
 *       #VXNSetLocale} with a null locale, {@link #VXNGetLastError} with a null or empty array)
 *       returns {@link #ERR_KDRCP_BAD_ARG};
 *   <li>every other call returns {@link #ERR_KDRCP_NOT_INITIALIZED}.
 * </ul>
 *
 * <h2>Results</h2>
 * Every method returns an {@code int}: 0 (or, where a method says so, a non-negative count) for
 * success, one of the negative {@code ERR_KDRCP_} codes below for failure. No method throws on a
 * failure. After a failure, {@link #VXNGetLastError} on the same thread gives its text.
 *
 * <h2 id="arrays">Arrays</h2>
 * The first array of each array method is the <em>ticket array</em> (tickets for {@link
 * #VXNRegisterTickets}, ticket keys for the others); its length is the number of items. Arrays
 * marked "out" are supplied by the caller, must be at least as long as the ticket array, and are
 * written by the method. The argument checks come first: a null required array, an empty ticket
 * array, an out array shorter than the ticket array, or a null element in the ticket array (or in
 * a per-item {@code byte[][]}) gives {@link #ERR_KDRCP_BAD_ARG}; then the proxy is not called and
 * <em>no out array is touched</em>. Once the proxy has been called, the {@code int[]} results
 * always receive one code per item: 0 or a failure code, {@link #ERR_KDRCP_NOT_EXECUTED} for items
 * that were not attempted. The other out arrays are written only as each method says.
 *
 * <p>Texts: {@code String} arguments travel to the proxy in the JVM's modified UTF-8. File-system
 * names travel as {@code byte[]} in both directions, unchanged: a name going in is its bytes
 * without a terminator, a path coming out is its bytes without a terminator. A name or directory
 * holding a byte 0 would name another file, so it is refused with {@link #ERR_KDRCP_BAD_ARG}
 * before anything is called. A text coming back that is not valid modified UTF-8 cannot become a
 * {@code String}: the method then returns {@link #ERR_KDRCP_BAD_ARG} and stores no further text.
 * The native side copies everything it needs during the call and keeps no reference to any
 * argument after it returns; every array it stores into an out array is new and belongs to the
 * caller.
 *
 * <h2>Exceptions</h2>
 * The native methods raise no exception of their own. Two kinds can reach the caller: an
 * exception that the JVM raises while the native side reads an argument (for instance {@code
 * ArrayIndexOutOfBoundsException} when a {@code names} or {@code localPaths} array is shorter
 * than the ticket array, or {@code OutOfMemoryError}), which is thrown when the method returns
 * (the method then calls nothing further and stores nothing more); and an exception thrown by a
 * {@link ProgressListener}, which cancels the transfer, is thrown when the method returns, and
 * leaves the out arrays as they were.
 */
public final class FileCacheProxy {
  static {
    NativeLibrary.load();
  }

  private FileCacheProxy() {}

  /**
   * The size of an open file stays unknown. (A read can also return -1 as a negated cache-store
   * code; the error text tells them apart.)
   */
  public static final int ERR_KDRCP_UNKNOWN_FILE_SIZE = -1;
  /** The cache server process failed to start or restart. */
  public static final int ERR_KDRCP_START_FAILED = -2996;
  /** The launch script in {@code KDR_HOME} is missing or unreadable. */
  public static final int ERR_KDRCP_NO_SCRIPT = -2997;
  /** {@code KDR_HOME} is unset or empty. */
  public static final int ERR_KDRCP_NO_HOME = -2998;
  /**
   * The proxy is not initialised (no successful {@link #VXNInit}, or after the last {@link
   * #VXNTerm}).
   */
  public static final int ERR_KDRCP_NOT_INITIALIZED = -2999;
  /** Required configuration is missing. No method returns it; the code has a text of its own. */
  public static final int ERR_KDRCP_NO_CONFIG = -3000;
  /** The proxy could not locate or start a cache server, or the exchange with it failed. */
  public static final int ERR_KDRCP_NO_SERVER = -3001;
  /** A bad argument: null, empty, too short, too long or malformed; or a malformed reply. */
  public static final int ERR_KDRCP_BAD_ARG = -3002;
  /** An open-file handle is not valid, or the server's error reply carried no code. */
  public static final int ERR_KDRCP_BAD_FILE = -3003;
  /** No further open-file or transfer handle could be made. */
  public static final int ERR_KDRCP_TOO_MANY = -3004;
  /** A ticket or ticket key is missing, malformed or not registered. */
  public static final int ERR_KDRCP_BAD_TICKET = -3005;
  /** Deprecated: no method returns it. */
  public static final int ERR_KDRCP_TICKET_EXPIRED = -3006;
  /** A read starts at or beyond the end of the file. */
  public static final int ERR_KDRCP_EOF = -3007;
  /** The calling thread got no per-thread record: too many threads use the proxy at once. */
  public static final int ERR_KDRCP_THREAD_COUNT = -3008;
  /** Memory ran out. */
  public static final int ERR_KDRCP_OUT_OF_MEMORY = -3009;
  /** Per-item result of an item that was not attempted. */
  public static final int ERR_KDRCP_NOT_EXECUTED = -3010;
  /** A reply's sequence number does not match the request. */
  public static final int ERR_KDRCP_SEQUENCE = -3011;
  /** A reply's message type does not match the request. */
  public static final int ERR_KDRCP_MSG_TYPE = -3012;
  /** A data reply's offset or length differs from the request's. */
  public static final int ERR_KDRCP_MSG_DATA = -3013;
  /** A reply carries a type id that the request does not allow. */
  public static final int ERR_KDRCP_TYPE_ID = -3014;
  /** An open-file handle is in use by another thread. */
  public static final int ERR_KDRCP_FILE_BUSY = -3015;
  /** The transfer was cancelled by the progress listener. */
  public static final int ERR_KDRCP_CANCELLED = -3016;
  /** The cache server's version is not accepted. */
  public static final int ERR_KDRCP_VERSION = -3017;
  /** A pipe read reported more bytes than were asked for. */
  public static final int ERR_KDRCP_NOT_SUPPORTED = -3099;

  /**
   * Tells whether the proxy can be used, loading the proxy implementation on the first call. When
   * the proxy is not initialised it tries one initialisation and termination.
   *
   * @return 1 when the proxy is (or could be) initialised, 0 when not, a negative code when the
   *     check itself failed (for instance {@link #ERR_KDRCP_NO_HOME})
   */
  public static native int VXNIsVXNEnabled();

  /**
   * Initialises the proxy for the process, loading the proxy implementation on the first call.
   * Calls nest: each successful {@code VXNInit} must be balanced by one {@link #VXNTerm}.
   *
   * @return 0 or a negative code
   */
  public static native int VXNInit();

  /**
   * Ends one use of the proxy; the last balanced call releases its connections and registrations.
   *
   * @return 0 or a negative code
   */
  public static native int VXNTerm();

  /**
   * Sets the locale in which the cache server's error texts are given.
   *
   * @param locale the locale name, for example {@code "fr_FR"}
   * @return 0, {@link #ERR_KDRCP_BAD_ARG} for a null locale (nothing is called), or another
   *     negative code
   */
  public static native int VXNSetLocale(String locale);

  /**
   * Gives the text of the calling thread's last failure.
   *
   * @param message out: element 0 receives a new {@code byte[]} holding the text's bytes (no
   *     terminator), or null when the thread has no error text. The other elements are not touched.
   * @return the proxy's result: 0, or {@link #ERR_KDRCP_NOT_INITIALIZED} before initialisation (the
   *     text, if any, then says why initialisation failed); {@link #ERR_KDRCP_BAD_ARG} when {@code
   *     message} is null or empty, in which case nothing is asked and nothing is stored
   */
  public static native int VXNGetLastError(byte[][] message);

  /**
   * Registers tickets and gives their ticket keys.
   *
   * @param tickets the tickets (ticket array), none null
   * @param keys out: on a result of 0, {@code keys[i]} receives the 64-character ticket key of
   *     {@code tickets[i]}; untouched on any other result
   * @param results out: the result of each ticket
   * @return the number of tickets that failed (0 when all succeeded), or a negative code
   */
  public static native int VXNRegisterTickets(String[] tickets, String[] keys, int[] results);

  /**
   * Removes one registration of each ticket key. Stops at the first failure.
   *
   * @param ticketKeys the ticket keys (ticket array), none null
   * @param results out: the result of each key
   * @return 0, or the first failed key's code
   */
  public static native int VXNUnRegisterTickets(String[] ticketKeys, int[] results);

  /**
   * Brings files into the local cache, in order; stops at the first failure.
   *
   * @param tag a text whose first three characters the cache server receives with each request
   * @param ticketKeys the ticket keys (ticket array), none null
   * @param listener receives progress and may cancel; null for no progress calls
   * @param listenerData passed back to the listener unchanged; may be null
   * @param paths out: on a result of 0, {@code paths[i]} receives a new {@code byte[]} with the
   *     file name of the cached copy (or null if the proxy gave none); untouched on any other
   *     result
   * @param results out: the result of each file
   * @return 0, or the first failed file's code ({@link #ERR_KDRCP_CANCELLED} when the listener
   *     cancelled)
   */
  public static native int VXNDownloadFilesFromPLM(String tag, String[] ticketKeys,
      ProgressListener listener, Object listenerData, byte[][] paths, int[] results);

  /**
   * Downloads files to a directory under the given names, in order; stops at the first failure.
   *
   * @param tag a text whose first three characters the cache server receives with each request
   * @param ticketKeys the ticket keys (ticket array), none null
   * @param listener receives progress and may cancel; null for no progress calls
   * @param listenerData passed back to the listener unchanged; may be null
   * @param directory the target directory's name as bytes
   * @param names {@code names[i]} is the file name for {@code ticketKeys[i]}, as bytes; none null
   * @param results out: the result of each file
   * @return 0, or the first failed file's code
   */
  public static native int VXNDownloadFilesToLocation(String tag, String[] ticketKeys,
      ProgressListener listener, Object listenerData, byte[] directory, byte[][] names,
      int[] results);

  /**
   * Uploads local files for the given ticket keys. A failed file does not stop the others.
   *
   * @param ticketKeys the ticket keys (ticket array), none null
   * @param listener receives progress and may cancel; null for no progress calls
   * @param listenerData passed back to the listener unchanged; may be null
   * @param localPaths {@code localPaths[i]} is the local file to upload for {@code ticketKeys[i]},
   *     as bytes; none null
   * @param volumeIds out: on a non-negative result, {@code volumeIds[i]} receives the volume id of
   *     each uploaded file and null for each failed one (keep them for {@link
   *     #VXNRollBackFilesUploadedToPLM}); untouched on a negative result
   * @param results out: the result of each file
   * @return the number of files that failed (0 when all were uploaded), or a negative code
   */
  public static native int VXNUploadFilesToPLM(String[] ticketKeys, ProgressListener listener,
      Object listenerData, byte[][] localPaths, String[] volumeIds, int[] results);

  /**
   * Rolls uploads back.
   *
   * @param ticketKeys the ticket keys (ticket array), none null
   * @param volumeIds the volume ids that {@link #VXNUploadFilesToPLM} gave; the array, or any
   *     element, may be null
   * @param results out: the result of each rollback
   * @return the number of rollbacks that failed, or a negative code
   */
  public static native int VXNRollBackFilesUploadedToPLM(String[] ticketKeys, String[] volumeIds,
      int[] results);

  /**
   * Asks the cache server to clear the cache.
   *
   * @return 0 or a negative code; the calling thread's error text is reset first and then set
   *     from the result
   */
  public static native int VXNClearCache();
}
