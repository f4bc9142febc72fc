// The S3 vault against a scripted store in the same process: answers no well-behaved store
// gives but HTTP allows (a 200 to a ranged GET, a body cut short, a Content-Range or version
// that is not the one asked for, "busy", an error after a 200 status, a store that never
// answers), each where it used to go wrong.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "server/s3/checksum.h"
#include "server/s3/credentials_chain.h"
#include "server/s3/http.h"
#include "server/s3/s3_vault.h"
#include "server/s3/text.h"

namespace kdr::server::s3 {
namespace {

namespace pf = kdr::platform;
namespace fs = std::filesystem;

// Records of 64 bytes, each naming its object and offset: a misplaced byte shows.
std::string Records(const std::string& name, size_t n) {
  std::string out;
  char rec[96];
  for (size_t at = 0; at < n; at += 64) {
    std::snprintf(rec, sizeof rec, "%-20.20s offset %020zu ..............\n", name.c_str(), at);
    out.append(rec, std::min<size_t>(64, n - at));
  }
  return out;
}

std::map<std::string, std::string> Params(const std::string& url) {
  std::map<std::string, std::string> out;
  size_t q = url.find('?');
  if (q == std::string::npos) return out;
  std::string rest = url.substr(q + 1);
  while (!rest.empty()) {
    size_t amp = rest.find('&');
    std::string kv = rest.substr(0, amp);
    size_t eq = kv.find('=');
    out[Decode(kv.substr(0, eq))] = eq == std::string::npos ? "" : Decode(kv.substr(eq + 1));
    rest = amp == std::string::npos ? "" : rest.substr(amp + 1);
  }
  return out;
}

// A versioned bucket "bkt" at http://fake with objects under "p/"; the knobs make it
// misbehave. Objects and knobs are set before the vault uses them, or are atomics.
class FakeStore : public Transport {
 public:
  struct Object {
    std::string content;
    std::string version;
    std::string etag;   // empty: the version, quoted (no digest)
    std::string parts;  // x-amz-meta-kdr-parts, when set
  };
  std::map<std::string, Object> objects;  // by GUID
  size_t pageKeys = 1000;
  std::atomic<bool> ignoreRange{false};
  std::atomic<bool> badRange{false};      // Content-Range one byte off
  std::atomic<bool> extraBytes{false};    // more body than the range
  std::atomic<bool> otherVersion{false};  // a GET answered with another version
  std::atomic<int> cutGets{0};            // the next GETs break half-way
  std::atomic<int> busy{0};               // the next requests answer 503 SlowDown
  std::string retryAfter;
  std::atomic<bool> hang{false};           // no answer until the request's time-out
  std::atomic<bool> tls{false};            // the certificate is refused
  std::atomic<bool> errorAfter200{false};  // a completion fails in its body
  std::atomic<int> requests{0};
  std::atomic<int> lists{0};
  std::atomic<int> heads{0};
  std::atomic<bool> ignoreMarker{false};  // every listing starts at the first key
  std::atomic<int> putsWithoutMd5{0};
  std::atomic<uint64_t> bodyBytes{0};  // data sent by GETs
  std::atomic<int> stoppedGets{0};     // GETs whose client stopped taking the body
  std::atomic<int> objectGets{0};
  std::atomic<int> pauseMs{0};         // after a GET's first piece
  std::atomic<uint64_t> damageAt{0};   // the byte of the object the next damagedGets flip
  std::atomic<int> damagedGets{0};
  std::atomic<int> wrongEtag{0};  // answered instead of the digest: 1 a PUT's, 2 a part's, 3 a
                                  // completion's
  std::atomic<int> versionDeletes{0};
  std::atomic<bool> staleUpload{false};  // a multipart upload of long ago is listed
  std::atomic<int> aborts{0};
  std::atomic<int> firstPieces{0};  // GETs of a chunk's first 16 KiB alone

