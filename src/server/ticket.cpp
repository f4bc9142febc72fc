#include "server/ticket.h"

#include <cstring>
#include <random>

#include "iface/interface.h"
#include "iface/runtime.h"
#include "server/vault.h"

namespace kdr::server {

namespace {

constexpr size_t kMadeTicketLength = 240;

std::string RandomHex(size_t n) {
  static const char kHex[] = "0123456789ABCDEF";
  std::random_device rd;
  std::string out(n, '0');
  for (size_t i = 0; i < n; ++i) out[i] = kHex[rd() & 15u];
  return out;
}

}  // namespace

bool TicketGuid(const char* ticket, std::string* guid) {
  if (!IsValidTicket(ticket)) return false;
  int n = GUIDLength(ticket);
  if (n <= 0) return false;
  // IsValidTicket guarantees at least 225 characters, so the GUID lies inside the text.
  std::string g(ticket + kTicketGuidIndex, static_cast<size_t>(n));
  if (!IsVaultGuid(g)) return false;
  *guid = g;
  return true;
}

std::string NewGuid(char type) {
  std::string hex = RandomHex(32);
  if (type != 'M') return hex;
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
         hex.substr(16, 4) + "-" + hex.substr(20, 12);
}

std::string MakeTicket(char type, const std::string& guid) {
  char probe[kTicketTypeIndex + 2];
  std::memset(probe, 'x', sizeof probe);
  probe[kTicketTypeIndex] = type;
  probe[kTicketTypeIndex + 1] = '\0';
  int n = GUIDLength(probe);
  if (n <= 0 || guid.size() != static_cast<size_t>(n) || !IsVaultGuid(guid)) return "";
  std::string t = RandomHex(kTicketKeyLength);   // the key
  t += type;
  t += "001::";                                   // three digits, then up to the GUID
  t += guid;
  t += "::";
  t += RandomHex(kMadeTicketLength - t.size());   // the rest of a ticket: opaque to us
  return IsValidTicket(t.c_str()) ? t : "";
}

}  // namespace kdr::server
