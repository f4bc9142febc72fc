// The Java side of the demo: FileCacheProxy as a Java application uses it.
//   java -cp FileCacheProxy.jar:. -Djava.library.path=$KDR_HOME/lib JavaDemo TICKET SAMPLE_FILE
import com.pellinoxar.kdr.clientcache.proxy.FileCacheProxy;
import com.pellinoxar.kdr.clientcache.proxy.ProgressListener;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.Arrays;

public final class JavaDemo {
  private static int failures = 0;

  private static void step(String what, int rc, boolean ok, String detail) {
    System.out.printf("  %-44s %s (result %d)%s%n", what, ok ? "ok" : "FAILED", rc,
        detail.isEmpty() ? "" : ": " + detail);
    if (!ok) failures++;
  }

  public static void main(String[] args) throws Exception {
    byte[] sample = Files.readAllBytes(Paths.get(args[1]));
    int rc = FileCacheProxy.VXNIsVXNEnabled();
    step("VXNIsVXNEnabled", rc, rc >= 0, "");
    rc = FileCacheProxy.VXNInit();
    step("VXNInit", rc, rc == 0, "");
    String[] keys = new String[1];
    int[] results = new int[1];
    rc = FileCacheProxy.VXNRegisterTickets(new String[] {args[0]}, keys, results);
    step("VXNRegisterTickets", rc, rc == 0 && results[0] == 0 && keys[0] != null, "");
    ProgressListener listener = (key, data, done, total) -> {
      System.out.printf("    progress: %d of %d bytes%n", done, total);
      return true;
    };
    byte[][] paths = new byte[1][];
    rc = FileCacheProxy.VXNDownloadFilesFromPLM("JVA", keys, listener, null, paths, results);
    String path = paths[0] == null ? "" : new String(paths[0], StandardCharsets.UTF_8);
    boolean same = !path.isEmpty() && Arrays.equals(Files.readAllBytes(Paths.get(path)), sample);
    step("VXNDownloadFilesFromPLM", rc, rc == 0 && same, path);
    rc = FileCacheProxy.VXNSetLocale("fr_FR.UTF-8");
    step("VXNSetLocale fr_FR.UTF-8", rc, rc == 0, "");
    rc = FileCacheProxy.VXNRegisterTickets(new String[] {"not a ticket"}, keys, results);
    byte[][] message = new byte[1][];
    FileCacheProxy.VXNGetLastError(message);
    String text = message[0] == null ? "" : new String(message[0], StandardCharsets.UTF_8);
    step("a bad ticket, then VXNGetLastError", results[0], results[0] != 0, "\"" + text + "\"");
    rc = FileCacheProxy.VXNTerm();
    step("VXNTerm", rc, rc == 0, "");
    System.out.println(failures == 0 ? "All Java steps succeeded." : failures + " Java step(s) failed.");
    System.exit(failures == 0 ? 0 : 1);
  }
}
