// What an object store (or anything between) may answer the S3 vault: the listings, the
// header values it checks, and whole answers to a ranged GET as a transport hands them over.
// The first byte picks the parser; for an answer, the next ones pick the range asked for.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "server/s3/checksum.h"
#include "server/s3/http.h"
#include "server/s3/text.h"

namespace {

using namespace kdr::server::s3;

// Replays the input as an answer: lines up to an empty one, then body pieces of varying size.
class Replay : public Transport {
 public:
  explicit Replay(std::string_view input) : input_(input) {}
  Net Exchange(const Request&, const std::string&, const Keys&, ResponseSink* sink,
               std::string*) override {
    std::string_view in = input_;
    while (!in.empty()) {
      size_t nl = in.find('\n');
      std::string_view line = in.substr(0, nl);
      in = nl == std::string_view::npos ? std::string_view() : in.substr(nl + 1);
      if (line.empty()) break;
      sink->Line(line);
    }
    size_t piece = 1;
    while (!in.empty()) {
      size_t n = std::min(piece, in.size());
      if (!sink->Data(reinterpret_cast<const unsigned char*>(in.data()), n)) return Net::kCancelled;
      in.remove_prefix(n);
      piece = piece * 3 + 1;
    }
    return Net::kOk;
  }

 private:
  std::string_view input_;
};

void Answer(const uint8_t* data, size_t size) {
  if (size < 3) return;
  Request req;
  req.ranged = data[0] & 1;
  req.first = data[1] % 64;
  req.last = req.first + data[2] % 64;
  req.objectSize = (data[0] & 2) ? kUnknownSize : 100;
  if (data[0] & 4) req.expectVersion = "v1";
  uint64_t next = req.ranged ? req.first : 0;
  uint64_t taken = 0;
  req.consume = [&](uint64_t offset, const unsigned char* p, size_t n) {
    // In order, inside what was asked, never empty.
    KDR_FUZZ_CHECK(n > 0);
    KDR_FUZZ_CHECK(offset == next);
    if (req.ranged) KDR_FUZZ_CHECK(offset + n <= req.last + 1);
    if (req.objectSize != kUnknownSize) KDR_FUZZ_CHECK(offset + n <= req.objectSize);
    kdr::fuzz::Touch(p, n);
    next += n;
    taken += n;
    return true;
  };
  S3Settings s;
  s.endpoint = "http://fuzz";
  s.bucket = "bkt";
  s.transport =
      std::make_shared<Replay>(std::string_view(reinterpret_cast<const char*>(data + 3), size - 3));
  Http http(s, nullptr);
  Response r = http.Once(req);
  KDR_FUZZ_CHECK(r.delivered == taken);
  KDR_FUZZ_CHECK(r.body.size() <= kMaxBodyText);
  // Data counts only when the answer was whole and what was asked for.
  if (ErrnoOf(r) == 0 && taken > 0) {
    KDR_FUZZ_CHECK(r.status == 200 || r.status == 206);
    KDR_FUZZ_CHECK(r.complete);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 6) {
    case 0: {
      VersionPage page;
      if (ParseVersionPage(text, &page)) {
        for (const VersionEntry& e : page.entries) KDR_FUZZ_CHECK(e.key.size() <= text.size());
      }
      break;
    }
    case 1: {
      UploadPage page;
      if (ParseUploadPage(text, &page)) KDR_FUZZ_CHECK(page.uploads.size() <= text.size());
      break;
    }
    case 2: {
      ContentRange cr;
      if (ParseContentRange(text, &cr)) {
        KDR_FUZZ_CHECK(cr.first <= cr.last);
        if (cr.totalKnown) KDR_FUZZ_CHECK(cr.last < cr.total);
      }
      uint32_t ms = 0;
      if (ParseRetryAfter(text, &ms)) KDR_FUZZ_CHECK(ms <= 3600u * 1000);
      int64_t seconds = 0;
      ParseIsoTime(text, &seconds);
      break;
    }
    case 3: {
      long status = 0;
      if (ParseStatusLine(text, &status)) KDR_FUZZ_CHECK(status >= 100 && status <= 999);
      std::string name, value;
      if (ParseHeaderLine(text, &name, &value)) KDR_FUZZ_CHECK(!name.empty());
      KDR_FUZZ_CHECK(Decode(text).size() <= text.size());
      KDR_FUZZ_CHECK(XmlUnescape(text).size() <= text.size());
      break;
    }
    case 4: {
      // An ETag and a part layout as an object's headers give them, split at the first '|'.
      size_t bar = text.find('|');
      std::string_view etag = text.substr(0, bar);
      std::string_view layout = bar == std::string_view::npos ? "" : text.substr(bar + 1);
      ObjectDigest d = DigestOf(etag, layout, (data[0] & 8) == 0);
      if (d.kind == ObjectDigest::kParts) {
        KDR_FUZZ_CHECK(d.parts >= 1 && d.first > 0);
        for (uint64_t i = 1; i <= d.parts && i <= 4; ++i) {
          uint64_t bytes = LayoutPartBytes(d.first, d.every, i);
          KDR_FUZZ_CHECK(bytes > 0 && bytes <= (5ull << 30));
        }
      }
      // Any bytes against any digest: a check with nothing to check against passes.
      ObjectCheck check(d);
      check.Update(data, size);
      const bool matches = check.Matches();
      if (!check.Active()) KDR_FUZZ_CHECK(matches);
      break;
    }
    default:
      Answer(data + 1, size - 1);
      break;
  }
  return 0;
}
