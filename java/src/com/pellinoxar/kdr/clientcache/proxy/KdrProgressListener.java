package com.pellinoxar.kdr.clientcache.proxy;

/**
 * Receives the progress of a download or upload of {@link KdrFileCache}, and may cancel it.
 *
 * <p>It is called on the thread that called the transfer method, while that method runs, each
 * time the cache server reports progress on the file being transferred; a listener used by one
 * transfer at a time needs no synchronisation of its own. From inside {@code onProgress} it must
 * not start another transfer nor close the cache.
 */
@FunctionalInterface
public interface KdrProgressListener {
  /**
   * Reports progress on one file.
   *
   * @param ticket the ticket of the file being transferred, as the caller gave it
   * @param done bytes transferred so far, as the cache server reports them
   * @param total the file's size in bytes
   * @return true to let the transfer go on; false to cancel it, which makes the transfer fail
   *     with {@link FileCacheProxy#ERR_KDRCP_CANCELLED} ({@link KdrCacheException#isCancelled}).
   *     An unchecked exception thrown here cancels the transfer too and is thrown, as it is, by
   *     the transfer method.
   */
  boolean onProgress(String ticket, long done, long total);
}
