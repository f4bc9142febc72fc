package com.pellinoxar.kdr.clientcache.proxy;

import java.io.IOException;

/**
 * A failure reported by the KDR client cache: the negative result code of a {@link
 * FileCacheProxy} method, the name of its {@code ERR_KDRCP_} constant, and the text that the
 * library gave for it on the failing thread ({@link FileCacheProxy#VXNGetLastError}), localized by
 * the cache server in the locale set with {@link KdrFileCache#setLocale}. When the cache server
 * answered with an error of its own, the text is the server's and may be more precise than the
 * code.
 */
public class KdrCacheException extends IOException {
  private static final long serialVersionUID = 1L;

  /** The negative result code. */
  private final int code;
  /** The library's text for the failure, or null. */
  private final String errorText;

  /**
   * Makes an exception for a result code.
   *
   * @param code the negative result code
   * @param errorText the library's text for the failure, or null when there is none
   */
  public KdrCacheException(int code, String errorText) {
    super(message(code, errorText));
    this.code = code;
    this.errorText = errorText;
  }

  /**
   * Gives the result code.
   *
   * @return the negative result code, one of the {@code ERR_KDRCP_} constants of {@link
   *     FileCacheProxy} or a code the cache server sent
   */
  public int code() {
    return code;
  }

  /**
   * Gives the name of the code's constant.
   *
   * @return the constant's name, for example {@code "ERR_KDRCP_BAD_TICKET"}, or null for a code
   *     that has no constant (codes that the cache server sends of its own)
   */
  public String codeName() {
    return nameOf(code);
  }

  /**
   * Gives the library's text for the failure.
   *
   * @return the (localized) text, or null when the library gave none
   */
  public String errorText() {
    return errorText;
  }

  /**
   * Tells whether the failure is a cancellation by a progress listener ({@link
   * FileCacheProxy#ERR_KDRCP_CANCELLED}).
   *
   * @return true for a cancelled transfer
   */
  public boolean isCancelled() {
    return code == FileCacheProxy.ERR_KDRCP_CANCELLED;
  }

  /**
   * Gives the name of a result code's constant in {@link FileCacheProxy}.
   *
   * @param code a result code
   * @return its constant's name, or null when no constant has that value
   */
  public static String nameOf(int code) {
    // Compile-time constants: naming a code does not initialise FileCacheProxy.
    switch (code) {
      case FileCacheProxy.ERR_KDRCP_UNKNOWN_FILE_SIZE:
        return "ERR_KDRCP_UNKNOWN_FILE_SIZE";
      case FileCacheProxy.ERR_KDRCP_START_FAILED:
        return "ERR_KDRCP_START_FAILED";
      case FileCacheProxy.ERR_KDRCP_NO_SCRIPT:
        return "ERR_KDRCP_NO_SCRIPT";
      case FileCacheProxy.ERR_KDRCP_NO_HOME:
        return "ERR_KDRCP_NO_HOME";
      case FileCacheProxy.ERR_KDRCP_NOT_INITIALIZED:
        return "ERR_KDRCP_NOT_INITIALIZED";
      case FileCacheProxy.ERR_KDRCP_NO_CONFIG:
        return "ERR_KDRCP_NO_CONFIG";
      case FileCacheProxy.ERR_KDRCP_NO_SERVER:
        return "ERR_KDRCP_NO_SERVER";
      case FileCacheProxy.ERR_KDRCP_BAD_ARG:
        return "ERR_KDRCP_BAD_ARG";
      case FileCacheProxy.ERR_KDRCP_BAD_FILE:
        return "ERR_KDRCP_BAD_FILE";
      case FileCacheProxy.ERR_KDRCP_TOO_MANY:
        return "ERR_KDRCP_TOO_MANY";
      case FileCacheProxy.ERR_KDRCP_BAD_TICKET:
        return "ERR_KDRCP_BAD_TICKET";
      case FileCacheProxy.ERR_KDRCP_TICKET_EXPIRED:
        return "ERR_KDRCP_TICKET_EXPIRED";
      case FileCacheProxy.ERR_KDRCP_EOF:
        return "ERR_KDRCP_EOF";
      case FileCacheProxy.ERR_KDRCP_THREAD_COUNT:
        return "ERR_KDRCP_THREAD_COUNT";
      case FileCacheProxy.ERR_KDRCP_OUT_OF_MEMORY:
        return "ERR_KDRCP_OUT_OF_MEMORY";
      case FileCacheProxy.ERR_KDRCP_NOT_EXECUTED:
        return "ERR_KDRCP_NOT_EXECUTED";
      case FileCacheProxy.ERR_KDRCP_SEQUENCE:
        return "ERR_KDRCP_SEQUENCE";
      case FileCacheProxy.ERR_KDRCP_MSG_TYPE:
        return "ERR_KDRCP_MSG_TYPE";
      case FileCacheProxy.ERR_KDRCP_MSG_DATA:
        return "ERR_KDRCP_MSG_DATA";
      case FileCacheProxy.ERR_KDRCP_TYPE_ID:
        return "ERR_KDRCP_TYPE_ID";
      case FileCacheProxy.ERR_KDRCP_FILE_BUSY:
        return "ERR_KDRCP_FILE_BUSY";
      case FileCacheProxy.ERR_KDRCP_CANCELLED:
        return "ERR_KDRCP_CANCELLED";
      case FileCacheProxy.ERR_KDRCP_VERSION:
        return "ERR_KDRCP_VERSION";
      case FileCacheProxy.ERR_KDRCP_NOT_SUPPORTED:
        return "ERR_KDRCP_NOT_SUPPORTED";
      default:
        return null;
    }
  }

  private static String message(int code, String errorText) {
    String name = nameOf(code);
    String id = name == null ? String.valueOf(code) : name + " " + code;
    if (errorText == null || errorText.isEmpty() || errorText.equals(name)) return id;
    return errorText + " (" + id + ")";
  }
}
