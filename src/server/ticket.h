// Tickets as the server reads and the vault tool writes them.
//
// A ticket is 225 to 2000 characters: the ticket key (characters 0 to 63), the type letter
// 'v', 'F' or 'M' at 64, three digits at 65 to 67, and from 70 on the file's GUID (32
// characters for 'v' and 'F', 36 for 'M'). The checks are the client library's own
// (IsValidTicket, GUIDLength), so the two never disagree about what a ticket is.
#ifndef KDR_SERVER_TICKET_H_
#define KDR_SERVER_TICKET_H_

#include <string>

namespace kdr::server {

// Index of the GUID in a ticket.
inline constexpr int kTicketGuidIndex = 70;

// On success returns true and the GUID of `ticket` (a NUL-terminated text) in *guid. False
// when the ticket fails the library's checks or its GUID is not one the vault can hold.
bool TicketGuid(const char* ticket, std::string* guid);

// A fresh GUID for a ticket of `type`: 32 hex digits for 'v' and 'F', the 36-character
// 8-4-4-4-12 form for 'M'. Upper-case.
std::string NewGuid(char type);

// A ticket of `type` for `guid`, 240 characters long, with a fresh random key. `guid` must
// have the length GUIDLength gives for `type`; otherwise returns "".
std::string MakeTicket(char type, const std::string& guid);

}  // namespace kdr::server

#endif  // KDR_SERVER_TICKET_H_
