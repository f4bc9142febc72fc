// The record behind an open-file handle (and behind each transfer): what the open-file
// registry (proxy/open_files.h) hands out, the message groups send and fill, and the fast
// cache reads for. Only the record and its constants live here, so every room that passes a
// handle can name its fields without reaching into the registry.
#ifndef KDR_PROTOCOL_OPEN_FILE_RECORD_H_
#define KDR_PROTOCOL_OPEN_FILE_RECORD_H_

#include <atomic>
#include <cstdint>

namespace kdr {
struct TicketEntry;
}

inline constexpr uint32_t kOpenFileSignature = 0x600DF11Eu;  // handed out
inline constexpr uint32_t kReleasedSignature = 0xC105EDDDu;  // released
inline constexpr uint32_t kNoOwnerThread = 0xFFFFFFFFu;
// Set in `openOwner` while the record is on the open list.
inline constexpr uint64_t kOpenBit = uint64_t{1} << 32;

// The record behind a VXNFileHandle. Global scope because the handle type crosses the C
// interface.
struct OpenFileRecord {
  OpenFileRecord* next;  // open list or free list
  OpenFileRecord* prev;
  uint32_t signature;         // kOpenFileSignature while handed out, else kReleasedSignature
  unsigned char* readBuffer;  // `bufferCapacity` bytes, kept while the record is recycled
  char* ticket;               // owned copy of the ticket (configured allocator), or null
  char* guid;                 // owned copy of the GUID (configured allocator), or null
  const char* ticketKey;      // key held by the ticket registry; not owned
  // The two read-buffer counters are 32 bits wide so that any configured buffer size fits
  // them (the configuration puts no upper bound on it).
  int32_t bufferedBytes;    // valid bytes in readBuffer
  int32_t bufferPos;        // next unread byte; buffered bytes start at position - bufferPos
  int64_t position;         // file position of the next read
  int64_t fileSize;         // bytes; negative while unknown
  uint16_t serverHandle;    // server's handle; 0xFFFF while not open at the server
  uint64_t serverInstance;  // instance id of the server that gave `serverHandle`
  // The volume the handle was opened on: the stamp the open reply or the store named (see
  // fastcache/fast_cache.h), 0 when none did (a server of an earlier make). Only a handle
  // with a stamp reads the store, and only blocks the store names with that stamp.
  uint64_t volumeStamp;
  // Set once a reopen found another volume of the file than the one opened: every later
  // read fails (kFileChangedText) rather than return bytes of two volumes.
  bool volumeChanged;
  // kOpenBit while on the open list, and in the low 32 bits the thread inside a call on it
  // (kNoOwnerThread when none).
  std::atomic<uint64_t> openOwner;
  int32_t bufferCapacity;  // size of readBuffer (the buffer size when it was made)
  // The registry hold that keeps `ticketKey` alive for a handle made by VXN_OpenFile; given
  // back by FreeFileHandle. Null for transfer handles (their maker keeps the hold).
  kdr::TicketEntry* ticketHold;
};

namespace kdr {

// The text of a read that stops because the file has another volume than at its open, or
// the server can no longer serve the volume it had.
inline constexpr char kFileChangedText[] =
    "The file was changed since it was opened: its reads stop here; open it again";

}  // namespace kdr

#endif  // KDR_PROTOCOL_OPEN_FILE_RECORD_H_
