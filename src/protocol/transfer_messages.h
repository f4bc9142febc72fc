// Transfer messages: download a file into the cache (KDR_GET_FILE_MSG) or to a named place
// (KDR_GET_LOCATION_MSG), upload a local file (KDR_UPLOAD_MSG), roll an upload back
// (KDR_ROLLBACK_MSG).
//
// The first three are conversations: until its final reply the server sends progress
// replies, and the proxy answers each with a KDR_STATUS_MSG (CONTINUE, CANCEL or FAIL) after
// asking the caller's ProgressCallback. All replies of a conversation carry the SeqNum of its
// request; every status request carries that SeqNum + 1 (the thread's current `seqNum`, not
// stepped). After CANCEL or FAIL the proxy reads on: the server decides how it ends.
//
// Each exchange runs on the calling thread's own connection, takes lock A only to connect,
// and calls the callback on the calling thread with no lock held and `busy` set. Nothing is
// allocated on the way apart from the result string handed to the caller.
#ifndef KDR_PROTOCOL_TRANSFER_MESSAGES_H_
#define KDR_PROTOCOL_TRANSFER_MESSAGES_H_

#include <cstddef>
#include <cstdint>

#include "iface/interface.h"

namespace kdr {

// Request layouts (offsets after the 12-byte header).
inline constexpr uint32_t kOffTransferHandle = 12;     // server handle, 16 bits
inline constexpr uint32_t kOffTransferTag = 14;        // request tag, 3 bytes
inline constexpr uint32_t kTransferTagSize = 3;
inline constexpr uint32_t kGetFileRequestSize = 17;    // payloadLength 5
inline constexpr uint32_t kOffLocationPath = 17;       // target path with its NUL
inline constexpr uint32_t kOffUploadLength = 14;       // path / volume id length, 16 bits
inline constexpr uint32_t kUploadRequestSize = 16;     // the first write; payloadLength 4 + n
inline constexpr uint32_t kStatusRequestSize = 16;     // payloadLength 4
inline constexpr uint32_t kOffStatus = 12;             // status, signed 32 bits
// Progress reply (typeID 3).
inline constexpr uint32_t kOffProgressDone = 12;       // bytes so far, signed 64 bits
inline constexpr uint32_t kOffProgressTotal = 20;      // file size, signed 64 bits
inline constexpr uint32_t kProgressReplySize = 28;
// Final reply of KDR_GET_FILE_MSG / KDR_UPLOAD_MSG: length n (signed 16 bits), n bytes.
inline constexpr uint32_t kOffCountedLength = 12;
inline constexpr uint32_t kOffCountedText = 14;

// Status values of KDR_STATUS_MSG.
inline constexpr int32_t kStatusContinue = 0;
// CANCEL is ERR_KDRCP_CANCELLED (-3016); FAIL is the callback's own negative result.

// The target path of KDR_GET_LOCATION_MSG: `directory`, then '/' unless it already ends with
// one, then `fileName`; `fileName` alone when `directory` is null or empty. Writes it with
// its NUL into `out` (`capacity` bytes) and returns its length, or -1 when it does not fit
// (nothing useful is left in `out` then). REQUIRES: fileName != nullptr.
long JoinTargetPath(const char* directory, const char* fileName, char* out, size_t capacity);

// Longest target path a KDR_GET_LOCATION_MSG request can carry (its NUL not counted).
inline constexpr size_t kMaxTargetPath = 2072 - kOffLocationPath - 1;

// --- Reply parsing: pure functions of the reply's bytes, for any input ---

// Reads a progress reply of `total` bytes (`total` >= 12). Returns 0 with the two numbers, or
// ERR_KDRCP_BAD_ARG when the reply is too short to hold them.
int ParseProgressReply(const unsigned char* reply, int total, int64_t* done, int64_t* size);

// Reads the counted text of a final reply of `total` bytes (`total` >= 12): the signed 16-bit
// length at offset 12 and that many bytes from offset 14. Returns the length (above 0) with
// *text pointing into `reply`; or ERR_KDRCP_BAD_ARG when the length is 0 or less or runs
// past the end of the reply. *field receives the length field as sent (0 when the reply is
// too short to hold it), for the log line.
int ParseCountedText(const unsigned char* reply, int total, const char** text, int* field);

// --- The exchanges. `file` is a transfer handle opened at the server. ---

// Downloads the file into the cache. On success returns 0 and stores in *nameOut a new
// string (configured allocator; the caller releases it) holding the path in the cache with
// the native separator. Other results: the codes of the exchange, ERR_KDRCP_BAD_ARG for a
// final reply whose name does not fit it, ERR_KDRCP_OUT_OF_MEMORY, the server's codes, and
// whatever the server answers after a CANCEL or FAIL. `callback` may be null.
int GetFileMsg(OpenFileRecord* file, char** nameOut, const char* tag, ProgressCallback callback,
               void* context);

// Downloads the file to JoinTargetPath(directory, fileName). Returns 0 or a code as above;
// ERR_KDRCP_BAD_ARG, with nothing sent, when the target path is longer than kMaxTargetPath.
int GetLocationMsg(OpenFileRecord* file, const char* tag, ProgressCallback callback,
                   void* context, const char* directory, const char* fileName);

// Uploads the local file `localPath`. On success returns 0 and stores in *volumeIdOut a new
// string (configured allocator) holding the volume id the upload was stored under. A path
// longer than 65535 bytes gives ERR_KDRCP_BAD_ARG with nothing sent.
int UploadMsg(OpenFileRecord* file, const char* localPath, ProgressCallback callback,
              void* context, char** volumeIdOut);

// Asks the server to undo the upload that produced `volumeId` (null counts as empty: the
// second write is then an empty pipe message). Returns 0 or a code.
int RollbackMsg(OpenFileRecord* file, const char* volumeId);

}  // namespace kdr

#endif  // KDR_PROTOCOL_TRANSFER_MESSAGES_H_
