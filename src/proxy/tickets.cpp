#include "proxy/tickets.h"

#include <cstring>

#include "client/result_codes.h"
#include "client/thread_state.h"
#include "iface/export.h"
#include "iface/runtime.h"
#include "proxy/lifecycle.h"

namespace kdr {

namespace {

// The registry. Plain storage: all-null at process start, never destroyed.
TicketEntry* g_buckets[kTicketHashBuckets];
int g_ticketCount;

constexpr int kGuidIndex = 70;  // the GUID starts here in every ticket

// Whether `key` is exactly 64 characters long; reads at most 65 bytes.
bool IsKeyShaped(const char* key) {
  return key != nullptr && strnlen(key, kTicketKeyLength + 1) == kTicketKeyLength;
}

// The entry of `key` in its bucket, or nullptr. REQUIRES: lock A held; key shaped.
TicketEntry* FindLocked(const char* key) {
  for (TicketEntry* e = g_buckets[TicketKeyHash(key)]; e != nullptr; e = e->next) {
    if (std::memcmp(e->key, key, kTicketKeyLength + 1) == 0) return e;
  }
  return nullptr;
}

// Takes `entry` out of its bucket; false when it is not there. REQUIRES: lock A held.
bool UnlinkLocked(TicketEntry* entry) {
  for (TicketEntry** p = &g_buckets[TicketKeyHash(entry->key)]; *p != nullptr; p = &(*p)->next) {
    if (*p == entry) {
      *p = entry->next;
      entry->next = nullptr;
      --g_ticketCount;
      return true;
    }
  }
  return false;
}

void FreeEntry(TicketEntry* entry, uint32_t signature) {
  entry->signature = signature;
  KdrRelease(entry->key);
  KdrRelease(entry->ticket);
  KdrRelease(entry->guid);
  KdrRelease(entry);
}

char* CopyText(const char* text, size_t n) {
  char* s = static_cast<char*>(KdrAllocate(n + 1));
  if (s != nullptr) {
    std::memcpy(s, text, n);
    s[n] = '\0';
  }
  return s;
}

// A new entry for a well-formed ticket, not yet registered; nullptr when out of memory.
TicketEntry* MakeEntry(const char* ticket) {
  TicketEntry* e = static_cast<TicketEntry*>(KdrAllocate(sizeof(TicketEntry)));
  if (e == nullptr) return nullptr;
  std::memset(e, 0, sizeof *e);
  int guidLength = GUIDLength(ticket);
  e->key = CopyText(ticket, kTicketKeyLength);
  e->ticket = CopyText(ticket, std::strlen(ticket));
  e->guid = CopyText(ticket + kGuidIndex, static_cast<size_t>(guidLength));
  if (e->key == nullptr || e->ticket == nullptr || e->guid == nullptr) {
    FreeEntry(e, kTicketEntryReleased);
    return nullptr;
  }
  e->signature = kTicketEntrySignature;
  return e;
}

// Registers `ticket`: one more registration of its entry, made when needed. Lookup and
// insertion happen under one hold of lock A, so concurrent registrations of one ticket share
// an entry.
int RegisterOne(const char* ticket, const char** key) {
  if (ticket == nullptr) return ERR_KDRCP_BAD_TICKET;
  if (key == nullptr) return ERR_KDRCP_BAD_ARG;
  if (!IsValidTicket(ticket)) return ERR_KDRCP_BAD_TICKET;
  TicketEntry* fresh = MakeEntry(ticket);
  if (fresh == nullptr) return ERR_KDRCP_OUT_OF_MEMORY;
  TicketEntry* existing;
  {
    ProxyLockGuard lock(ProxyLock::kA);
    existing = FindLocked(fresh->key);
    if (existing != nullptr) {
      ++existing->registrations;
      ++existing->refCount;
      *key = existing->key;
    } else {
      fresh->refCount = 1;
      fresh->registrations = 1;
      TicketEntry** bucket = &g_buckets[TicketKeyHash(fresh->key)];
      fresh->next = *bucket;
      *bucket = fresh;
      ++g_ticketCount;
      *key = fresh->key;
    }
  }
  if (existing != nullptr) FreeEntry(fresh, kTicketEntryReleased);
  return 0;
}

// Undoes one registration of `key`.
int UnregisterOne(const char* key) {
  if (key == nullptr) return ERR_KDRCP_BAD_TICKET;
  if (!IsKeyShaped(key)) return ERR_KDRCP_BAD_TICKET;
  TicketEntry* gone = nullptr;
  {
    ProxyLockGuard lock(ProxyLock::kA);
    TicketEntry* e = FindLocked(key);
    if (e == nullptr || !IsTicketEntry(e) || e->registrations == 0) return ERR_KDRCP_BAD_TICKET;
    --e->registrations;
    --e->refCount;
    if (e->registrations == 0) UnlinkLocked(e);
    if (e->refCount == 0) gone = e;
  }
  if (gone != nullptr) FreeEntry(gone, kTicketEntryReleased);
  return 0;
}

}  // namespace

// The argument checks a batch entry starts with: at least one item, a key list, and the
// other lists it needs (`listsGiven`, the result list among them). When they pass, every
// result is set to ERR_KDRCP_NOT_EXECUTED and 0 returned; otherwise the code, already passed
// through KdrErrorCode.
int StartBatch(int count, const char* const* keys, bool listsGiven, int* results) {
  if (count < 1) return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  if (keys == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_TICKET);
  if (!listsGiven || results == nullptr) return KdrErrorCode(ERR_KDRCP_BAD_ARG);
  for (int i = 0; i < count; ++i) results[i] = ERR_KDRCP_NOT_EXECUTED;
  return 0;
}

TicketEntry* LookupTicket(const char* key) {
  if (!IsKeyShaped(key)) return nullptr;
  ProxyLockGuard lock(ProxyLock::kA);
  TicketEntry* e = FindLocked(key);
  if (e != nullptr) ++e->refCount;
  return e;
}

void ReleaseTicket(TicketEntry* entry) {
  if (entry == nullptr) return;
  {
    ProxyLockGuard lock(ProxyLock::kA);
    if (entry->refCount == 0) return;
    if (--entry->refCount != 0) return;
    // The last hold. A registered entry always has a hold per registration, so this one is
    // out of its bucket already; unlinking is only a safeguard.
    if (entry->registrations != 0) UnlinkLocked(entry);
  }
  FreeEntry(entry, kTicketEntryReleased);
}

void ReleaseAllTickets() {
  ProxyLockGuard lock(ProxyLock::kA);
  for (int b = 0; b < kTicketHashBuckets; ++b) {
    TicketEntry* e = g_buckets[b];
    g_buckets[b] = nullptr;
    while (e != nullptr) {
      TicketEntry* next = e->next;
      e->next = nullptr;
      --g_ticketCount;
      e->refCount -= e->registrations;
      e->registrations = 0;
      // An entry still held by a transfer or an open stays alive for its holder.
      if (e->refCount == 0) FreeEntry(e, kTicketRegistryReleased);
      e = next;
    }
  }
}

int TicketCount() {
  ProxyLockGuard lock(ProxyLock::kA);
  return g_ticketCount;
}

}  // namespace kdr

