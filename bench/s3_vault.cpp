// What the S3 vault costs the store and the reader.
//
//   BM_RevalidationRequests  requests a server with 2,000 or 100,000 noted files sends the
//                            store per minute, idle (goal 0) and, with 2,000, busy (each file
//                            opened once a bound: goal at most the opens), through a counting
//                            in-process store; settle_requests: the last rechecks after the
//                            last use (goal: about one listing a 1,000 files)
//   BM_OpenWhileStoreHangs   open of a file the cache knows, the store hanging (after the
//                            first open noticed) against the store answering at once: A/B
//   BM_FirstByte             a cold 1-byte read through the vault against libcurl's ranged
//                            1-byte GET of another object of the same store (a throw-away RGW,
//                            or KDR_RGW_DIR's), interleaved A,B,B,A; the store on one CPU,
//                            this process on the others (s3_placement.h)
//
// Numbers on a shared machine are noisy: read the ratios and their spread.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_pairs.h"
#include "bench_process.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "s3_placement.h"
#include "server/s3/http.h"
#include "server/s3/s3_vault.h"
#include "server/server.h"
#include "server/ticket.h"
#include "support/process_wait.h"

namespace {

namespace fs = std::filesystem;
namespace pf = kdr::platform;
namespace s3 = kdr::server::s3;
using kdr::server::Vault;

// A store of `files` objects of 100 bytes (f100000, f100001, ...) that answers HEADs and
// version listings at once (or not at all, while `hang`) and counts what it is asked.
class CountingStore : public s3::Transport {
 public:
  int files = 2000;  // set before use
  std::atomic<int> requests{0};
  std::atomic<bool> hang{false};
  s3::Net Exchange(const s3::Request& req, const std::string& url, const s3::Keys&,
                   s3::ResponseSink* sink, std::string*) override {
    ++requests;
    if (hang.load()) {
      int32_t start = pf::MonotonicMs();
      while (pf::MonotonicMs() - start < req.timeoutMs &&
             !(req.cancel != nullptr && req.cancel->load())) {
        pf::SleepMs(5);
      }
      return s3::Net::kTimeout;
    }
    sink->Line("HTTP/1.1 200 OK");
    std::string body;
    if (url.find("versioning") != std::string::npos) {
      body = "<VersioningConfiguration><Status>Enabled</Status></VersioningConfiguration>";
    } else if (url.find("versions") != std::string::npos) {
      // Every file has one version; a page holds 1,000 of them.
      size_t at = url.find("key-marker=");
      std::string marker =
          at == std::string::npos ? "" : url.substr(at + 11, url.find('&', at) - at - 11);
      // A listing goes on after its marker in key order, as S3 compares keys: as text (the
      // marker the vault sends, a key cut by its last character, is no number of ours).
      const int last = 100000 + files;
      int from = 100000;
      for (int step = 1 << 20; step > 0; step /= 2) {  // keys go up as text: a binary search
        if (from + step <= last && "f" + std::to_string(from + step - 1) <= marker) from += step;
      }
      body = "<ListVersionsResult>";
      int to = std::min(from + 1000, last);
      for (int i = from; i < to; ++i) {
        body += "<Version><Key>f" + std::to_string(i) +
                "</Key><VersionId>v1</VersionId><IsLatest>true</IsLatest></Version>";
      }
      body += std::string("<IsTruncated>") + (to < last ? "true" : "false") + "</IsTruncated>";
      if (to < last) body += "<NextKeyMarker>f" + std::to_string(to - 1) + "</NextKeyMarker>";
      body += "</ListVersionsResult>";
    } else if (url.find("uploads") != std::string::npos) {
      body = "<ListMultipartUploadsResult/>";
    } else {
      sink->Line("x-amz-version-id: v1");
      sink->Line("Content-Length: 100");
      return s3::Net::kOk;
    }
    (void)req;
    sink->Line("Content-Length: " + std::to_string(body.size()));
    sink->Data(reinterpret_cast<const unsigned char*>(body.data()), body.size());
    return s3::Net::kOk;
  }
};

std::unique_ptr<Vault> FakeVault(const std::shared_ptr<CountingStore>& store, int trustMs) {
  s3::S3Settings s;
  s.endpoint = "http://fake";
  s.bucket = "bkt";
  s.accessKey = "k";
  s.secretKey = "s";
  s.stallSeconds = 1;
  s.trustMs = trustMs;
  s.transport = store;
  std::unique_ptr<Vault> vault;
  std::string error;
  return s3::NewS3Vault(s, &vault, &error) == 0 ? std::move(vault) : nullptr;
}

void BM_RevalidationRequests(benchmark::State& state) {
  const int kFiles = static_cast<int>(state.range(0)), kSeconds = 3;
  // Many files are noted by one open each; a few are also kept busy.
  const bool busyToo = kFiles <= 2000;
  for (auto _ : state) {
    auto store = std::make_shared<CountingStore>();
    store->files = kFiles;
    kdr::server::ServerConfig config;
    config.revalidateSeconds = 1;
    config.cacheDir = (fs::temp_directory_path() / "kdr-bench-revalidation").string();
    kdr::server::ServerState st(config, FakeVault(store, 1000), kdr::server::NewNullBlockCache());
    std::vector<std::string> guids;
    for (int i = 0; i < kFiles; ++i) guids.push_back("f" + std::to_string(100000 + i));
    // Busy: each file opened four times a second (the bound), as opens through the server do.
    st.revalidator.Start();
    int before = store->requests.load();
    int opens = 0;
    const int32_t noteStart = pf::MonotonicMs();
    for (int q = 0; busyToo && q < 4 * kSeconds; ++q) {
      int32_t start = pf::MonotonicMs();
      for (const std::string& g : guids) {
        std::shared_ptr<kdr::server::VaultFile> f;
        if (st.vault->Open(g, &f) == 0) st.NoteVersion(g, f->Info().version);
        ++opens;
      }
      pf::SleepMs(static_cast<uint32_t>(std::max(0, 250 - (pf::MonotonicMs() - start))));
    }
    int busy = store->requests.load() - before;
    if (!busyToo) {
      for (const std::string& g : guids) {
        std::shared_ptr<kdr::server::VaultFile> f;
        if (st.vault->Open(g, &f) == 0) st.NoteVersion(g, f->Info().version);
      }
      state.counters["noting_s"] = (pf::MonotonicMs() - noteStart) / 1000.0;
    }
    // Idle: nobody opens anything.
    // The last rechecks of what was in use come first (with 100,000 files they take a while):
    // idle begins once a whole bound and a half went by without a request (at most 2 minutes).
    const int32_t settleStart = pf::MonotonicMs();
    const int lastUse = store->requests.load();
    for (int seen = -1;
         seen != store->requests.load() && pf::MonotonicMs() - settleStart < 120000;) {
      seen = store->requests.load();
      pf::SleepMs(1500);
    }
    state.counters["settle_s"] = (pf::MonotonicMs() - settleStart) / 1000.0;
    before = store->requests.load();
    state.counters["settle_requests"] = before - lastUse;  // goal: one listing a 1,000 files
    pf::SleepMs(kSeconds * 1000);
    int idle = store->requests.load() - before;
    st.revalidator.Stop();
    state.counters["idle_requests_per_min"] = idle * 60.0 / kSeconds;
    if (busyToo) {
      state.counters["busy_opens_per_min"] = opens * 60.0 / kSeconds;
      state.counters["busy_requests_per_min"] = busy * 60.0 / kSeconds;
      state.counters["requests_per_open"] = static_cast<double>(busy) / opens;
    }
  }
}
BENCHMARK(BM_RevalidationRequests)
    ->ArgName("files")
    ->Arg(2000)
    ->Arg(100000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_OpenWhileStoreHangs(benchmark::State& state) {
  const int kOpens = 200;
  auto answering = std::make_shared<CountingStore>();
  auto hanging = std::make_shared<CountingStore>();
  std::unique_ptr<Vault> a = FakeVault(answering, 0), b = FakeVault(hanging, 0);
  std::shared_ptr<kdr::server::VaultFile> f;
  if (a == nullptr || b == nullptr || b->Open("known", &f) != 0) {
    state.SkipWithError("no vault");
    return;
  }
  hanging->hang = true;
  int32_t start = pf::MonotonicMs();
  b->Open("known", &f);  // the first to notice waits one stall limit
  state.counters["first_ms"] = pf::MonotonicMs() - start;
  auto opens = [&](Vault* v) {
    for (int i = 0; i < kOpens; ++i) {
      std::shared_ptr<kdr::server::VaultFile> file;
      if (v->Open("known", &file) != 0) return false;
    }
    return true;
  };
  kdr::bench::RunPair(
      state, [&] { return opens(a.get()); }, [&] { return opens(b.get()); }, 0, kOpens);
}
BENCHMARK(BM_OpenWhileStoreHangs)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- First byte against a real store.

using kdr::bench::Env;
using kdr::bench::Run;

size_t Discard(char*, size_t size, size_t n, void* got) {
  *static_cast<size_t*>(got) += size * n;
  return size * n;
}

void BM_FirstByte(benchmark::State& state) {
  std::string dir =
      (fs::temp_directory_path() / ("kdrs3fb." + std::to_string(pf::MonotonicMs()))).string();
  fs::create_directories(dir);
  kdr::bench::Placement place;
  std::string rgw = Env("KDR_RGW_DIR");
  bool own = rgw.empty();
  if (own) {
    rgw = dir + "/rgw";
    if (Run(place.Store() + "'" KDR_RGW_SCRIPT "' start '" + rgw + "' 2>'" + dir + "/rgw.log'") !=
        0) {
      state.SkipWithError("cannot start the store");
      return;
    }
  } else {
    place.PinStarted(rgw);
  }
  std::ifstream env(rgw + "/env");
  for (std::string line; std::getline(env, line);) {
    if (line.rfind("export ", 0) == 0) line = line.substr(7);
    size_t eq = line.find('=');
    if (eq != std::string::npos) setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
  }
  const int kObjects = 4 * kdr::bench::Rounds() + 2;
  std::unique_ptr<Vault> vault;
  std::string error;
  std::string src = dir + "/object.bin";
  std::ofstream(src) << std::string(6u << 20, 'x');
  std::vector<std::string> guids;
  bool ok =
      kdr::server::OpenVault({"s3://" + Env("KDR_S3_BUCKET") + "/fb", Env("KDR_S3_ENDPOINT"), ""},
                             &vault, &error) == 0;
  for (int i = 0; ok && i < kObjects; ++i) {
    std::string guid = kdr::server::NewGuid('v'), volume;
    ok = vault->Put(guid, "o.bin", src, &volume) == 0;
    guids.push_back(guid);
  }
  if (ok) {
    size_t next = 0;
    std::vector<std::pair<std::shared_ptr<kdr::server::VaultFile>,
                          std::unique_ptr<kdr::server::VaultReader>>>
        opened;
    for (const std::string& g : guids) {
      std::shared_ptr<kdr::server::VaultFile> f;
      std::unique_ptr<kdr::server::VaultReader> r;
      if (vault->Open(g, &f) != 0 || f->OpenReader(&r) != 0) ok = false;
      opened.emplace_back(std::move(f), std::move(r));
    }
    CURL* c = curl_easy_init();
    std::string user = Env("AWS_ACCESS_KEY_ID") + ":" + Env("AWS_SECRET_ACCESS_KEY");
    struct curl_slist* headers =
        curl_slist_append(nullptr, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
    headers = curl_slist_append(headers, "Range: bytes=0-0");
    auto curlByte = [&] {
      std::string url = Env("KDR_S3_ENDPOINT") + "/" + Env("KDR_S3_BUCKET") + "/fb/" +
                        guids[next++ % guids.size()];
      size_t got = 0;
      curl_easy_setopt(c, CURLOPT_URL, url.c_str());
      curl_easy_setopt(c, CURLOPT_AWS_SIGV4, "aws:amz:us-east-1:s3");
      curl_easy_setopt(c, CURLOPT_USERPWD, user.c_str());
      curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
      curl_easy_setopt(c, CURLOPT_TCP_NODELAY, 1L);
      curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Discard);
      curl_easy_setopt(c, CURLOPT_WRITEDATA, &got);
      return curl_easy_perform(c) == CURLE_OK && got == 1;
    };
    auto vaultByte = [&] {
      auto& [file, reader] = opened[next++ % opened.size()];
      unsigned char b = 0;
      size_t n = 0;
      return reader->ReadAt(0, &b, 1, &n) == 0 && n == 1 && b == 'x';
    };
    curlByte();  // the connection, made once as the vault's are
    if (ok) kdr::bench::RunPair(state, curlByte, vaultByte, 0);
    curl_slist_free_all(headers);
    curl_easy_cleanup(c);
  } else {
    state.SkipWithError(("cannot fill the store: " + error).c_str());
  }
  vault.reset();
  if (own) Run("'" KDR_RGW_SCRIPT "' stop '" + rgw + "'");
  std::error_code ec;
  fs::remove_all(dir, ec);
}
BENCHMARK(BM_FirstByte)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
