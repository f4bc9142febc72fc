// kdr_demo_client: goes through the client library end to end, as a Java application would
// through FileCacheProxy: load the installed library, initialise (which launches kdrcached
// through startvxn.sh when it is not running), register a ticket, download into the cache,
// open and read, upload a new version, roll it back, localize an error text, terminate.
//
//   kdr_demo_client TICKET SAMPLE_FILE UPLOAD_FILE
//
// KDR_HOME names the installation. Prints what happens; exits 0 only when every step did
// what it should.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "iface/interface.h"
#include "platform/dynlib.h"
#include "platform/env.h"

namespace {

int g_failures = 0;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void Step(const char* what, int rc, bool ok, const std::string& detail = "") {
  std::printf("  %-44s %s (result %d)%s%s\n", what, ok ? "ok" : "FAILED", rc,
              detail.empty() ? "" : ": ", detail.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failures;
}

int Progress(const char* key, void* context, int64_t done, int64_t total, int* keepGoing) {
  (void)key;
  auto* calls = static_cast<int*>(context);
  ++*calls;
  std::printf("    progress: %" PRId64 " of %" PRId64 " bytes\n", done, total);
  *keepGoing = 1;
  return 0;
}

struct Api {
#define KDR_DEMO_MEMBER(slot, name, ret, params) name##Fn name = nullptr;
  KDR_INTERFACE_ENTRIES(KDR_DEMO_MEMBER)
#undef KDR_DEMO_MEMBER
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: kdr_demo_client TICKET SAMPLE_FILE UPLOAD_FILE\n");
    return 2;
  }
  const char* ticket = argv[1];
  std::string sample = ReadAll(argv[2]);
  std::string upload = ReadAll(argv[3]);
  std::string home;
  if (!kdr::platform::GetEnvNonEmpty("KDR_HOME", &home)) {
    std::fprintf(stderr, "kdr_demo_client: KDR_HOME is not set\n");
    return 2;
  }
  std::string libPath = home + "/lib/libVXNClientProxyDll.so";
  std::string error;
  kdr::platform::DynLib* lib = kdr::platform::DynLibOpen(libPath.c_str(), &error);
  if (lib == nullptr) {
    std::fprintf(stderr, "kdr_demo_client: cannot load %s: %s\n", libPath.c_str(), error.c_str());
    return 1;
  }
  std::printf("Loaded %s\n", libPath.c_str());
  Api api;
  int missing = 0;
#define KDR_DEMO_LOAD(slot, name, ret, params)                                          \
  api.name = reinterpret_cast<name##Fn>(kdr::platform::DynLibSymbol(lib, #name));       \
  if (api.name == nullptr) {                                                            \
    std::printf("  entry %s is not in the library\n", #name);                           \
    ++missing;                                                                          \
  }
  KDR_INTERFACE_ENTRIES(KDR_DEMO_LOAD)
#undef KDR_DEMO_LOAD
  if (missing > 0) {
    std::printf("%d entries missing; stopping\n", missing);
    return 1;
  }

  std::printf("Initialising (the library launches kdrcached through startvxn.sh when needed)\n");
  int rc = api.VXN_Init(std::malloc, std::free);
  Step("VXN_Init", rc, rc == 0);
  if (rc != 0) return 1;
  rc = api.VXN_Echo();
  Step("VXN_Echo (the server answers)", rc, rc == 0);

  const char* key = nullptr;
  rc = api.VXN_RegisterTicket(ticket, &key);
  Step("VXN_RegisterTicket", rc, rc == 0 && key != nullptr,
       key != nullptr ? std::string("key ") + std::string(key, 16) + "..." : "");

  if (key != nullptr) {
    int calls = 0;
    char* path = nullptr;
    rc = api.VXN_DownloadFileFromPLM("DMO", key, Progress, &calls, &path);
    std::string cached = path != nullptr ? ReadAll(path) : "";
    Step("VXN_DownloadFileFromPLM into the cache", rc, rc == 0 && cached == sample,
         path != nullptr ? std::string(path) + ", " + std::to_string(cached.size()) + " bytes" : "");
    std::free(path);

    VXNFileHandle h = nullptr;
    rc = api.VXN_OpenFile(key, &h);
    Step("VXN_OpenFile", rc, rc == 0);
    if (rc == 0) {
      int64_t size = -1;
      rc = api.VXN_FileSize(h, &size);
      Step("VXN_FileSize", rc, rc == 0 && size == static_cast<int64_t>(sample.size()),
           std::to_string(size) + " bytes");
      std::string read;
      std::vector<char> buf(10000);
      for (;;) {
        int got = 0;
        rc = api.VXN_ReadBytes(h, "DMO", static_cast<int>(buf.size()), &got, buf.data());
        if (rc != 0 || got <= 0) break;
        read.append(buf.data(), static_cast<size_t>(got));
        if (read.size() >= sample.size()) break;
      }
      Step("VXN_ReadBytes (whole file, 10000 at a time)", rc, read == sample,
           std::to_string(read.size()) + " bytes, " + (read == sample ? "same" : "different") +
               " as the sample");
      rc = api.VXN_CloseFileHandlePointer(h);
      Step("VXN_CloseFileHandlePointer", rc, rc == 0);
    }

    char* volume = nullptr;
    calls = 0;
    rc = api.VXN_UploadFileToPLM(key, Progress, &calls, argv[3], &volume);
    Step("VXN_UploadFileToPLM (a new version)", rc, rc == 0 && volume != nullptr,
         volume != nullptr ? std::string("volume ") + volume : "");
    path = nullptr;
    rc = api.VXN_DownloadFileFromPLM("DMO", key, Progress, &calls, &path);
    cached = path != nullptr ? ReadAll(path) : "";
    Step("download after the upload", rc, rc == 0 && cached == upload,
         cached == upload ? "the uploaded bytes" : "not the uploaded bytes");
    std::free(path);
    rc = api.VXN_RollbackFileUploadedToPLM(key, volume);
    Step("VXN_RollbackFileUploadedToPLM", rc, rc == 0);
    path = nullptr;
    rc = api.VXN_DownloadFileFromPLM("DMO", key, Progress, &calls, &path);
    cached = path != nullptr ? ReadAll(path) : "";
    Step("download after the roll-back", rc, rc == 0 && cached == sample,
         cached == sample ? "the original bytes again" : "not the original bytes");
    std::free(path);
    std::free(volume);
  }

  rc = api.VXN_SetLocale("de_DE.UTF-8");
  Step("VXN_SetLocale de_DE.UTF-8", rc, rc == 0);
  const char* bogusKey = nullptr;
  int bad = api.VXN_RegisterTicket("not a ticket", &bogusKey);
  const char* message = nullptr;
  rc = api.VXN_GetLastError(&message);
  Step("a bad ticket, then VXN_GetLastError", bad, bad != 0,
       message != nullptr ? std::string("\"") + message + "\"" : "no text");

  rc = api.VXN_Term();
  Step("VXN_Term", rc, rc == 0);
  std::printf(g_failures == 0 ? "All steps succeeded.\n" : "%d step(s) failed.\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
