// The .po catalog reader over arbitrary file contents, then look-ups in what it kept.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "server/catalog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using kdr::server::Catalog;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  int skipped = -1;
  std::unique_ptr<Catalog> catalog = Catalog::Parse(text, &skipped);
  KDR_FUZZ_CHECK(catalog != nullptr);
  KDR_FUZZ_CHECK(skipped >= 0);
  // Every kept entry and every malformed line takes at least one line of its own.
  size_t lines = 1;
  for (char c : text) lines += c == '\n';
  KDR_FUZZ_CHECK(catalog->size() + static_cast<size_t>(skipped) <= lines);
  KDR_FUZZ_CHECK(catalog->size() <= lines / 2);

  // The empty text is the header entry's msgid and is never translated.
  KDR_FUZZ_CHECK(catalog->Find(std::string()) == nullptr);
  // Look up the first line and the whole text: a translation found is never empty.
  size_t nl = text.find('\n');
  for (std::string key : {std::string(text.substr(0, nl)), std::string(text)}) {
    const std::string* t = catalog->Find(key);
    if (t != nullptr) KDR_FUZZ_CHECK(!t->empty());
  }
  // Parsing is a function of the text alone.
  int skippedAgain = -1;
  KDR_FUZZ_CHECK(Catalog::Parse(text, &skippedAgain)->size() == catalog->size());
  KDR_FUZZ_CHECK(skippedAgain == skipped);
  return 0;
}
