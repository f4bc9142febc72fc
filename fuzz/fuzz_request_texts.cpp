// The texts a client sends the server in the second write of a request and that the server
// decodes before touching anything: the ticket of KDR_OPEN_MSG (down to the GUID that names
// a vault directory) and the locale name of KDR_LOCALE_MSG (which names a catalog file).
// Input: the text; the server sees it NUL-terminated, as a request whose only NUL ends it.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "iface/runtime.h"
#include "server/catalog.h"
#include "server/ticket.h"
#include "server/vault.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kdr;
  using namespace kdr::server;
  // A heap block of exactly the text and its NUL, so that ASan bounds every read.
  size_t n = strnlen(reinterpret_cast<const char*>(data), size);
  char* text = new char[n + 1];
  std::memcpy(text, data, n);
  text[n] = '\0';

  bool valid = IsValidTicket(text);
  if (valid) {
    KDR_FUZZ_CHECK(n >= static_cast<size_t>(kTicketMinLength));
    KDR_FUZZ_CHECK(n <= static_cast<size_t>(kTicketMaxLength));
  }
  int guidLength = GUIDLength(text);
  KDR_FUZZ_CHECK(guidLength == 32 || guidLength == 36 || guidLength < 0);

  std::string guid;
  if (TicketGuid(text, &guid)) {
    KDR_FUZZ_CHECK(valid);
    KDR_FUZZ_CHECK(guid.size() == static_cast<size_t>(guidLength));
    KDR_FUZZ_CHECK(guid == std::string_view(text + kTicketGuidIndex, guid.size()));
    KDR_FUZZ_CHECK(IsVaultGuid(guid));
    // A GUID the vault takes is a plain directory name.
    KDR_FUZZ_CHECK(guid.find('/') == std::string::npos && guid != "." && guid != "..");
  }

  std::string_view locale(text, n);
  if (Catalogs::IsLocaleName(locale)) {
    KDR_FUZZ_CHECK(n >= 1 && n <= 64);
    for (char c : locale) {
      bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '_' || c == '.' || c == '-' || c == '@';
      KDR_FUZZ_CHECK(ok);
    }
    // A name made only of dots would climb out of the catalog directory.
    KDR_FUZZ_CHECK(locale.find_first_not_of('.') != std::string_view::npos);
  }
  delete[] text;
  return 0;
}
