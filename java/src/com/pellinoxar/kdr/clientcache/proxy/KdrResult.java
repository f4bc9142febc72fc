package com.pellinoxar.kdr.clientcache.proxy;

/**
 * The outcome of one item of a batch method of {@link KdrFileCache}: a value, or the failure of
 * that item.
 *
 * @param <T> the value of a successful item: a {@link java.nio.file.Path} for downloads, the
 *     volume id for uploads, nothing ({@link Void}) for roll-backs
 */
public final class KdrResult<T> {
  private final String ticket;
  private final T value;
  private final KdrCacheException failure;

  KdrResult(String ticket, T value, KdrCacheException failure) {
    this.ticket = ticket;
    this.value = value;
    this.failure = failure;
  }

  /**
   * Gives the item's ticket.
   *
   * @return the ticket, as the caller gave it
   */
  public String ticket() {
    return ticket;
  }

  /**
   * Tells whether the item succeeded.
   *
   * @return true when it succeeded
   */
  public boolean isSuccess() {
    return failure == null;
  }

  /**
   * Gives the item's result code.
   *
   * @return 0 for success, else the failure's code ({@link FileCacheProxy#ERR_KDRCP_NOT_EXECUTED}
   *     for an item that was not attempted because an earlier one failed)
   */
  public int code() {
    return failure == null ? 0 : failure.code();
  }

  /**
   * Gives the item's value.
   *
   * @return the value of a successful item (null for a roll-back), null for a failed one
   */
  public T value() {
    return value;
  }

  /**
   * Gives the item's failure.
   *
   * @return the failure, or null when the item succeeded
   */
  public KdrCacheException failure() {
    return failure;
  }

  /**
   * Gives the item's value, or throws its failure.
   *
   * @return the value of a successful item
   * @throws KdrCacheException the item's failure
   */
  public T get() throws KdrCacheException {
    if (failure != null) throw failure;
    return value;
  }

  @Override
  public String toString() {
    String shortTicket = ticket.length() > 12 ? ticket.substring(0, 12) + "..." : ticket;
    return shortTicket + (failure == null ? ": " + value : ": " + failure.getMessage());
  }
}
