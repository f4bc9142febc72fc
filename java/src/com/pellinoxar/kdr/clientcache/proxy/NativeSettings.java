package com.pellinoxar.kdr.clientcache.proxy;

/**
 * Settings given from Java for the native library. The library, the installed client-proxy
 * library it loads and the cache server it launches all read their settings from the
 * environment when they initialise, so a setting given here becomes the process's value of its
 * environment variable. Callers set before the library initialises (see {@link
 * KdrFileCache.Builder}).
 */
final class NativeSettings {
  private NativeSettings() {}

  /**
   * Sets one variable for the native library.
   *
   * @param name one of KDR_HOME, VXN_CONNECTTIMEOUT, VXN_STARTUPTIMEOUT, KDR_VXNSTARTUPLOG,
   *     KDR_VXNPROXYLOG
   * @param value the value's bytes (paths in the file-system encoding), without a byte 0
   * @return 0, -1 when the name cannot be set or the value holds a byte 0, else an errno value
   */
  static native int set(String name, byte[] value);
}
