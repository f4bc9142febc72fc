// The ticket registry (the transfers of registered files are in proxy/transfers.h).
//
// A caller registers each ticket (a text of 225 to 2000 characters) once and from then on names
// the file by its ticket key, the ticket's first 64 characters. The registry keeps a copy of
// every registered ticket in 256 buckets chosen by TicketKeyHash(); each bucket is a chain
// with new entries at its head.
//
// Life of an entry. `registrations` counts VXN_RegisterTicket calls not yet undone by
// VXN_UnRegisterTicket; `refCount` counts those plus every hold taken by LookupTicket and not
// yet given back with ReleaseTicket. The entry is in its bucket (and found by lookups) while
// `registrations` is above 0; it is freed when `refCount` reaches 0. So a transfer or an open
// that holds an entry keeps its key, ticket and GUID readable after a concurrent
// unregistration, and an unregistration never drops a hold that someone else took.
//
// Concurrency contract: lock A guards the buckets, the chains, every entry's `refCount`,
// `registrations` and `next`, and `ticketCount`. An entry's texts never change while it
// lives and may be read without the lock by anyone holding a reference. Registration looks the
// key up and inserts it under one hold of lock A, so two threads registering the same new
// ticket share one entry.
#ifndef KDR_PROXY_TICKETS_H_
#define KDR_PROXY_TICKETS_H_

#include <cstdint>

#include "iface/interface.h"

namespace kdr {

inline constexpr uint32_t kTicketEntryReleased = 0xC105EDDD;  // `signature` once freed
inline constexpr uint32_t kTicketRegistryReleased = 0xDEA110CD;  // freed by ReleaseAllTickets

struct TicketEntry {
  uint32_t signature;      // kTicketEntrySignature while alive
  char* ticket;            // owned copy of the whole ticket (configured allocator)
  char* key;               // owned: the 64-character key and a NUL; handed out by registration
  char* guid;              // owned: the file's GUID (32 or 36 characters) and a NUL
  uint32_t refCount;       // registrations plus holds
  uint32_t registrations;  // registrations not yet undone; in its bucket while above 0
  TicketEntry* next;       // next entry in the same bucket
};

// The registered entry of `key` with one more hold on it, or nullptr when `key` is null, is
// not exactly 64 characters long (only its first 65 bytes are read) or is not registered.
// Give the hold back with ReleaseTicket.
TicketEntry* LookupTicket(const char* key);

// Gives back one hold on `entry` (nothing for nullptr); frees the entry with its last one.
void ReleaseTicket(TicketEntry* entry);

// Empties the registry at termination: every registered entry loses its registrations and is
// freed, unless a transfer or open still holds it (its holder then frees it).
void ReleaseAllTickets();

// Number of registered entries.
int TicketCount();

// The argument checks a batch entry (of registrations or of transfers) starts with: at least
// one item, a key list, and the other lists it needs (`listsGiven`, the result list among
// them). When they pass, every result is set to ERR_KDRCP_NOT_EXECUTED and 0 returned;
// otherwise the code, already passed through KdrErrorCode.
int StartBatch(int count, const char* const* keys, bool listsGiven, int* results);

}  // namespace kdr

#endif  // KDR_PROXY_TICKETS_H_
