#include "server/s3/text.h"

#include <algorithm>
#include <cctype>

namespace kdr::server::s3 {

namespace {

bool Unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

std::string Encode(std::string_view s, bool keepSlash) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (Unreserved(c) || (keepSlash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string Decode(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string XmlUnescape(std::string_view s) {
  static const std::pair<std::string_view, char> kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (size_t i = 0; i < s.size();) {
    bool hit = false;
    if (s[i] == '&') {
      for (const auto& [name, c] : kEntities) {
        if (s.substr(i, name.size()) == name) {
          out += c;
          i += name.size();
          hit = true;
          break;
        }
      }
    }
    if (!hit) out += s[i++];
  }
  return out;
}

bool XmlNext(std::string_view xml, std::string_view tag, size_t* from, std::string_view* text) {
  std::string open = "<" + std::string(tag) + ">", close = "</" + std::string(tag) + ">";
  if (*from > xml.size()) return false;
  size_t a = xml.find(open, *from);
  if (a == std::string_view::npos) return false;
  a += open.size();
  size_t b = xml.find(close, a);
  if (b == std::string_view::npos) return false;
  *text = xml.substr(a, b - a);
  *from = b + close.size();
  return true;
}

std::string XmlField(std::string_view xml, std::string_view tag) {
  size_t from = 0;
  std::string_view text;
  return XmlNext(xml, tag, &from, &text) ? XmlUnescape(text) : std::string();
}

std::string Query(std::vector<std::pair<std::string, std::string>> params) {
  std::sort(params.begin(), params.end());
  std::string q;
  for (const auto& [k, v] : params) {
    if (!q.empty()) q += '&';
    q += Encode(k, false) + "=" + Encode(v, false);
  }
  return q;
}

bool ParseUnsigned(std::string_view text, uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

bool ParseStatusLine(std::string_view line, long* status) {
  line = Trim(line);
  if (line.substr(0, 5) != "HTTP/") return false;
  size_t sp = line.find(' ');
  if (sp == std::string_view::npos) return false;
  std::string_view code = line.substr(sp + 1, 3);
  uint64_t v = 0;
  if (code.size() != 3 || !ParseUnsigned(code, &v) || v < 100) return false;
  *status = static_cast<long>(v);
  return true;
}

bool ParseHeaderLine(std::string_view line, std::string* name, std::string* value) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  std::string_view n = Trim(line.substr(0, colon));
  if (n.empty()) return false;
  name->assign(n);
  for (char& c : *name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  value->assign(Trim(line.substr(colon + 1)));
  return true;
}

bool ParseContentRange(std::string_view value, ContentRange* range) {
  value = Trim(value);
  if (value.substr(0, 6) != "bytes ") return false;
  value.remove_prefix(6);
  size_t dash = value.find('-');
  size_t slash = value.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
    return false;
  ContentRange r;
  if (!ParseUnsigned(value.substr(0, dash), &r.first) ||
      !ParseUnsigned(value.substr(dash + 1, slash - dash - 1), &r.last) || r.last < r.first) {
    return false;
  }
  std::string_view total = value.substr(slash + 1);
  if (total == "*") {
    r.totalKnown = false;
  } else {
    if (!ParseUnsigned(total, &r.total) || r.last >= r.total) return false;
    r.totalKnown = true;
  }
  *range = r;
  return true;
}

bool ParseRetryAfter(std::string_view value, uint32_t* ms) {
  uint64_t seconds = 0;
  if (!ParseUnsigned(Trim(value), &seconds)) return false;
  *ms = static_cast<uint32_t>(std::min<uint64_t>(seconds, 3600) * 1000);
  return true;
}

bool ParseVersionPage(std::string_view xml, VersionPage* page) {
  *page = VersionPage();
  if (xml.find("<ListVersionsResult") == std::string_view::npos) return false;
  static const std::string_view kVersion = "<Version>", kMarker = "<DeleteMarker>";
  size_t at = 0;
  for (;;) {
    size_t v = xml.find(kVersion, at), d = xml.find(kMarker, at);
    if (v == std::string_view::npos && d == std::string_view::npos) break;
    bool marker = d < v;
    size_t from = marker ? d : v;
    std::string_view entry;
    if (!XmlNext(xml, marker ? "DeleteMarker" : "Version", &from, &entry)) break;
    at = from;
    VersionEntry e;
    e.key = XmlField(entry, "Key");
    e.versionId = XmlField(entry, "VersionId");
    e.latest = XmlField(entry, "IsLatest") == "true";
    e.deleteMarker = marker;
    page->entries.push_back(std::move(e));
  }
  page->truncated = XmlField(xml, "IsTruncated") == "true";
  page->nextKeyMarker = XmlField(xml, "NextKeyMarker");
  page->nextVersionIdMarker = XmlField(xml, "NextVersionIdMarker");
  return true;
}

bool ParseUploadPage(std::string_view xml, UploadPage* page) {
  *page = UploadPage();
  if (xml.find("<ListMultipartUploadsResult") == std::string_view::npos) return false;
  size_t from = 0;
  std::string_view entry;
  while (XmlNext(xml, "Upload", &from, &entry)) {
    UploadEntry u;
    u.key = XmlField(entry, "Key");
    u.uploadId = XmlField(entry, "UploadId");
    u.initiated = XmlField(entry, "Initiated");
    page->uploads.push_back(std::move(u));
  }
  page->truncated = XmlField(xml, "IsTruncated") == "true";
  page->nextKeyMarker = XmlField(xml, "NextKeyMarker");
  page->nextUploadIdMarker = XmlField(xml, "NextUploadIdMarker");
  return true;
}

bool ParseIsoTime(std::string_view text, int64_t* seconds) {
  // YYYY-MM-DDTHH:MM:SS
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':') {
    return false;
  }
  uint64_t y, mo, d, h, mi, s;
  if (!ParseUnsigned(text.substr(0, 4), &y) || !ParseUnsigned(text.substr(5, 2), &mo) ||
      !ParseUnsigned(text.substr(8, 2), &d) || !ParseUnsigned(text.substr(11, 2), &h) ||
      !ParseUnsigned(text.substr(14, 2), &mi) || !ParseUnsigned(text.substr(17, 2), &s)) {
    return false;
  }
  if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return false;
  // Days from the civil date (proleptic Gregorian).
  int64_t yy = static_cast<int64_t>(y) - (mo <= 2 ? 1 : 0);
  int64_t era = yy / 400;
  int64_t yoe = yy - era * 400;
  int64_t m = static_cast<int64_t>(mo);
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<int64_t>(d) - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  int64_t days = era * 146097 + doe - 719468;
  *seconds = days * 86400 + static_cast<int64_t>(h * 3600 + mi * 60 + s);
  return true;
}

}  // namespace kdr::server::s3
