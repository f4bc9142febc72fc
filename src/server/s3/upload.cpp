#include "server/s3/upload.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <vector>

#include "platform/mutex.h"
#include "server/log.h"
#include "server/s3/checksum.h"
#include "server/s3/text.h"

namespace kdr::server::s3 {

namespace {

constexpr int kPartsInFlight = 4;  // parts of one upload on their way at once, at most
// and at most this many bytes of them, so that a huge object's large parts go one at a time:
// an upload holds at most two parts in memory once they are this large (the one being sent
// and the one being filled).
constexpr uint64_t kBytesInFlight = 64u << 20;

class S3Upload : public VaultUpload {
 public:
  S3Upload(Client* client, Workers* parts, std::string key, std::string name, const char* made)
      : client_(client), parts_(parts), key_(std::move(key)), name_(std::move(name)), made_(made) {}
  ~S3Upload() override {
    WaitParts(0);
    if (!uploadId_.empty() && !committed_) {
      Response r = Delete("uploadId", uploadId_);
      if (ErrnoOf(r) != 0 && r.status != 404) {
        Log(LogLevel::kWarn,
            "S3: the unfinished upload %s of %s could not be aborted (%s): its parts stay in the "
            "bucket until the next start sweeps them or the bucket's lifecycle rule removes them",
            uploadId_.c_str(), key_.c_str(), Describe(r).c_str());
      }
    }
  }

  int Write(const void* buf, size_t len) override {
    if (err_ != 0) return err_;
    const auto* p = static_cast<const unsigned char*>(buf);
    while (len > 0) {
      uint64_t part = PartBytes(partsBegun_ + 1);
      size_t take = static_cast<size_t>(std::min<uint64_t>(len, part - buf_.size()));
      buf_.insert(buf_.end(), p, p + take);
      p += take;
      len -= take;
      if (buf_.size() == part) {
        int rc = SendPart();
        if (rc != 0) return err_ = rc;
      }
    }
    return 0;
  }

  int Commit(std::string* volumeId) override {
    if (err_ != 0) return err_;
    Response r;
    unsigned char sent[16];  // the MD5 of what was sent: of the body, or of the parts' MD5s
    std::string expect;      // the ETag the store must answer (when it gives a digest)
    if (uploadId_.empty()) {
      Md5Of(buf_.data(), buf_.size(), sent);
      Request req;
      req.method = "PUT";
      req.key = key_;
      req.headers = Headers();
      req.headers.push_back("Content-MD5: " + Base64(sent, sizeof sent));
      req.body = buf_.data();
      req.bodyLen = buf_.size();
      req.retry = Request::Retry::kIfNotDone;  // a second version only where the first failed
      req.streaming = true;
      r = client_->Do(req);
      expect = Hex(sent, sizeof sent);
    } else {
      if (!buf_.empty()) {
        int rc = SendPart();
        if (rc != 0) return rc;
      }
      WaitParts(0);
      if (err_ != 0) return err_;
      std::string xml = "<CompleteMultipartUpload>";
      {
        kdr::MutexLock hold(&mu_);
        Md5 ofParts;
        for (const auto& digest : partMd5_) ofParts.Update(digest.data(), digest.size());
        ofParts.Final(sent);
        expect = Hex(sent, sizeof sent) + "-" + std::to_string(partMd5_.size());
        for (size_t i = 0; i < etags_.size(); ++i) {
          xml += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>" + etags_[i] +
                 "</ETag></Part>";
        }
      }
      xml += "</CompleteMultipartUpload>";
      Request req;
      req.method = "POST";
      req.key = key_;
      req.query = Query({{"uploadId", uploadId_}});
      req.headers = {"Content-Type: application/xml"};
      req.body = reinterpret_cast<const unsigned char*>(xml.data());
      req.bodyLen = xml.size();
      req.retry = Request::Retry::kIfNotDone;
      req.streaming = true;  // the store may take its time joining the parts
      r = client_->Do(req);
      // A completion can fail after its 200 status line: the error is in the body.
      if (r.status == 200 && r.body.find("<Error>") != std::string::npos) {
        Log(LogLevel::kWarn, "S3: completing the upload of %s failed after its status: %s",
            key_.c_str(), XmlField(r.body, "Code").c_str());
        r.status = 500;
      }
    }
    int rc = ErrnoOf(r);
    if (rc != 0) return err_ = rc;
    std::string version = r.Header("x-amz-version-id");
    if (version.empty() || version == "null") {
      Log(LogLevel::kError, "S3: bucket keeps no versions; upload of %s not usable", key_.c_str());
      return err_ = EOPNOTSUPP;
    }
    // A completion names its ETag in its body (an answer's header, where there is one, counts).
    std::string etag(EtagValue(r.Header("etag")));
    if (etag.empty() && !uploadId_.empty()) etag = EtagValue(XmlField(r.body, "ETag"));
    if (!Agrees(r, etag, expect)) {
      Log(LogLevel::kError,
          "S3: the store's ETag %s of the upload of %s is not %s, the digest of what was sent: "
          "the upload failed and its version %s is removed",
          etag.c_str(), key_.c_str(), expect.c_str(), version.c_str());
      DeleteVersion(version);
      return err_ = EIO;
    }
    committed_ = true;
    *volumeId = version;
    return 0;
  }

