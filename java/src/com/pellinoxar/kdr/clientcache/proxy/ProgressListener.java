package com.pellinoxar.kdr.clientcache.proxy;

/**
 * Receives the progress of a transfer started by {@link FileCacheProxy#VXNDownloadFilesFromPLM},
 * {@link FileCacheProxy#VXNDownloadFilesToLocation} or {@link FileCacheProxy#VXNUploadFilesToPLM}.
 *
 * <p>The native library calls {@link #ReportProgress} on the thread that called the transfer
 * method, while that method runs, each time the cache server reports progress on the file being
 * transferred. A listener therefore needs no synchronisation of its own for calls made by one
 * transfer, and must not start another transfer from inside {@code ReportProgress}.
 *
 * <p>The method's name and JNI signature {@code (Ljava/lang/String;Ljava/lang/Object;JJ)Z} are
 * fixed: the native library looks the method up by exactly that name and signature.
 */
@FunctionalInterface
public interface ProgressListener {
  /**
   * Reports progress on one file.
   *
   * @param ticketKey the 64-character ticket key of the file being transferred
   * @param listenerData the listener-data object given to the transfer method, unchanged (may be
   *     null)
   * @param done bytes transferred so far, as the cache server reports them
   * @param total the file's size in bytes
   * @return true to let the transfer go on; false to cancel it. A cancelled file gets the result
   *     {@link FileCacheProxy#ERR_KDRCP_CANCELLED}. An exception thrown here also cancels the
   *     transfer; it is thrown to the caller of the transfer method when that method returns, and
   *     the listener is not called again during that transfer.
   */
  boolean ReportProgress(String ticketKey, Object listenerData, long done, long total);
}