  Net Exchange(const Request& req, const std::string& url, const Keys&, ResponseSink* sink,
               std::string*) override {
    ++requests;
    std::string method = req.method;
    if (tls.load()) return Net::kTls;
    if (hang.load()) {
      int limit = req.timeoutMs > 0 ? req.timeoutMs : 1000;
      int32_t start = pf::MonotonicMs();
      while (pf::MonotonicMs() - start < limit && !(req.cancel != nullptr && req.cancel->load())) {
        pf::SleepMs(10);
      }
      return Net::kTimeout;
    }
    if (busy.load() > 0) {
      --busy;
      return Answer(sink, 503, {"Retry-After: " + retryAfter},
                    "<Error><Code>SlowDown</Code></Error>");
    }
    auto params = Params(url);
    std::string path = url.substr(0, url.find('?'));
    path = path.substr(path.find("/bkt") + 4);
    if (path.empty()) {
      if (params.count("versioning") != 0) {
        return Answer(sink, 200, {},
                      "<VersioningConfiguration><Status>Enabled</Status>"
                      "</VersioningConfiguration>");
      }
      if (params.count("versions") != 0) return List(sink, params);
      if (params.count("uploads") != 0) {
        return Answer(sink, 200, {},
                      staleUpload.load()
                          ? "<ListMultipartUploadsResult><Upload><Key>p/old</Key>"
                            "<UploadId>u0</UploadId><Initiated>2000-01-01T00:00:"
                            "00.000Z</Initiated></Upload></ListMultipartUploadsResult>"
                          : "<ListMultipartUploadsResult/>");
      }
    }
    std::string guid = Decode(path.substr(path.find("/p/") + 3));
    if (method == "POST" && params.count("uploads") != 0) {
      return Answer(sink, 200, {},
                    "<InitiateMultipartUploadResult><UploadId>u1</UploadId>"
                    "</InitiateMultipartUploadResult>");
    }
    if (method == "PUT") {
      bool md5 = false;
      for (const std::string& h : req.headers) md5 = md5 || h.rfind("Content-MD5: ", 0) == 0;
      if (!md5) ++putsWithoutMd5;
    }
    // ETags as S3 makes them: a body's MD5; a completion's, the MD5 of its parts' MD5s.
    if (method == "PUT") {
      unsigned char md5[16];
      Md5Of(req.body, req.bodyLen, md5);
      bool part = params.count("partNumber") != 0;
      if (part) {
        std::lock_guard<std::mutex> guard(partsMu_);
        partMd5_[std::stoi(params["partNumber"])] = std::string(reinterpret_cast<char*>(md5), 16);
      }
      if (wrongEtag.load() == (part ? 2 : 1)) md5[3] ^= 1;
      return Answer(sink, 200, {"ETag: \"" + Hex(md5, 16) + "\"", "x-amz-version-id: v9"}, "");
    }
    if (method == "POST") {
      if (errorAfter200.load()) {
        return Answer(sink, 200, {}, "<Error><Code>InternalError</Code></Error>");
      }
      std::string all;
      {
        std::lock_guard<std::mutex> guard(partsMu_);
        for (const auto& [n, md5] : partMd5_) all += md5;
        partMd5_.clear();
      }
      unsigned char md5[16];
      Md5Of(reinterpret_cast<const unsigned char*>(all.data()), all.size(), md5);
      if (wrongEtag.load() == 3) md5[3] ^= 1;
      return Answer(sink, 200, {"x-amz-version-id: v9"},
                    "<CompleteMultipartUploadResult><ETag>&quot;" + Hex(md5, 16) + "-" +
                        std::to_string(all.size() / 16) +
                        "&quot;</ETag></CompleteMultipartUploadResult>");
    }
    if (method == "DELETE") {
      if (params.count("versionId") != 0) ++versionDeletes;
      if (params.count("uploadId") != 0 && staleUpload.exchange(false)) ++aborts;
      return Answer(sink, 204, {}, "");
    }
    auto it = objects.find(guid);
    if (it == objects.end()) return Answer(sink, 404, {}, "<Error><Code>NoSuchKey</Code></Error>");
    const Object& o = it->second;
    bool other = otherVersion.load() && method == "GET";
    std::vector<std::string> headers = {"x-amz-version-id: " + (other ? "vX" : o.version),
                                        "ETag: \"" + (o.etag.empty() ? o.version : o.etag) + "\""};
    if (!o.parts.empty()) headers.push_back("x-amz-meta-kdr-parts: " + o.parts);
    if (method == "HEAD") {
      ++heads;
      headers.push_back("Content-Length: " + std::to_string(o.content.size()));
      return Answer(sink, 200, headers, "");
    }
    ++objectGets;
    if (req.ranged && req.last - req.first + 1 == 16384 && req.first % (4u << 20) == 0)
      ++firstPieces;
    if (!req.ranged || ignoreRange.load())
      return Body(sink, 200, headers, o.content, 0, o.content.size());
    uint64_t first = req.first, last = std::min<uint64_t>(req.last, o.content.size() - 1);
    headers.push_back("Content-Range: bytes " + std::to_string(first + (badRange.load() ? 1 : 0)) +
                      "-" + std::to_string(last) + "/" + std::to_string(o.content.size()));
    size_t end = static_cast<size_t>(last + 1);
    if (extraBytes.load()) end = std::min(o.content.size(), end + 5000);
    return Body(sink, 206, headers, o.content, static_cast<size_t>(first), end);
  }

 private:
  static Net Answer(ResponseSink* sink, int status, const std::vector<std::string>& headers,
                    const std::string& body) {
    sink->Line("HTTP/1.1 " + std::to_string(status) + " X");
    bool sized = false;
    for (const std::string& h : headers) {
      sink->Line(h);
      sized = sized || h.rfind("Content-Length:", 0) == 0;
    }
    if (!sized) sink->Line("Content-Length: " + std::to_string(body.size()));
    if (!body.empty() &&
        !sink->Data(reinterpret_cast<const unsigned char*>(body.data()), body.size())) {
      return Net::kCancelled;
    }
    return Net::kOk;
  }

  // Sends content[from, to) in pieces of 64 KiB, as a transport would.
  Net Body(ResponseSink* sink, int status, const std::vector<std::string>& headers,
           const std::string& content, size_t from, size_t to) {
    sink->Line("HTTP/1.1 " + std::to_string(status) + " X");
    for (const std::string& h : headers) sink->Line(h);
    size_t announced = status == 206 && !extraBytes.load() ? to - from : content.size();
    sink->Line("Content-Length: " + std::to_string(announced));
    bool cut = cutGets.load() > 0 && cutGets.fetch_sub(1) > 0;
    size_t stop = cut ? from + (to - from) / 2 : to;
    for (size_t at = from; at < stop; at += 65536) {
      size_t n = std::min<size_t>(65536, stop - at);
      if (at > from && at - from == 65536 && pauseMs.load() > 0)
        pf::SleepMs(static_cast<uint32_t>(pauseMs.load()));
      bodyBytes += n;
      std::string piece = content.substr(at, n);
      uint64_t bad = damageAt.load();
      if (bad >= at && bad < at + n && damagedGets.load() > 0 && damagedGets.fetch_sub(1) > 0) {
        piece[bad - at] ^= 0x20;
      }
      if (!sink->Data(reinterpret_cast<const unsigned char*>(piece.data()), n)) {
        ++stoppedGets;
        return Net::kCancelled;
      }
    }
    return cut ? Net::kReset : Net::kOk;
  }

  Net List(ResponseSink* sink, std::map<std::string, std::string>& params) {
    ++lists;
    std::string marker = params["key-marker"];
    size_t max = std::min<size_t>(
        pageKeys, std::stoul(params.count("max-keys") ? params["max-keys"] : "1000"));
    std::string xml = "<ListVersionsResult>";
    size_t n = 0;
    std::string last;
    bool more = false;
    for (const auto& [guid, o] : objects) {
      std::string key = "p/" + guid;
      if (!ignoreMarker.load() && !marker.empty() && key <= marker) continue;
      if (n == max) {
        more = true;
        break;
      }
      xml += "<Version><Key>" + key + "</Key><VersionId>" + o.version +
             "</VersionId><IsLatest>true</IsLatest></Version>";
      last = key;
      ++n;
    }
    xml += std::string("<IsTruncated>") + (more ? "true" : "false") + "</IsTruncated>";
    if (more)
      xml +=
          "<NextKeyMarker>" + last + "</NextKeyMarker><NextVersionIdMarker>x</NextVersionIdMarker>";
    xml += "</ListVersionsResult>";
    return Answer(sink, 200, {}, xml);
  }

