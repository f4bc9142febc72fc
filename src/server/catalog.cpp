#include "server/catalog.h"

#include <vector>

#include "platform/fs.h"
#include "server/log.h"

namespace kdr::server {

namespace {

constexpr uint64_t kMaxCatalogBytes = 4u << 20;
constexpr size_t kMaxRememberedLocales = 64;

// Parses one C string literal starting at s[i] == '"'. Appends its value to *out. False when
// the literal is not closed on this line.
bool ParseQuoted(std::string_view s, size_t i, std::string* out) {
  if (i >= s.size() || s[i] != '"') return false;
  for (++i; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      // Only blanks may follow.
      for (++i; i < s.size(); ++i) {
        if (s[i] != ' ' && s[i] != '\t' && s[i] != '\r') return false;
      }
      return true;
    }
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (++i >= s.size()) return false;
    switch (s[i]) {
      case 'n': out->push_back('\n'); break;
      case 't': out->push_back('\t'); break;
      case 'r': out->push_back('\r'); break;
      case 'a': out->push_back('\a'); break;
      case 'b': out->push_back('\b'); break;
      case 'f': out->push_back('\f'); break;
      case 'v': out->push_back('\v'); break;
      case '"': out->push_back('"'); break;
      case '\\': out->push_back('\\'); break;
      default:
        if (s[i] >= '0' && s[i] <= '7') {
          int v = 0;
          for (int k = 0; k < 3 && i < s.size() && s[i] >= '0' && s[i] <= '7'; ++k, ++i) {
            v = v * 8 + (s[i] - '0');
          }
          --i;
          out->push_back(static_cast<char>(v & 0xFF));
        } else {
          return false;
        }
    }
  }
  return false;
}

size_t SkipBlanks(std::string_view s, size_t i) {
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  return i;
}

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

}  // namespace

std::unique_ptr<Catalog> Catalog::Parse(std::string_view text, int* skipped) {
  std::unique_ptr<Catalog> cat(new Catalog);
  int bad = 0;
  // The entry being read.
  std::string msgid, msgstr;
  bool fuzzy = false, context = false, plural = false;
  enum { kNone, kId, kStr, kOther } field = kNone;
  bool have_id = false, have_str = false;

  auto finish = [&] {
    if (have_id && have_str && !fuzzy && !context && !plural && !msgid.empty() &&
        !msgstr.empty()) {
      cat->entries_[msgid] = msgstr;
    }
    msgid.clear();
    msgstr.clear();
    fuzzy = context = plural = have_id = have_str = false;
    field = kNone;
  };

  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) nl = text.size();
    std::string_view line = text.substr(pos, nl - pos);
    pos = nl + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t i = SkipBlanks(line, 0);
    std::string_view rest = line.substr(i);

    if (rest.empty()) {
      // A blank line ends an entry.
      if (field != kNone) finish();
    } else if (rest[0] == '#') {
      // Comments come before an entry; one after a msgstr starts the next entry.
      if (field == kStr || field == kOther) finish();
      if (StartsWith(rest, "#,") && rest.find("fuzzy") != std::string_view::npos) fuzzy = true;
    } else if (rest[0] == '"') {
      std::string piece;
      if (!ParseQuoted(rest, 0, &piece)) {
        ++bad;
      } else if (field == kId) {
        msgid += piece;
      } else if (field == kStr) {
        msgstr += piece;
      } else if (field != kOther) {
        ++bad;
      }
    } else if (StartsWith(rest, "msgctxt")) {
      if (field == kStr || field == kOther) finish();
      context = true;
      field = kOther;
    } else if (StartsWith(rest, "msgid_plural")) {
      plural = true;
      field = kOther;
    } else if (StartsWith(rest, "msgid")) {
      if (field == kStr || (field == kOther && !context)) finish();
      std::string piece;
      if (!ParseQuoted(rest, SkipBlanks(rest, 5), &piece)) {
        ++bad;
        field = kOther;
        plural = true;  // poison the entry
      } else {
        msgid = piece;
        have_id = true;
        field = kId;
      }
    } else if (StartsWith(rest, "msgstr[")) {
      plural = true;
      field = kOther;
    } else if (StartsWith(rest, "msgstr")) {
      std::string piece;
      if (!have_id || !ParseQuoted(rest, SkipBlanks(rest, 6), &piece)) {
        ++bad;
        field = kOther;
        plural = true;
      } else {
        msgstr = piece;
        have_str = true;
        field = kStr;
      }
    } else {
      ++bad;
    }
    if (nl == text.size()) break;
  }
  finish();
  if (skipped != nullptr) *skipped = bad;
  return cat;
}

const std::string* Catalog::Find(const std::string& text) const {
  auto it = entries_.find(text);
  return it == entries_.end() ? nullptr : &it->second;
}

bool Catalogs::IsLocaleName(std::string_view locale) {
  if (locale.empty() || locale.size() > 64) return false;
  if (locale[0] == '.') return false;
  for (char c : locale) {
    bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              c == '_' || c == '.' || c == '-' || c == '@';
    if (!ok) return false;
  }
  return true;
}

const Catalog* Catalogs::ForLocale(const std::string& locale) {
  if (!IsLocaleName(locale)) return nullptr;
  std::vector<std::string> names{locale};
  std::string n = locale;
  size_t at = n.find('@');
  if (at != std::string::npos) names.push_back(n = n.substr(0, at));
  size_t dot = n.find('.');
  if (dot != std::string::npos) names.push_back(n = n.substr(0, dot));
  size_t us = n.find('_');
  if (us != std::string::npos) names.push_back(n.substr(0, us));
  MutexLock guard(&mu_);
  for (const std::string& name : names) {
    const Catalog* c = Load(name);
    if (c != nullptr) return c;
  }
  return nullptr;
}

const Catalog* Catalogs::Load(const std::string& name) {
  auto it = loaded_.find(name);
  if (it != loaded_.end()) return it->second.get();
  std::string path = dir_ + "/" + name + ".po";
  std::unique_ptr<Catalog> cat;
  int fd = platform::kNoFile;
  if (platform::OpenFile(path.c_str(), platform::FileMode::kReadOnly, &fd) == 0) {
    uint64_t size = 0;
    std::string text;
    if (platform::FileSize(fd, &size) == 0 && size <= kMaxCatalogBytes) {
      text.resize(size);
      size_t done = 0;
      if (platform::ReadFileAt(fd, 0, text.data(), size, &done) == 0) {
        text.resize(done);
        int skipped = 0;
        cat = Catalog::Parse(text, &skipped);
        Log(LogLevel::kInfo, "catalog %s: %zu translations%s", path.c_str(), cat->size(),
            skipped > 0 ? " (some lines could not be read)" : "");
      }
    } else {
      Log(LogLevel::kWarn, "catalog %s is not readable or too large", path.c_str());
    }
    platform::CloseFile(fd);
  }
  // Bounded: locale names come from clients. Past the limit, misses are not remembered.
  if (cat == nullptr && loaded_.size() >= kMaxRememberedLocales) return nullptr;
  const Catalog* result = cat.get();
  loaded_[name] = std::move(cat);
  return result;
}

}  // namespace kdr::server
