/**
 * The KDR client cache for Java: {@link com.pellinoxar.kdr.clientcache.proxy.KdrFileCache} is
 * where to start.
 *
 * <pre>{@code
 * try (KdrFileCache cache = KdrFileCache.open()) {
 *   Path cached = cache.download(ticket, (t, done, total) -> true);
 *   Path copy = cache.downloadTo(ticket, Paths.get("out"), "drawing.pdf");
 *   String volumeId = cache.upload(ticket, Paths.get("drawing-v2.pdf"));
 *   cache.rollback(ticket, volumeId);
 * } catch (KdrCacheException e) {
 *   System.err.println(e.getMessage());
 * }
 * }</pre>
 *
 * <ul>
 *   <li>{@link com.pellinoxar.kdr.clientcache.proxy.KdrFileCache}: opens the cache (settings
 *       from the environment, or from {@link
 *       com.pellinoxar.kdr.clientcache.proxy.KdrFileCache#builder()}), downloads into the cache
 *       or to a directory, uploads and rolls back, with progress and cancel; safe for many
 *       threads.
 *   <li>{@link com.pellinoxar.kdr.clientcache.proxy.KdrCacheException}: every failure, with the
 *       result code, its name and the library's text (a native library that cannot be found
 *       included).
 *   <li>{@link com.pellinoxar.kdr.clientcache.proxy.KdrProgressListener} and {@link
 *       com.pellinoxar.kdr.clientcache.proxy.KdrResult}: progress of a transfer, and the
 *       per-file results of the batch methods.
 *   <li>{@link com.pellinoxar.kdr.clientcache.proxy.FileCacheProxy}: the twelve native methods
 *       underneath, for code written against them; new code uses {@code KdrFileCache}.
 * </ul>
 *
 * <p>A copy that {@code download} puts into the cache stays there while it is open; otherwise
 * the cache may remove it to stay within its bound, or replace it with a newer version. Read it
 * right away, or use {@code downloadTo} for a copy of your own.
 */
package com.pellinoxar.kdr.clientcache.proxy;