 private:
  std::vector<std::string> Headers() const {
    return {"Content-Type: application/octet-stream",
            std::string(kMetaName) + ": " + Encode(name_, false),
            std::string(kMetaMade) + ": " + made_};
  }

  // Whether `etag`, which the store answered in `r`, agrees with `expect`: a digest-shaped
  // ETag ("HEX" for a PUT, "HEX-N" for a completion) must be it; another store's kind of
  // ETag, one under KMS or a customer's key, or any with the check turned off, says nothing.
  bool Agrees(const Response& r, std::string etag, const std::string& expect) const {
    if (!client_->settings().checkEtags || !r.EtagMayBeDigest()) return true;
    for (char& c : etag) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    bool hex = etag.size() >= 32 && etag.find_first_not_of("0123456789abcdef") >= 32;
    bool shaped = expect.size() == 32 ? etag.size() == 32 : etag.size() > 33 && etag[32] == '-';
    return !hex || !shaped || etag == expect;
  }

  // A DELETE of the key naming the upload or the version to remove.
  Response Delete(const char* what, const std::string& id) {
    Request req;
    req.method = "DELETE";
    req.key = key_;
    req.query = Query({{what, id}});
    return client_->Do(req);
  }

  void DeleteVersion(const std::string& version) {
    Response r = Delete("versionId", version);
    if (ErrnoOf(r) != 0 && r.status != 404) {
      Log(LogLevel::kError, "S3: the failed version %s of %s could not be removed (%s)",
          version.c_str(), key_.c_str(), Describe(r).c_str());
    }
  }

  int SendPart() {
    if (uploadId_.empty()) {
      Request req;
      req.method = "POST";
      req.key = key_;
      req.query = Query({{"uploads", ""}});
      req.headers = Headers();
      req.headers.push_back(std::string(kMetaParts) + ": " + std::to_string(kFirstPartBytes) + "/" +
                            std::to_string(kPartsPerDoubling));
      req.retry = Request::Retry::kIfNotDone;
      Response r = client_->Do(req);
      int rc = ErrnoOf(r);
      if (rc != 0) return rc;
      uploadId_ = XmlField(r.body, "UploadId");
      if (uploadId_.empty()) return EIO;
    }
    if (partsBegun_ >= 10000) return EFBIG;
    const uint64_t part = PartBytes(partsBegun_ + 1);
    const int most =
        static_cast<int>(std::clamp<uint64_t>(kBytesInFlight / part, 1, kPartsInFlight));
    WaitParts(most - 1);
    if (err_ != 0) return err_;
    const int number = ++partsBegun_;
    {
      kdr::MutexLock hold(&mu_);
      etags_.emplace_back();
      partMd5_.emplace_back();
      ++inFlight_;
    }
    auto data = std::make_shared<std::vector<unsigned char>>(std::move(buf_));
    buf_ = std::vector<unsigned char>();
    parts_->Post([this, number, data] {
      Request req;
      req.method = "PUT";
      req.key = key_;
      req.query = Query({{"partNumber", std::to_string(number)}, {"uploadId", uploadId_}});
      std::array<unsigned char, 16> md5;
      Md5Of(data->data(), data->size(), md5.data());
      req.headers = {"Content-MD5: " + Base64(md5.data(), md5.size())};
      req.body = data->data();
      req.bodyLen = data->size();
      req.streaming = true;  // a part may be sent again: it replaces itself
      Response r = client_->Do(req);
      int rc = ErrnoOf(r);
      std::string etag = r.Header("etag");
      if (rc == 0 && etag.empty()) rc = EIO;
      const std::string expect = Hex(md5.data(), md5.size());
      if (rc == 0 && !Agrees(r, std::string(EtagValue(etag)), expect)) {
        Log(LogLevel::kError,
            "S3: the store's ETag %s of part %d of the upload of %s is not %s, the MD5 of what "
            "was sent: the upload fails",
            etag.c_str(), number, key_.c_str(), expect.c_str());
        rc = EIO;
      }
      kdr::MutexLock hold(&mu_);
      etags_[static_cast<size_t>(number - 1)] = etag;
      partMd5_[static_cast<size_t>(number - 1)] = md5;
      if (rc != 0 && partErr_ == 0) partErr_ = rc;
      --inFlight_;
      cv_.SignalAll();
    });
    return 0;
  }

