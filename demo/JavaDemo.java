// The KDR client cache from a Java application, as java/README.md shows it: open the cache,
// download with a progress bar, read the file with a FileChannel, download a copy to a
// directory, upload, roll the upload back, and see a failure with its code and text.
//
//   javac -cp $KDR_HOME/lib/FileCacheProxy.jar JavaDemo.java
//   java -cp $KDR_HOME/lib/FileCacheProxy.jar:. JavaDemo TICKET ORIGINAL_FILE UPLOAD_FILE
//
// KDR_HOME must name the installation; the jar finds its native library in KDR_HOME/lib.
import com.pellinoxar.kdr.clientcache.proxy.FileCacheProxy;
import com.pellinoxar.kdr.clientcache.proxy.KdrCacheException;
import com.pellinoxar.kdr.clientcache.proxy.KdrFileCache;
import com.pellinoxar.kdr.clientcache.proxy.KdrProgressListener;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.zip.CRC32;

public final class JavaDemo {
  /** A progress bar on the terminal: one line, redrawn when the percentage changes. */
  static final class ProgressBar implements KdrProgressListener {
    private final String label;
    private int shown = -1;
    private long total = -1;

    ProgressBar(String label) {
      this.label = label;
    }

    @Override
    public boolean onProgress(String ticket, long done, long total) {
      this.total = total;
      draw(done, total);
      return true; // false would cancel the transfer
    }

    private void draw(long done, long total) {
      int percent = total > 0 ? (int) Math.min(100, done * 100 / total) : 100;
      if (percent == shown) return;
      shown = percent;
      int bars = percent / 5;
      System.out.printf("\r  %-9s [%s%s] %3d %%  %,d of %,d bytes", label, "#".repeat(bars),
          " ".repeat(20 - bars), percent, done, total);
      System.out.flush();
    }

    /** The transfer returned: every byte is there. */
    void completed() {
      if (total >= 0) {
        draw(total, total);
      } else {
        System.out.printf("  %-9s no progress reported (already cached)", label);
      }
      System.out.println();
    }
  }

  /** Reads a whole file through a FileChannel and gives its CRC-32. */
  static long crcOf(Path file) throws IOException {
    CRC32 crc = new CRC32();
    try (FileChannel channel = FileChannel.open(file)) {
      ByteBuffer buffer = ByteBuffer.allocateDirect(64 * 1024);
      while (channel.read(buffer) >= 0) {
        buffer.flip();
        crc.update(buffer);
        buffer.clear();
      }
    }
    return crc.getValue();
  }

  static void check(boolean ok, String what) {
    System.out.println("  " + what + (ok ? ": ok" : ": FAILED"));
    if (!ok) throw new IllegalStateException(what);
  }

  public static void main(String[] args) throws Exception {
    String ticket = args[0];
    Path original = Paths.get(args[1]);
    Path toUpload = Paths.get(args[2]);

    // open() initialises the proxy and connects to the cache server, starting it when it is
    // not running (waiting up to VXN_CONNECTTIMEOUT, then VXN_STARTUPTIMEOUT seconds).
    try (KdrFileCache cache = KdrFileCache.open()) {
      ProgressBar bar = new ProgressBar("download");
      Path cached = cache.download(ticket, bar);
      bar.completed();
      System.out.println("  cached copy: " + cached);
      check(crcOf(cached) == crcOf(original), "the cached copy holds the original's bytes");

      Path dir = Files.createTempDirectory("kdr-java-demo");
      Path copy = cache.downloadTo(ticket, dir, "copy.bin");
      check(crcOf(copy) == crcOf(original), "downloadTo wrote " + copy);

      bar = new ProgressBar("upload");
      String volumeId = cache.upload(ticket, toUpload, bar);
      bar.completed();
      System.out.println("  uploaded as volume " + volumeId);
      check(crcOf(cache.download(ticket)) == crcOf(toUpload), "a download now gives the upload");

      cache.rollback(ticket, volumeId);
      check(crcOf(cache.download(ticket)) == crcOf(original),
          "after the roll-back a download gives the original again");

      cache.setLocale("fr_FR.UTF-8");
      try {
        cache.download("not a ticket");
        check(false, "a bad ticket fails");
      } catch (KdrCacheException e) {
        System.out.println("  a bad ticket: " + e.codeName() + " (" + e.code() + "), \""
            + e.errorText() + "\"");
        check(e.code() == FileCacheProxy.ERR_KDRCP_BAD_TICKET, "the code is ERR_KDRCP_BAD_TICKET");
      }
      Files.delete(copy);
      Files.delete(dir);
    }
    System.out.println("All Java steps succeeded.");
  }
}