using namespace kdr;

// --- Interface entries ---

KDR_EXPORT int VXN_RegisterTicket(const char* ticket, const char** key) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  return KdrErrorCode(RegisterOne(ticket, key));
}

KDR_EXPORT int VXN_RegisterTickets(int count, const char* const* tickets, const char** keys,
                                   int* results) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  int r = StartBatch(count, tickets, keys != nullptr, results);
  if (r != 0) return r;
  for (int i = 0; i < count; ++i) keys[i] = nullptr;
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    results[i] = KdrErrorCode(RegisterOne(tickets[i], &keys[i]));
    if (results[i] != 0) {
      ++failures;
      KdrSaveErrorText();
    }
  }
  KdrRestoreErrorText();
  return failures;
}

KDR_EXPORT int VXN_UnRegisterTicket(const char* key) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  return KdrErrorCode(UnregisterOne(key));
}

KDR_EXPORT int VXN_UnRegisterTickets(int count, const char* const* keys, int* results) {
  if (!KdrProxyInitialized()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  int s = StartBatch(count, keys, true, results);
  if (s != 0) return s;
  for (int i = 0; i < count; ++i) {
    int r = KdrProxyInitialized() ? UnregisterOne(keys[i]) : ERR_KDRCP_NOT_INITIALIZED;
    results[i] = r;
    if (r < 0) return KdrErrorCode(r);
  }
  KdrRestoreErrorText();
  return 0;
}
