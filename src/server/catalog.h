// Message catalogs: translations of texts, read from gettext .po files.
//
// The server translates texts itself rather than through the C library's locales, so that a
// catalog works whatever locales the machine has installed. A catalog is <dir>/<name>.po;
// for a locale such as "de_DE.UTF-8@euro" the names tried are "de_DE.UTF-8@euro",
// "de_DE.UTF-8", "de_DE" and "de", in that order.
//
// What is read of a .po file: msgid / msgstr pairs with their continuation lines and the C
// escapes \n \t \" \\ \r \a \b \f \v and octal. Entries marked fuzzy, entries with a context
// (msgctxt), plural entries and the header entry (empty msgid) are not used, nor is an empty
// msgstr (an untranslated entry).
#ifndef KDR_SERVER_CATALOG_H_
#define KDR_SERVER_CATALOG_H_

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/mutex.h"

namespace kdr::server {

class Catalog {
 public:
  // Parses .po text. Never fails: what cannot be read is skipped; *skipped (when given)
  // counts the malformed lines.
  static std::unique_ptr<Catalog> Parse(std::string_view text, int* skipped);

  // The translation of `text`, or nullptr when the catalog has none.
  const std::string* Find(const std::string& text) const;
  size_t size() const { return entries_.size(); }

 private:
  std::map<std::string, std::string> entries_;
};

// The catalogs of one directory, loaded on first use and kept (a catalog that is missing is
// remembered as missing). Thread-safe.
class Catalogs {
 public:
  explicit Catalogs(std::string dir) : dir_(std::move(dir)) {}

  // The catalog for `locale`, or nullptr when there is none. Stays valid for the life of
  // this object.
  const Catalog* ForLocale(const std::string& locale);

  // Whether `locale` is a plausible locale name: 1 to 64 characters of letters, digits and
  // "_.-@". Nothing else is ever turned into a file name.
  static bool IsLocaleName(std::string_view locale);

 private:
  const Catalog* Load(const std::string& name) REQUIRES(mu_);

  std::string dir_;
  Mutex mu_;
  std::map<std::string, std::unique_ptr<Catalog>> loaded_ GUARDED_BY(mu_);  // null: no such catalog
};

}  // namespace kdr::server

#endif  // KDR_SERVER_CATALOG_H_
