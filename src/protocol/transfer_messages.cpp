#include "protocol/transfer_messages.h"

#include <cstring>

#include "client/config.h"
#include "client/proxy_log.h"
#include "protocol/data_messages.h"
#include "protocol/message_framing.h"
#include "protocol/open_file_record.h"
#include "protocol/pipe_transport.h"

namespace kdr {

namespace {

constexpr uint32_t kMaxCountedWrite = 0xFFFF;  // the 16-bit length field of a second write

// Copies the first three bytes of the request tag (fewer when it is shorter; the rest are
// zero, so a short tag never reads past its NUL).
void PutTag(unsigned char* buffer, uint32_t offset, const char* tag) {
  size_t n = tag != nullptr ? strnlen(tag, kTransferTagSize) : 0;
  std::memset(buffer + offset, 0, kTransferTagSize);
  if (n > 0) std::memcpy(buffer + offset, tag, n);
}

// Sends a request whose fixed part holds the file's handle and the length of `text`, then
// `text` as the second write (upload, roll-back). The log lines are SendLogged's, with
// `requestWhat` and `textWhat`. Returns the result of the last write attempted.
int SendHandleAndText(ThreadRecord* record, uint32_t msgType, uint16_t handle, const char* text,
                      uint32_t length, const char* requestWhat, const char* textWhat,
                      long logBias) {
  unsigned char* b = record->requestBuffer;
  BeginRequest(record, msgType, kUploadRequestSize - kHeaderSize + length);
  PutBE16(b, kOffTransferHandle, handle);
  PutBE16(b, kOffUploadLength, static_cast<uint16_t>(length));
  int n = SendLogged(record, b, kUploadRequestSize, requestWhat, logBias);
  if (n < 0) return n;
  return SendLogged(record, text, length, textWhat, logBias);
}

// Answers one progress reply: asks the callback and sends the status request. Returns 0, or
// the code of a failed write (the conversation then ends).
int AnswerProgress(ThreadRecord* record, OpenFileRecord* file, ProgressCallback callback,
                   void* context, int64_t done, int64_t total) {
  int32_t status = kStatusContinue;
  bool cancel = false;
  if (callback != nullptr) {
    int keepGoing = 0;
    int r = callback(file->ticketKey, context, done, total, &keepGoing);
    if (r < 0) {
      status = r;
    } else if (keepGoing == 0) {
      status = ERR_KDRCP_CANCELLED;
      cancel = true;
    }
  }
  unsigned char* b = record->requestBuffer;
  PutRequestHeader(b, record->seqNum, KDR_STATUS_MSG, kStatusRequestSize - kHeaderSize);
  PutBE32(b, kOffStatus, static_cast<uint32_t>(status));
  long size = static_cast<long>(kStatusRequestSize);
  if (status == kStatusContinue) {
    KdrLogPrintf("%ld byte STATUS: CONTINUE request sent to VXN\n", size);
  } else if (cancel) {
    KdrLogPrintf("%ld byte STATUS: CANCEL request sent to VXN\n", size);
  } else {
    KdrLogPrintf("%ld byte STATUS: FAIL (%d) request sent to VXN\n", size, status);
  }
  int n = SendRequest(record, b, kStatusRequestSize);
  return n < 0 ? n : 0;
}

// Runs a conversation after its request has been sent: reads replies, answers progress
// replies, until a final reply (returns its size, which is at least 12), an error reply, a
// failed check or a failed read or write (returns the code).
// A download's callback gets the file's size (the first one the server gave); an upload's gets
// the total of each progress reply, the size of the local file being sent.
int Converse(ThreadRecord* record, OpenFileRecord* file, const ReplyRules& rules,
             ProgressCallback callback, void* context, bool totalFromReply = false) {
  unsigned char* reply = record->replyBuffer;
  for (;;) {
    int total = ReceiveChecked(record, rules);
    if (total < 0) return total;
    switch (static_cast<int8_t>(reply[kOffTypeId])) {
      case kReplyNormal:
        return total;
      case kReplyError:
        return ErrorReplyResult(reply, total, true, true);
      case kReplyProgress: {
        int64_t done = 0;
        int64_t size = 0;
        int p = ParseProgressReply(reply, total, &done, &size);
        if (p != 0) {
          KdrLogPrintf("MESSAGE ERROR: Invalid progress reply of %d bytes (%s)\n", total,
                       rules.name);
          CloseRecordPipe(record);  // the server waits for a status that will not come
          return p;
        }
        if (file->fileSize < 0) file->fileSize = size;
        int w = AnswerProgress(record, file, callback, context, done,
                               totalFromReply ? size : file->fileSize);
        if (w < 0) return w;
        break;
      }
      default:
        CloseRecordPipe(record);  // the conversation's state is unknown
        return InvalidTypeId(reply);
    }
  }
}

// Hands the counted text of a final reply to the caller as a new string (configured
// allocator), and empties the file's read buffer when the text is well formed. `nameWord`
// names the field in the log line.
int TakeCountedText(OpenFileRecord* file, const unsigned char* reply, int total,
                    const char* nameWord, const char* msgName, bool nativeSeparators,
                    char** out) {
  const char* text = nullptr;
  int field = 0;
  int n = ParseCountedText(reply, total, &text, &field);
  if (n < 0) {
    KdrLogPrintf("MESSAGE ERROR: Invalid %s length %d (%s)\n", nameWord, field, msgName);
    return n;
  }
  file->bufferedBytes = 0;
  char* s = static_cast<char*>(KdrAllocate(static_cast<size_t>(n) + 1));
  if (s == nullptr) return ERR_KDRCP_OUT_OF_MEMORY;
  std::memcpy(s, text, static_cast<size_t>(n));
  s[n] = '\0';
  if (nativeSeparators) KdrToBackslashes(s);
  *out = s;
  return 0;
}

}  // namespace

long JoinTargetPath(const char* directory, const char* fileName, char* out, size_t capacity) {
  size_t dirLen = directory != nullptr ? std::strlen(directory) : 0;
  size_t nameLen = std::strlen(fileName);
  bool slash = dirLen > 0 && directory[dirLen - 1] != '/';
  size_t total = dirLen + (slash ? 1 : 0) + nameLen;
  if (total + 1 > capacity) return -1;
  if (dirLen > 0) std::memcpy(out, directory, dirLen);
  if (slash) out[dirLen] = '/';
  std::memcpy(out + dirLen + (slash ? 1 : 0), fileName, nameLen);
  out[total] = '\0';
  return static_cast<long>(total);
}

int ParseProgressReply(const unsigned char* reply, int total, int64_t* done, int64_t* size) {
  if (total < static_cast<int>(kProgressReplySize)) return ERR_KDRCP_BAD_ARG;
  *done = GetBE64(reply, kOffProgressDone);
  *size = GetBE64(reply, kOffProgressTotal);
  return 0;
}

int ParseCountedText(const unsigned char* reply, int total, const char** text, int* field) {
  *field = 0;
  if (total < static_cast<int>(kOffCountedText)) return ERR_KDRCP_BAD_ARG;
  int n = static_cast<int16_t>(GetBE16(reply, kOffCountedLength));
  *field = n;
  if (n <= 0 || n > total - static_cast<int>(kOffCountedText)) return ERR_KDRCP_BAD_ARG;
  *text = reinterpret_cast<const char*>(reply + kOffCountedText);
  return n;
}

int GetFileMsg(OpenFileRecord* file, char** nameOut, const char* tag, ProgressCallback callback,
               void* context) {
  if (file == nullptr || nameOut == nullptr) return ERR_KDRCP_BAD_ARG;
  ExchangeScope exchange;
  if (exchange.result() != 0) return exchange.result();
  ThreadRecord* record = exchange.record();
  int opened = RefreshServerHandle(file, record);
  if (opened < 0) return opened;

  unsigned char* b = record->requestBuffer;
  BeginRequest(record, KDR_GET_FILE_MSG, kGetFileRequestSize - kHeaderSize);
  PutBE16(b, kOffTransferHandle, file->serverHandle);
  PutTag(b, kOffTransferTag, tag);
  int n = SendLogged(record, b, kGetFileRequestSize, "FILE request");
  if (n < 0) return n;

  int total = Converse(record, file, kGetFileRules, callback, context);
  if (total < 0) return total;
  return TakeCountedText(file, record->replyBuffer, total, "filename", "KDR_GET_FILE_MSG", true,
                         nameOut);
}

int GetLocationMsg(OpenFileRecord* file, const char* tag, ProgressCallback callback,
                   void* context, const char* directory, const char* fileName) {
  if (file == nullptr || fileName == nullptr) return ERR_KDRCP_BAD_ARG;
  ExchangeScope exchange;
  if (exchange.result() != 0) return exchange.result();
  ThreadRecord* record = exchange.record();
  int opened = RefreshServerHandle(file, record);
  if (opened < 0) return opened;

  // The path goes straight into the request; one too long for it is refused before
  // anything is sent, so the connection stays in step.
  unsigned char* b = record->requestBuffer;
  long pathLen = JoinTargetPath(directory, fileName, reinterpret_cast<char*>(b + kOffLocationPath),
                                kRequestBufferSize - kOffLocationPath);
  if (pathLen < 0) {
    KdrLogPrintf("MESSAGE ERROR: Target path too long (KDR_GET_LOCATION_MSG)\n");
    return ERR_KDRCP_BAD_ARG;
  }
  uint32_t size = kOffLocationPath + static_cast<uint32_t>(pathLen) + 1;
  BeginRequest(record, KDR_GET_LOCATION_MSG, size - kHeaderSize);
  PutBE16(b, kOffTransferHandle, file->serverHandle);
  PutTag(b, kOffTransferTag, tag);
  int n = SendLogged(record, b, size, "LOCATION request");
  if (n < 0) return n;

  int total = Converse(record, file, kGetLocationRules, callback, context);
  return total < 0 ? total : 0;
}

int UploadMsg(OpenFileRecord* file, const char* localPath, ProgressCallback callback,
              void* context, char** volumeIdOut) {
  if (file == nullptr || localPath == nullptr || volumeIdOut == nullptr) return ERR_KDRCP_BAD_ARG;
  size_t pathLen = std::strlen(localPath);
  if (pathLen > kMaxCountedWrite) return ERR_KDRCP_BAD_ARG;
  ExchangeScope exchange;
  if (exchange.result() != 0) return exchange.result();
  ThreadRecord* record = exchange.record();
  int opened = RefreshServerHandle(file, record);
  if (opened < 0) return opened;

  // Both lines count 16 more bytes than the write itself.
  int n = SendHandleAndText(record, KDR_UPLOAD_MSG, file->serverHandle, localPath,
                            static_cast<uint32_t>(pathLen), "UPLOAD request", "UPLOAD filepath",
                            16);
  if (n < 0) return n;

  // The open gave the size of the vault's volume, not of the file being uploaded.
  int total = Converse(record, file, kUploadRules, callback, context, true);
  if (total < 0) return total;
  return TakeCountedText(file, record->replyBuffer, total, "volumeID", "KDR_UPLOAD_MSG", false,
                         volumeIdOut);
}

int RollbackMsg(OpenFileRecord* file, const char* volumeId) {
  if (file == nullptr) return ERR_KDRCP_BAD_ARG;
  if (volumeId == nullptr) volumeId = "";
  size_t idLen = std::strlen(volumeId);
  if (idLen > kMaxCountedWrite) return ERR_KDRCP_BAD_ARG;
  ExchangeScope exchange;
  if (exchange.result() != 0) return exchange.result();
  ThreadRecord* record = exchange.record();
  int opened = RefreshServerHandle(file, record);
  if (opened < 0) return opened;

  int n = SendHandleAndText(record, KDR_ROLLBACK_MSG, file->serverHandle, volumeId,
                            static_cast<uint32_t>(idLen), "ROLLBACK request", "ROLLBACK volumeID",
                            0);
  if (n < 0) return n;

  return ReceiveEmptyReply(record, kRollbackRules);
}

}  // namespace kdr