  // Waits until at most `most` parts are on their way; takes over a part's failure.
  void WaitParts(int most) EXCLUDES(mu_) {
    kdr::MutexLock hold(&mu_);
    while (inFlight_ > most) cv_.Wait(&mu_);
    if (partErr_ != 0 && err_ == 0) err_ = partErr_;
  }

  Client* client_;
  Workers* parts_;
  std::string key_;
  std::string name_;
  const char* made_;
  std::vector<unsigned char> buf_;
  std::string uploadId_;
  int partsBegun_ = 0;
  kdr::Mutex mu_;
  kdr::CondVar cv_;  // signalled when a part ends
  // By part number - 1, filled by the workers: each part's ETag and the MD5 of what it sent.
  std::vector<std::string> etags_ GUARDED_BY(mu_);
  std::vector<std::array<unsigned char, 16>> partMd5_ GUARDED_BY(mu_);
  int inFlight_ GUARDED_BY(mu_) = 0;
  int partErr_ GUARDED_BY(mu_) = 0;
  // The caller's own, like buf_ and uploadId_: an upload is used by one thread at a time.
  int err_ = 0;
  bool committed_ = false;
};

}  // namespace

uint64_t PartBytes(int number) {
  return LayoutPartBytes(kFirstPartBytes, kPartsPerDoubling, static_cast<uint64_t>(number));
}

std::unique_ptr<VaultUpload> NewS3Upload(Client* client, Workers* parts, std::string key,
                                         std::string name, const char* made) {
  return std::make_unique<S3Upload>(client, parts, std::move(key), std::move(name), made);
}

int SweepStaleUploads(Client* client, int64_t olderThanSeconds, const std::atomic<bool>* cancel,
                      int* swept) {
  const std::string prefix =
      client->settings().prefix.empty() ? "" : client->settings().prefix + "/";
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  *swept = 0;
  int rc = 0;
  std::string keyMarker, idMarker;
  for (int pages = 0; pages < 1000; ++pages) {
    if (cancel->load()) {
      rc = ECANCELED;
      break;
    }
    std::vector<std::pair<std::string, std::string>> params = {{"prefix", prefix}, {"uploads", ""}};
    if (!keyMarker.empty()) {
      params.push_back({"key-marker", keyMarker});
      params.push_back({"upload-id-marker", idMarker});
    }
    Request req;
    req.query = Query(params);
    req.cancel = cancel;
    Response r = client->Do(req);
    UploadPage page;
    rc = ErrnoOf(r);
    if (rc == 0 && !ParseUploadPage(r.body, &page)) rc = EIO;
    if (rc != 0) break;
    for (const UploadEntry& u : page.uploads) {
      int64_t began = 0;
      if (u.key.compare(0, prefix.size(), prefix) != 0 || !ParseIsoTime(u.initiated, &began) ||
          now - began < olderThanSeconds) {
        continue;
      }
      Request abort;
      abort.method = "DELETE";
      abort.key = u.key;
      abort.query = Query({{"uploadId", u.uploadId}});
      abort.cancel = cancel;
      if (ErrnoOf(client->Do(abort)) == 0) ++*swept;
    }
    if (!page.truncated || page.nextKeyMarker.empty()) break;
    keyMarker = page.nextKeyMarker;
    idMarker = page.nextUploadIdMarker;
  }
  if (*swept > 0)
    Log(LogLevel::kInfo, "S3: aborted %d unfinished upload(s) older than a day", *swept);
  return rc;
}

}  // namespace kdr::server::s3