  std::mutex partsMu_;
  std::map<int, std::string> partMd5_;  // by part number, of the upload in progress
};

class S3Fake : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("s3fake." + std::to_string(pf::MonotonicMs()) + "." +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    store_ = std::make_shared<FakeStore>();
    store_->objects["big"] = {Records("big", (10u << 20) + 3), "v1"};
    store_->objects["small"] = {Records("small", 70000), "v1"};
  }
  void TearDown() override {
    vault_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void MakeVault(int stallSeconds = 10, int cacheChunks = 32, bool checkEtags = true) {
    S3Settings s;
    s.endpoint = "http://fake";
    s.bucket = "bkt";
    s.prefix = "p";
    s.accessKey = "k";
    s.secretKey = "s";
    s.stallSeconds = stallSeconds;
    s.cacheChunks = cacheChunks;
    s.checkEtags = checkEtags;
    s.aloneBytesPerSecond = aloneBytesPerSecond_;
    s.probeMs = 100;
    s.cacheFilesDir = (dir_ / "files").string();
    s.transport = store_;
    std::string error;
    ASSERT_EQ(NewS3Vault(s, &vault_, &error), 0) << error;
  }

  // Reads `len` bytes at `offset` of `guid` through a new reader: the bytes, or "<error N>".
  std::string Read(const std::string& guid, uint64_t offset, size_t len) {
    std::shared_ptr<VaultFile> f;
    int rc = vault_->Open(guid, &f);
    if (rc != 0) return "<error " + std::to_string(rc) + ">";
    std::unique_ptr<VaultReader> r;
    if ((rc = f->OpenReader(&r)) != 0) return "<error " + std::to_string(rc) + ">";
    std::string out(len, '\0');
    size_t done = 0;
    rc = r->ReadAt(offset, out.data(), len, &done);
    if (rc != 0) return "<error " + std::to_string(rc) + ">";
    out.resize(done);
    return out;
  }

  // Copies a whole object to a file in the test's directory, as a download does.
  int CopyOut(const std::string& guid, uint64_t* copied) {
    std::shared_ptr<VaultFile> f;
    if (int rc = vault_->Open(guid, &f); rc != 0) return rc;
    std::string path = (dir_ / "copy").string();
    int fd = pf::kNoFile;
    if (int rc = pf::OpenFile(path.c_str(), pf::FileMode::kCreateTruncate, &fd); rc != 0) {
      return rc;
    }
    int rc = f->CopyTo(
        fd, [](uint64_t) { return true; }, copied);
    pf::CloseFile(fd);
    return rc;
  }

  // What CopyOut left in the test's directory.
  std::string Copied() {
    std::ifstream in(dir_ / "copy", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  std::string Want(const std::string& guid, uint64_t offset, size_t len) {
    return store_->objects[guid].content.substr(offset, len);
  }

  fs::path dir_;
  std::shared_ptr<FakeStore> store_;
  std::unique_ptr<Vault> vault_;
  uint64_t aloneBytesPerSecond_ = S3Settings().aloneBytesPerSecond;
};

// A store or proxy that ignores Range sends the whole object: its range is cut out of it,
// wherever it lies, and the read ends (it used to spin for ever, or stop short and say 0).
TEST_F(S3Fake, WholeAnswerToARangeIsCutToTheRange) {
  MakeVault();
  store_->ignoreRange = true;
  const uint64_t size = store_->objects["big"].content.size();
  for (uint64_t at : {uint64_t{0}, uint64_t{(4u << 20) - 10}, size - 100}) {
    EXPECT_TRUE(Read("big", at, 100) == Want("big", at, 100)) << at;
  }
  EXPECT_TRUE(Read("big", (8u << 20) - 7, 1u << 20) == Want("big", (8u << 20) - 7, 1u << 20));
}

// An answer that is not the range or version asked for is an error, never data.
TEST_F(S3Fake, AnswerOtherThanAskedIsAnError) {
  MakeVault();
  std::atomic<bool>* knobs[] = {&store_->badRange, &store_->extraBytes, &store_->otherVersion};
  for (std::atomic<bool>* knob : knobs) {
    *knob = true;
    EXPECT_EQ(Read("big", 5u << 20, 1000), "<error " + std::to_string(EIO) + ">");
    *knob = false;
  }
  EXPECT_TRUE(Read("big", 5u << 20, 1000) == Want("big", 5u << 20, 1000));
}

// The first bytes reach the reader as they arrive; read-ahead waits for a sequential
// pattern and stops when the handle closes. Only a read that starts afresh at a chunk's
// start has its first bytes fetched alone: reads on where the last stopped do not pay it.
TEST_F(S3Fake, FirstBytesAtOnceAndReadAheadOnlyWhenSequential) {
  store_->objects["seq"] = {Records("seq", (8u << 20) + 1), "v1"};
  MakeVault();
  store_->pauseMs = 1500;
  int32_t start = pf::MonotonicMs();
  EXPECT_TRUE(Read("big", 10, 1) == Want("big", 10, 1));  // its file (handle) closes after
  EXPECT_LT(pf::MonotonicMs() - start, 1000);
  pf::SleepMs(1700);
  EXPECT_LE(store_->bodyBytes.load(), 64u << 10);  // the first piece of that chunk, nothing ahead
  store_->pauseMs = 0;

  std::shared_ptr<VaultFile> f;
  ASSERT_EQ(vault_->Open("big", &f), 0);
  std::string got;
  for (uint64_t at = 4u << 20; at < (6u << 20); at += 65536) {
    std::unique_ptr<VaultReader> r;  // the server makes a reader per request
    ASSERT_EQ(f->OpenReader(&r), 0);
    std::string piece(65536, '\0');
    size_t n = 0;
    ASSERT_EQ(r->ReadAt(at, piece.data(), piece.size(), &n), 0);
    got += piece.substr(0, n);
  }
  EXPECT_TRUE(got == Want("big", 4u << 20, 2u << 20));
  // The chunk after the one being read (the last, 2 MiB + 3) was asked for ahead.
  const uint64_t ahead = (6u << 20) + 3;  // and chunk 1 (chunk 0's first piece besides)
  for (int i = 0; i < 1000 && store_->bodyBytes.load() < ahead; ++i) pf::SleepMs(10);
  EXPECT_GE(store_->bodyBytes.load(), ahead);

  const int pieces = store_->firstPieces.load();
  ASSERT_EQ(vault_->Open("seq", &f), 0);
  std::unique_ptr<VaultReader> r;
  ASSERT_EQ(f->OpenReader(&r), 0);
  got.clear();
  for (uint64_t at = (4u << 20) - 131072; at < (4u << 20) + 65536; at += 65536) {
    std::string piece(65536, '\0');
    size_t n = 0;
    ASSERT_EQ(r->ReadAt(at, piece.data(), piece.size(), &n), 0);
    got += piece.substr(0, n);
  }
  EXPECT_TRUE(got == Want("seq", (4u << 20) - 131072, 196608));
  EXPECT_EQ(store_->firstPieces.load(), pieces);
}

// Nine handles reading on at once (one more than the streams the cache runs: the last reads
// ahead in runs of chunks), with more read-ahead than the memory holds: what read-ahead
// brought in stays until it is read, so every byte comes from the store once.
TEST_F(S3Fake, ReadAheadChunksStayUntilRead) {
  constexpr int kHandles = 9;
  constexpr uint64_t kSize = 12u << 20;
  std::string names[kHandles];
  for (int i = 0; i < kHandles; ++i) {
    names[i] = "h" + std::to_string(i);
    store_->objects[names[i]] = {Records(names[i], kSize), "v1"};
  }
  MakeVault(10, 24);
  std::shared_ptr<VaultFile> files[kHandles];
  std::unique_ptr<VaultReader> readers[kHandles];
  for (int i = 0; i < kHandles; ++i) {
    ASSERT_EQ(vault_->Open(names[i], &files[i]), 0);
    ASSERT_EQ(files[i]->OpenReader(&readers[i]), 0);
  }
  const uint64_t before = store_->bodyBytes.load();
  std::string piece(1u << 20, '\0');
  for (uint64_t at = 0; at < kSize; at += piece.size()) {
    for (int i = 0; i < kHandles; ++i) {
      size_t n = 0;
      ASSERT_EQ(readers[i]->ReadAt(at, piece.data(), piece.size(), &n), 0);
      ASSERT_TRUE(piece == Want(names[i], at, piece.size())) << i << " " << at;
    }
  }
  EXPECT_LE(store_->bodyBytes.load() - before, kHandles * (kSize + (64u << 10)));
}

// A reader streaming through an object is served by one GET that keeps a window ahead of it
// and no more: it waits for the reader, and ends when the reader jumps or its handle closes.
TEST_F(S3Fake, StreamingReaderIsServedByOneGetThatKeepsPace) {
  store_->objects["long"] = {Records("long", 96u << 20), "v1"};
  MakeVault();
  std::shared_ptr<VaultFile> f;
  ASSERT_EQ(vault_->Open("long", &f), 0);
  const int getsBefore = store_->objectGets.load();
  const uint64_t before = store_->bodyBytes.load();
  auto sent = [&] { return store_->bodyBytes.load() - before; };
  std::unique_ptr<VaultReader> r;
  ASSERT_EQ(f->OpenReader(&r), 0);
  auto readAt = [&](uint64_t at, size_t len) {
    std::string piece(len, '\0');
    size_t n = 0;
    ASSERT_EQ(r->ReadAt(at, piece.data(), len, &n), 0);
    ASSERT_TRUE(piece.substr(0, n) == Want("long", at, len)) << at;
  };
  auto stopped = [&](int gets) {
    for (int i = 0; i < 1000 && store_->stoppedGets.load() < gets; ++i) pf::SleepMs(10);
    return store_->stoppedGets.load() == gets;
  };
  // The bytes sent once they stop growing for 300 ms (at most 20 s: a slow build takes its
  // time to catch up with the window, one that never waits for its reader sends it all).
  auto settled = [&] {
    uint64_t last = sent();
    for (int still = 0, i = 0; still < 30 && i < 2000; ++i) {
      pf::SleepMs(10);
      const uint64_t now = sent();
      still = now == last ? still + 1 : 0;
      last = now;
    }
    return last;
  };
  for (uint64_t at = 0; at < (16u << 20); at += 256u << 10) {
    ASSERT_NO_FATAL_FAILURE(readAt(at, 256u << 10));
  }
  // Chunk 0 in its first piece and the rest, then one GET for all after it.
  EXPECT_EQ(store_->objectGets.load() - getsBefore, 3);
  // The reader is in chunk 3, and its window reaches at most 8 chunks past it.
  const uint64_t paused = settled();  // the GET waits for its reader
  EXPECT_LE(paused, (12u << 22) + (64u << 10));
  const int gets = store_->stoppedGets.load();
  ASSERT_NO_FATAL_FAILURE(readAt(1u << 20, 65536));  // a jump back ends it
  EXPECT_TRUE(stopped(gets + 1));
  EXPECT_LE(sent(), paused + (4u << 20));  // and brings the chunk read (it was let go)
  for (uint64_t at = 80u << 20; at < (82u << 20); at += 256u << 10) {
    ASSERT_NO_FATAL_FAILURE(readAt(at, 256u << 10));
  }
  r.reset();
  f.reset();  // the handle closes: its GET ends
  EXPECT_TRUE(stopped(gets + 2));
}

// A body cut short is resumed where it stopped.
TEST_F(S3Fake, BodyCutShortIsResumed) {
  MakeVault();
  store_->cutGets = 2;
  int before = store_->requests.load();
  EXPECT_TRUE(Read("big", 100, 3u << 20) == Want("big", 100, 3u << 20));
  EXPECT_GE(store_->requests.load() - before, 3);
  // Read on in order, so that read-ahead runs, while every GET breaks half-way: each read
  // still returns its bytes.
  store_->cutGets = 1000;
  std::shared_ptr<VaultFile> f;
  ASSERT_EQ(vault_->Open("big", &f), 0);
  std::unique_ptr<VaultReader> r;
  ASSERT_EQ(f->OpenReader(&r), 0);
  std::string got;
  for (uint64_t at = 0; at < (6u << 20); at += 65536) {
    std::string piece(65536, '\0');
    size_t n = 0;
    ASSERT_EQ(r->ReadAt(at, piece.data(), piece.size(), &n), 0) << at;
    got += piece.substr(0, n);
  }
  store_->cutGets = 0;
  EXPECT_TRUE(got == Want("big", 0, 6u << 20));
}

// "Busy" is retried, after Retry-After when the store names it, and is never an outage:
// a store that answers is never bypassed for what this process saw before.
TEST_F(S3Fake, BusyStoreIsRetriedAndNeverBypassed) {
  MakeVault();
  std::shared_ptr<VaultFile> f;
  ASSERT_EQ(vault_->Open("small", &f), 0);
  store_->retryAfter = "1";
  store_->busy = 1;
  int32_t start = pf::MonotonicMs();
  ASSERT_EQ(vault_->Open("small", &f), 0);
  EXPECT_GE(pf::MonotonicMs() - start, 950);
  store_->retryAfter = "0";
  store_->busy = 1000;
  EXPECT_EQ(vault_->Open("small", &f), EAGAIN);
}

// A store that never answers costs the first open one stall limit; then opens of what this
// process knows answer at once (and rechecks fail at once), a probe finds the store back, and
// opens ask it again. A refused certificate is configuration, not an outage.
TEST_F(S3Fake, UnansweringStoreCostsOneStallLimit) {
  MakeVault(1);
  std::shared_ptr<VaultFile> f;
  ASSERT_EQ(vault_->Open("small", &f), 0);
  store_->hang = true;
  int32_t start = pf::MonotonicMs();
  ASSERT_EQ(vault_->Open("small", &f), 0);
  EXPECT_LT(pf::MonotonicMs() - start, 3000);
  for (int i = 0; i < 20; ++i) {
    start = pf::MonotonicMs();
    ASSERT_EQ(vault_->Open("small", &f), 0);
    EXPECT_LT(pf::MonotonicMs() - start, 50);
  }
  // Rechecks fail at once too (the server's wait for the store's return).
  EXPECT_TRUE(vault_->Away());
  std::vector<std::string> versions;
  std::vector<int> results;
  start = pf::MonotonicMs();
  vault_->CurrentVersions({"small", "big", "gone"}, &versions, &results, nullptr);
  EXPECT_LT(pf::MonotonicMs() - start, 50);
  EXPECT_EQ(results[2], ENETDOWN);
  store_->hang = false;
  pf::SleepMs(1500);  // the probe in flight ends with its time-out; the next finds the store
  int before = store_->requests.load();
  ASSERT_EQ(vault_->Open("small", &f), 0);
  EXPECT_EQ(store_->requests.load() - before, 1);
  store_->tls = true;
  EXPECT_EQ(vault_->Open("small", &f), EPROTO);
  EXPECT_EQ(vault_->Open("small", &f), EPROTO);  // asked again: not taken for an outage
}

// A server started while the store was away sweeps the uploads left behind once it is back.
TEST_F(S3Fake, StaleUploadsAreSweptWhenTheStoreComesBack) {
  store_->staleUpload = true;
  store_->hang = true;
  MakeVault(1);
  store_->hang = false;
  for (int i = 0; i < 500 && store_->aborts.load() == 0; ++i) pf::SleepMs(10);
  EXPECT_EQ(store_->aborts.load(), 1);
}

// Listings follow their pages; many files are rechecked with one listing, and what changed
// or went is reported.
TEST_F(S3Fake, ListingsPageAndRecheckManyFilesAtOnce) {
  for (int i = 0; i < 30; ++i) store_->objects["f" + std::to_string(100 + i)] = {"x", "v1"};
  MakeVault();
  store_->pageKeys = 7;
  std::vector<VaultFileInfo> files;
  ASSERT_EQ(vault_->List(&files), 0);
  EXPECT_EQ(files.size(), 32u);
  store_->pageKeys = 1000;
  std::vector<std::string> guids;
  for (int i = 0; i < 20; ++i) guids.push_back("f" + std::to_string(100 + i));
  guids.push_back("gone");
  store_->objects["f105"].version = "v2";
  std::vector<std::string> versions;
  std::vector<int> results;
  int lists = store_->lists.load(), heads = store_->heads.load();
  vault_->CurrentVersions(guids, &versions, &results, nullptr);
  EXPECT_EQ(store_->lists.load() - lists, 1);
  EXPECT_EQ(store_->heads.load() - heads, 0);
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(versions[0], "v1");
  EXPECT_EQ(versions[5], "v2");
  EXPECT_EQ(results[20], ENOENT);

  // A store whose listings ignore the marker costs at most a request a file, not two.
  store_->pageKeys = 7;
  store_->ignoreMarker = true;
  lists = store_->lists.load(), heads = store_->heads.load();
  vault_->CurrentVersions(guids, &versions, &results, nullptr);
  EXPECT_LE(store_->lists.load() - lists + store_->heads.load() - heads,
            static_cast<int>(guids.size()));
  EXPECT_EQ(versions[19], "v1");
  EXPECT_EQ(results[20], ENOENT);
}

// Every part carries the checksum the store verifies; a completion that fails after its 200
// status fails the upload.
TEST_F(S3Fake, UploadsCarryChecksumsAndFailOnAnErrorAfterA200) {
  const unsigned char abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(ContentMd5(abc, 0), "1B2M2Y8AsgTpgAmY7PhCfg==");
  EXPECT_EQ(ContentMd5(abc, 3), "kAFQmDzST7DWlj99KOF/cg==");
  const std::string million(1000000, 'a');  // many blocks, fed in uneven pieces
  Md5 md5;
  for (size_t at = 0, n = 1; at < million.size(); at += n, n = n * 7 % 997 + 1) {
    md5.Update(reinterpret_cast<const unsigned char*>(million.data()) + at,
               std::min(n, million.size() - at));
  }
  unsigned char digest[16];
  md5.Final(digest);
  EXPECT_EQ(Hex(digest, 16), "7707d6ae4e027c70eea2a935c2296f21");
  // Many fed side by side give each one's own digest: any number of lanes, any length, also
  // after a first piece that left a lane inside a block.
  std::string lanes(Md5::kLanes * 4100, '\0');
  for (size_t i = 0; i < lanes.size(); ++i) lanes[i] = static_cast<char>(i * 7919 % 251);
  const auto* bytes = reinterpret_cast<const unsigned char*>(lanes.data());
  for (int n = 1; n <= Md5::kLanes; ++n) {
    for (size_t first : {size_t{0}, size_t{64}, size_t{5}}) {
      for (size_t len : {size_t{63}, size_t{64}, size_t{4000}}) {
        Md5 many[Md5::kLanes], one[Md5::kLanes];
        Md5* feed[Md5::kLanes];
        for (int i = 0; i < n; ++i) {
          feed[i] = &many[i];
          many[i].Update(bytes + i * 4100, first);
          one[i].Update(bytes + i * 4100, first + len);
        }
        Md5::UpdateMany(feed, n, bytes + first, 4100, len);
        for (int i = 0; i < n; ++i) {
          unsigned char a[16], b[16];
          many[i].Final(a);
          one[i].Final(b);
          EXPECT_EQ(Hex(a, 16), Hex(b, 16))
              << n << " lanes, lane " << i << ", " << first << "+" << len;
        }
      }
    }
  }
  MakeVault();
  std::string src = (dir_ / "src").string();
  std::ofstream(src) << Records("up", (9u << 20) + 5);
  std::string volume;
  store_->errorAfter200 = true;
  EXPECT_NE(vault_->Put("small", "s.bin", src, &volume), 0);
  store_->errorAfter200 = false;
  EXPECT_EQ(vault_->Put("small", "s.bin", src, &volume), 0);
  EXPECT_EQ(volume, "v9");
  std::ofstream(src) << "one part";
  EXPECT_EQ(vault_->Put("small", "s.bin", src, &volume), 0);
  EXPECT_EQ(store_->putsWithoutMd5.load(), 0);
}

// Fills are checked against what the store reports of the object: a plain ETag is its MD5, a
// multipart one the MD5 of its parts' MD5s, in the layout the upload recorded. Damaged bytes
// fail the read (past its first piece) or the download, which tries once more; never a copy.
TEST_F(S3Fake, FillsAreCheckedAgainstTheStoresEtag) {
  std::string& small = store_->objects["small"].content;
  unsigned char md5[16];
  Md5Of(reinterpret_cast<const unsigned char*>(small.data()), small.size(), md5);
  store_->objects["small"].etag = Hex(md5, 16);
  // An object uploaded in parts of `first` bytes doubling every 2, with the ETag and layout
  // such an upload leaves.
  auto inParts = [&](const char* guid, uint64_t size, uint64_t first) {
    const std::string bytes = Records(guid, size);
    std::string digests;
    uint64_t n = 1;
    for (uint64_t at = 0; at < bytes.size(); at += LayoutPartBytes(first, 2, n), ++n) {
      Md5Of(reinterpret_cast<const unsigned char*>(bytes.data() + at),
            std::min<uint64_t>(bytes.size() - at, LayoutPartBytes(first, 2, n)), md5);
      digests.append(reinterpret_cast<char*>(md5), 16);
    }
    Md5Of(reinterpret_cast<const unsigned char*>(digests.data()), digests.size(), md5);
    store_->objects[guid] = {bytes, "v1", Hex(md5, 16) + "-" + std::to_string(n - 1),
                             std::to_string(first) + "/2"};
  };
  // "parts": 256, 256, 512, 512 KiB and 7 bytes, in one chunk. "wide": parts of 3, 3, 6, 6
  // MiB and the rest across seven chunks, which four streams bring out of order.
  inParts("parts", (3u << 19) + 7, 1u << 18);
  inParts("wide", (24u << 20) + 7, 3u << 20);
  std::string plain = Records("plain", (1u << 20) + 7);
  Md5Of(reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), md5);
  store_->objects["plain"] = {plain, "v1", Hex(md5, 16), ""};
  MakeVault();
  store_->damageAt = 50000;
  store_->damagedGets = 1000;
  EXPECT_EQ(Read("small", 20000, 100), "<error " + std::to_string(EIO) + ">");
  store_->damagedGets = 0;
  EXPECT_TRUE(Read("small", 20000, 100) == Want("small", 20000, 100));  // the bad one not kept

  // A download is one GET while the store serves it fast (here: a rate of 0 or 1 byte a
  // second, as the sanitizers may make this store slow; at 1 the first GET asks for one piece
  // and the next for the rest); one whose GETs are slow (pauseMs) gets the other streams,
  // whose pieces come out of order (gets -1: more than two GETs).
  const uint64_t rate = S3Settings().aloneBytesPerSecond;
  struct {
    const char* guid;
    uint64_t at;
    int damaged;
    int pauseMs;
    uint64_t alone;
    int gets;
    int rc;
  } cases[] = {{"parts", 0, 0, 0, 0, 1, 0},
               {"parts", 300000, 1000, 0, 0, 0, EIO},  // in a part checked beside others
               {"parts", (3u << 19) + 5, 1000, 0, 0, 0, EIO},
               {"wide", 0, 0, 0, 0, 1, 0},
               {"wide", 0, 0, 0, 1, 2, 0},
               {"wide", 0, 0, 300, rate, -1, 0},
               {"wide", (3u << 20) + 5, 1000, 300, rate, 0, EIO},  // a part across two chunks
               {"wide", (24u << 20) + 1, 1000, 300, rate, 0, EIO},
               {"plain", 1u << 20, 1, 0, 0, 0, 0}};
  for (const auto& c : cases) {
    store_->damageAt = c.at;
    store_->damagedGets = c.damaged;
    store_->pauseMs = c.pauseMs;
    aloneBytesPerSecond_ = c.alone;
    MakeVault();
    const int gets = store_->objectGets.load();
    uint64_t copied = 0;
    EXPECT_EQ(CopyOut(c.guid, &copied), c.rc) << c.guid << c.damaged;
    if (c.gets > 0) {
      EXPECT_EQ(store_->objectGets.load() - gets, c.gets) << c.guid << c.alone;
    } else if (c.gets < 0) {
      EXPECT_GT(store_->objectGets.load() - gets, 2) << c.guid;
    }
    if (c.rc == 0) {
      EXPECT_TRUE(Copied() == store_->objects[c.guid].content) << c.guid << c.damaged;
    }
  }
  store_->damagedGets = 0;
  store_->pauseMs = 0;
}

// A download's GET going on from piece to piece does not bring again a chunk another fetch
// brought (a reader's, here): it stops before the piece that holds it, brought on its own.
TEST_F(S3Fake, DownloadLeavesToOthersWhatTheyFetched) {
  aloneBytesPerSecond_ = 0;  // one GET for the whole object, were it not for the reader
  MakeVault();
  const std::string& big = store_->objects["big"].content;
  for (uint64_t at : {uint64_t{4u << 20}, uint64_t{(8u << 20) - 100}}) {  // chunk 1, no more
    EXPECT_TRUE(Read("big", at, 100) == Want("big", at, 100));
  }
  const uint64_t sent = store_->bodyBytes.load();
  uint64_t copied = 0;
  EXPECT_EQ(CopyOut("big", &copied), 0);
  EXPECT_GE(store_->bodyBytes.load() - sent, big.size() - (4u << 20));
  EXPECT_LE(store_->bodyBytes.load() - sent, big.size() - (4u << 20) + (64u << 10));  // a piece
  EXPECT_TRUE(Copied() == big);
}

// What the store answers to an upload is checked against what was sent: a PUT's ETag, a
// part's, a completion's "-N" (one that agrees: UploadsCarryChecksums...). A mismatch fails the
// upload, and a version it made is removed.
TEST_F(S3Fake, WritesAreCheckedAgainstTheStoresEtag) {
  MakeVault();
  std::string src = (dir_ / "src").string();
  struct {
    size_t size;
    int wrong;
    int rc;
    int deletes;
  } cases[] = {
      {100, 0, 0, 0}, {100, 1, EIO, 1}, {(8u << 20) + 5, 2, EIO, 0}, {(8u << 20) + 5, 3, EIO, 1}};
  for (const auto& c : cases) {
    std::ofstream(src, std::ios::trunc) << Records("up", c.size);
    store_->wrongEtag = c.wrong;
    int deletes = store_->versionDeletes.load();
    std::string volume;
    EXPECT_EQ(vault_->Put("small", "s.bin", src, &volume), c.rc) << c.size << " " << c.wrong;
    EXPECT_EQ(store_->versionDeletes.load() - deletes, c.deletes) << c.size << " " << c.wrong;
  }
}

// With the ETag check off (a store whose ETags look like MD5s but are not) reads, downloads
// and uploads no longer compare digests; an answer of another range or version still fails.
TEST_F(S3Fake, EtagCheckOffComparesNoDigestsButStillChecksAnswers) {
  const std::string notMd5 = "00112233445566778899aabbccddeeff";
  store_->objects["small"].etag = notMd5;
  store_->objects["big"].etag = notMd5;
  MakeVault(10, 32, false);
  EXPECT_TRUE(Read("small", 20000, 100) == Want("small", 20000, 100));
  uint64_t copied = 0;
  EXPECT_EQ(CopyOut("big", &copied), 0);
  EXPECT_EQ(copied, store_->objects["big"].content.size());
  std::string src = (dir_ / "src").string();
  for (int wrong : {1, 3}) {
    std::ofstream(src, std::ios::trunc) << Records("up", wrong == 1 ? 100 : (8u << 20) + 5);
    store_->wrongEtag = wrong;
    std::string volume;
    EXPECT_EQ(vault_->Put("small", "s.bin", src, &volume), 0) << wrong;
  }
  EXPECT_EQ(store_->versionDeletes.load(), 0);
  EXPECT_EQ(store_->putsWithoutMd5.load(), 0);
  for (std::atomic<bool>* knob : {&store_->badRange, &store_->otherVersion}) {
    *knob = true;
    EXPECT_EQ(Read("big", 5u << 20, 1000), "<error " + std::to_string(EIO) + ">");
    *knob = false;
  }
}

// The network sources of credentials against a stand-in on loopback: each hands out keys,
// and keys about to expire are fetched again, also at the end of a chain of roles; a profile
// set up wrong, or a sign-in that expired, fails with words that say so.
TEST_F(S3Fake, NetworkCredentialSourcesAreFetchedAndRefreshed) {
  std::string portFile = (dir_ / "port").string();
  long pid = 0;
  ASSERT_EQ(pf::SpawnShell(("exec python3 '" KDR_CREDENTIAL_SERVICE "' '" + portFile + "'").c_str(),
                           &pid),
            0);
  for (int i = 0; i < 500 && !fs::exists(portFile); ++i) pf::SleepMs(10);
  std::string port;
  std::ifstream(portFile) >> port;
  ASSERT_FALSE(port.empty());
  const std::string base = "http://127.0.0.1:" + port;
  std::ofstream((dir_ / "jwt").string()) << "jwt\n";
  // A credential_process that counts its runs and hands out keys expiring in 200 s.
  const std::string counter = (dir_ / "runs").string();
  std::ofstream((dir_ / "config").string())
      << "[profile p]\ncredential_process = n=$(cat '" << counter << "' 2>/dev/null || echo 0); "
      << "n=$((n+1)); echo $n > '" << counter << "'; printf '{\"Version\": 1, \"AccessKeyId\": "
      << "\"AK%s\", \"SecretAccessKey\": \"SK\", \"SessionToken\": \"TK\", \"Expiration\": "
      << "\"%s\"}' $n $(date -u -d @$(($(date +%s)+200)) +%Y-%m-%dT%H:%M:%SZ)\n";
  // Roles: chain -> mid -> base (keys), and a circle; SSO by session, by start URL, expired.
  std::ofstream((dir_ / "config").string(), std::ios::app)
      << "[profile chain]\nrole_arn = arn:aws:iam::1:role/r2\nsource_profile = mid\n"
      << "[profile mid]\nrole_arn = arn:aws:iam::1:role/r1\nsource_profile = base\n"
      << "external_id = ext\nduration_seconds = 900\nrole_session_name = sess\n"
      << "[profile c1]\nrole_arn = arn:aws:iam::1:role/r1\nsource_profile = c2\n"
      << "[profile c2]\nrole_arn = arn:aws:iam::1:role/r1\nsource_profile = c1\n"
      << "[profile sso]\nsso_session = corp\nsso_account_id = 111\nsso_role_name = Admin\n"
      << "[profile legacy]\nsso_start_url = https://x.awsapps.com/start\nsso_region = eu-west-1\n"
      << "sso_account_id = 111\nsso_role_name = Admin\n"
      << "[profile expired]\nsso_session = old\nsso_account_id = 111\nsso_role_name = Admin\n"
      << "[sso-session corp]\nsso_start_url = https://x.awsapps.com/start\nsso_region = eu-west-1\n"
      << "[sso-session old]\nsso_start_url = https://y.awsapps.com/start\nsso_region = eu-west-1\n";
  std::ofstream((dir_ / "credentials").string())
      << "[base]\naws_access_key_id = BASE\naws_secret_access_key = BASESECRET\n";
  // The token caches "aws sso login" leaves, named by the SHA-1 of the session or start URL.
  fs::create_directories(dir_ / ".aws/sso/cache");
  const std::string token =
      "{\"accessToken\": \"ssotok\", \"expiresAt\": \"2999-01-01T00:00:00Z\"}";
  std::ofstream((dir_ / ".aws/sso/cache/ee0bfd2552fbd840c02cc48b6e823320543c450f.json").string())
      << token;  // "corp"
  std::ofstream((dir_ / ".aws/sso/cache/3947de8b16688092197fa616c34e01335f21d256.json").string())
      << token;  // "https://x.awsapps.com/start"
  std::ofstream((dir_ / ".aws/sso/cache/c00dbbc9dadfbe1e232e93a729dd4752fade0abf.json").string())
      << "{\"accessToken\": \"ssotok\", \"expiresAt\": \"2020-01-01T00:00:00Z\"}";  // "old"
  const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  setenv("HOME", dir_.c_str(), 1);
  const char* kVars[] = {"AWS_ACCESS_KEY_ID",
                         "AWS_SECRET_ACCESS_KEY",
                         "AWS_PROFILE",
                         "AWS_CONTAINER_CREDENTIALS_FULL_URI",
                         "AWS_CONTAINER_AUTHORIZATION_TOKEN",
                         "AWS_WEB_IDENTITY_TOKEN_FILE",
                         "AWS_ROLE_ARN",
                         "AWS_ENDPOINT_URL_STS",
                         "AWS_EC2_METADATA_SERVICE_ENDPOINT",
                         "AWS_EC2_METADATA_DISABLED",
                         "AWS_SHARED_CREDENTIALS_FILE",
                         "AWS_CONFIG_FILE",
                         "AWS_ENDPOINT_URL_SSO"};
  const std::string config = (dir_ / "config").string();
  const std::string credentials = (dir_ / "credentials").string();
  struct Case {
    std::string name;
    std::vector<std::pair<const char*, std::string>> vars;
    std::string fails;  // empty: keys come; else what the error says
  };
  std::vector<Case> cases = {
      {"container",
       {{"AWS_CONTAINER_CREDENTIALS_FULL_URI", base + "/creds"},
        {"AWS_CONTAINER_AUTHORIZATION_TOKEN", "tok"}}},
      {"web identity",
       {{"AWS_WEB_IDENTITY_TOKEN_FILE", (dir_ / "jwt").string()},
        {"AWS_ROLE_ARN", "arn:aws:iam::1:role/r"},
        {"AWS_ENDPOINT_URL_STS", base}}},
      {"instance",
       {{"AWS_EC2_METADATA_SERVICE_ENDPOINT", base + "/"}, {"AWS_EC2_METADATA_DISABLED", "no"}}},
      {"process", {{"AWS_PROFILE", "p"}, {"AWS_CONFIG_FILE", config}}},
      {"role chain",
       {{"AWS_PROFILE", "chain"},
        {"AWS_CONFIG_FILE", config},
        {"AWS_SHARED_CREDENTIALS_FILE", credentials},
        {"AWS_ENDPOINT_URL_STS", base}}},
      {"role circle",
       {{"AWS_PROFILE", "c1"}, {"AWS_CONFIG_FILE", config}, {"AWS_ENDPOINT_URL_STS", base}},
       "c1 -> c2 -> c1 goes round in a circle"},
      {"sso session",
       {{"AWS_PROFILE", "sso"}, {"AWS_CONFIG_FILE", config}, {"AWS_ENDPOINT_URL_SSO", base}}},
      {"sso start url",
       {{"AWS_PROFILE", "legacy"}, {"AWS_CONFIG_FILE", config}, {"AWS_ENDPOINT_URL_SSO", base}}},
      {"sso expired",
       {{"AWS_PROFILE", "expired"}, {"AWS_CONFIG_FILE", config}, {"AWS_ENDPOINT_URL_SSO", base}},
       "has expired: run \"aws sso login\""},
  };
  for (const auto& [name, vars, fails] : cases) {
    for (const char* v : kVars) unsetenv(v);
    setenv("AWS_SHARED_CREDENTIALS_FILE", (dir_ / "none").c_str(), 1);
    setenv("AWS_CONFIG_FILE", (dir_ / "none").c_str(), 1);
    setenv("AWS_EC2_METADATA_DISABLED", "true", 1);  // nothing beyond loopback
    for (const auto& [k, v] : vars) setenv(k, v.c_str(), 1);
    std::shared_ptr<CredentialSource> source;
    std::string error;
    Keys a, b;
    int rc = NewDefaultCredentials(&source, &error);
    if (rc == 0) rc = source->Get(&a, &error);
    if (!fails.empty()) {
      EXPECT_NE(rc, 0) << name;
      EXPECT_NE(error.find(fails), std::string::npos) << name << ": " << error;
      continue;
    }
    ASSERT_EQ(rc, 0) << name << ": " << error;
    ASSERT_EQ(source->Get(&b, &error), 0) << name << ": " << error;
    EXPECT_EQ(a.accessKey.rfind("AK", 0), 0u) << name;
    EXPECT_NE(a.accessKey, b.accessKey) << name << ": not refreshed";
    EXPECT_EQ(b.secretKey, "SK");
    EXPECT_EQ(b.sessionToken, "TK");
  }
  for (const char* v : kVars) unsetenv(v);
  setenv("HOME", home.c_str(), 1);
  pf::KillProcessGroup(pid);
  long status = 0;
  int err = 0;
  for (int i = 0; i < 200 && pf::QueryProcess(pid, &status, &err) == pf::ProcessState::kRunning;
       ++i) {
    pf::SleepMs(10);
  }
}

}  // namespace
}  // namespace kdr::server::s3
