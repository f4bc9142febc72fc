#include "protocol/data_messages.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <limits>

#include "client/proxy_log.h"
#include "client/thread_state.h"
#include "iface/runtime.h"
#include "platform/pipes.h"
#include "protocol/message_framing.h"
#include "protocol/open_file_record.h"
#include "protocol/pipe_transport.h"

namespace kdr {

namespace {

int ShortReply(int total, const char* name, int code) {
  KdrLogPrintf("MESSAGE ERROR: Reply of %d bytes too short (%s)\n", total, name);
  return code;
}

int8_t ReplyKind(const unsigned char* reply) { return static_cast<int8_t>(reply[kOffTypeId]); }

// The first three bytes of the request tag; a shorter tag is padded with NULs, never read
// past its end.
void PutTag(unsigned char* b, const char* tag) {
  for (uint32_t i = 0; i < kRequestTagBytes; ++i) b[kOffRangeTag + i] = 0;
  if (tag == nullptr) return;
  for (uint32_t i = 0; i < kRequestTagBytes && tag[i] != '\0'; ++i) {
    b[kOffRangeTag + i] = static_cast<unsigned char>(tag[i]);
  }
}

// Builds a KDR_GET_DATA_MSG or KDR_READ_AHEAD_MSG request in the record's request buffer.
void BuildRangeRequest(ThreadRecord* record, uint32_t msgType, uint16_t serverHandle,
                       int64_t offset, int32_t length, const char* tag) {
  unsigned char* b = record->requestBuffer;
  BeginRequest(record, msgType, kRangeRequestPayload);
  PutBE16(b, kOffRequestHandle, serverHandle);
  PutBE64(b, kOffRangeOffset, offset);
  PutBE32(b, kOffRangeLength, static_cast<uint32_t>(length));
  PutTag(b, tag);
}

void BuildHandleRequest(ThreadRecord* record, uint32_t msgType, uint16_t serverHandle) {
  BeginRequest(record, msgType, kHandleRequestPayload);
  PutBE16(record->requestBuffer, kOffRequestHandle, serverHandle);
}

// The pieces of a data reply expected next, received straight into the caller's buffer: the
// server sends one piece per block of the file, so while it does, the layout of the next
// pieces is known before they come. A piece that is not as expected (another length, an end
// or error reply, a header that fails a check) stops it, and is read the ordinary way.
struct InPlacePieces {
  static constexpr int kMost = 16;
  const ThreadRecord* record;
  int64_t offsets[kMost];
  int32_t lengths[kMost];
  unsigned char heads[kMost][kDataPieceBytes];
};

// Whether piece i came as the ordinary path would take it: a normal reply to this request
// carrying the expected bytes in one pipe message.
bool TakePiece(void* context, int i) {
  const auto* in = static_cast<const InPlacePieces*>(context);
  const unsigned char* h = in->heads[i];
  return h[kOffDirection] == kDirectionReply && ReplyKind(h) == kReplyNormal &&
         GetBEU32(h, kOffPayloadLength) ==
             kDataPieceBytes - kHeaderSize + uint32_t(in->lengths[i]) &&
         GetBE16(h, kOffSeqNum) == static_cast<uint16_t>(in->record->seqNum - 1) &&
         GetBEU32(h, kOffMsgType) == kGetDataRules.msgType &&
         GetBE64(h, kDataPieceOffset) == in->offsets[i] &&
         GetBE32(h, kDataPieceLength) == in->lengths[i];
}

// Receives the pieces of destination[*got, end) that come as expected straight into place and
// moves *got past them. Returns 0 or the code of a failed read (the pipe is then closed).
int ReceivePiecesInPlace(ThreadRecord* record, int64_t base, unsigned char* destination,
                         int32_t* got, int32_t end) {
  InPlacePieces in;
  in.record = record;
  platform::PipeMessageSlots slots[InPlacePieces::kMost];
  int count = 0;
  for (int32_t at = *got; count < InPlacePieces::kMost && at < end; ++count) {
    const int64_t pos = base + at;
    const int32_t n =
        static_cast<int32_t>(std::min<int64_t>(end - at, kDataPieceMax - pos % kDataPieceMax));
    in.offsets[count] = pos;
    in.lengths[count] = n;
    slots[count] = platform::PipeMessageSlots{in.heads[count], kDataPieceBytes, destination + at,
                                              static_cast<uint32_t>(n)};
    at += n;
  }
  int done = ReadPipeInPlace(record->pipe, slots, count, &TakePiece, &in);
  if (done < 0) {
    CloseRecordPipe(record);
    return done;
  }
  for (int i = 0; i < done; ++i) {
    KdrLogPrintf("%ld byte reply received from VXN\n",
                 static_cast<long>(kDataPieceBytes + uint32_t(in.lengths[i])));
    *got += in.lengths[i];
  }
  return 0;
}

}  // namespace

int ParseOpenReply(const unsigned char* reply, int total, int16_t* handle, int64_t* size) {
  if (total < static_cast<int>(kOpenReplyMin)) return ERR_KDRCP_BAD_ARG;
  *handle = static_cast<int16_t>(GetBE16(reply, kOpenReplyHandle));
  *size = GetBE64(reply, kOpenReplySize);
  return 0;
}

uint64_t ParseOpenReplyStamp(const unsigned char* reply, int total) {
  if (total < static_cast<int>(kOpenReplyStampEnd)) return 0;
  return static_cast<uint64_t>(GetBE64(reply, kOpenReplyStamp));
}

int ParseSizeReply(const unsigned char* reply, int total, int64_t* size) {
  if (total < static_cast<int>(kSizeReplyMin)) return ERR_KDRCP_BAD_ARG;
  *size = GetBE64(reply, kSizeReplySize);
  return 0;
}

int ParseDataPiece(const unsigned char* reply, int total, int64_t expectedOffset, int32_t room,
                   DataPiece* piece, PieceFault* fault) {
  PieceFault f = PieceFault::kNone;
  *piece = DataPiece{-1, -1, nullptr};
  if (total < static_cast<int>(kDataPieceBytes)) {
    f = PieceFault::kShort;
  } else {
    piece->offset = GetBE64(reply, kDataPieceOffset);
    piece->length = GetBE32(reply, kDataPieceLength);
    // payloadLength - 12 is the room the reply really has for bytes; `total` is 12 +
    // payloadLength as ReceiveReply read it.
    int64_t carried = static_cast<int64_t>(total) - kDataPieceBytes;
    if (piece->offset != expectedOffset) {
      f = PieceFault::kOffset;
    } else if (piece->length != carried) {
      f = PieceFault::kLength;
    } else if (piece->length > room) {
      f = PieceFault::kOverflow;
    } else {
      piece->bytes = reply + kDataPieceBytes;
    }
  }
  if (fault != nullptr) *fault = f;
  switch (f) {
    case PieceFault::kNone:
      return 0;
    case PieceFault::kOffset:
      return ERR_KDRCP_SEQUENCE;
    default:
      return ERR_KDRCP_MSG_DATA;
  }
}

int OpenMsg(OpenFileRecord* file) {
  if (file == nullptr || file->ticket == nullptr) return ERR_KDRCP_BAD_ARG;
  size_t length = std::strlen(file->ticket);
  if (length > static_cast<size_t>(kTicketMaxLength)) return ERR_KDRCP_BAD_ARG;
  ExchangeScope exchange;
  if (exchange.result() != 0) return exchange.result();
  ThreadRecord* record = exchange.record();

  uint32_t withNul = static_cast<uint32_t>(length) + 1;
  BeginRequest(record, KDR_OPEN_MSG, withNul);
  int n = SendLogged(record, record->requestBuffer, kHeaderSize, "OPEN request");
  if (n < 0) return n;
  n = SendLogged(record, file->ticket, withNul, "OPEN ticket");
  if (n < 0) return n;

  int total = ReceiveFinalReply(record, kOpenRules, false, true);
  if (total < 0) return total;
  int16_t handle = 0;
  int64_t size = 0;
  int c = ParseOpenReply(record->replyBuffer, total, &handle, &size);
  if (c != 0) return ShortReply(total, "KDR_OPEN_MSG", c);
  file->fileSize = size;
  file->volumeStamp = ParseOpenReplyStamp(record->replyBuffer, total);
  file->serverHandle = static_cast<uint16_t>(handle);
  file->serverInstance = record->serverInstance;
  return handle;
}

int RefreshServerHandle(OpenFileRecord* file, ThreadRecord* record) {
  if (file->serverHandle != kNoServerHandle && file->serverInstance == record->serverInstance) {
    return 0;
  }
  if (file->serverHandle != kNoServerHandle) {
    // Handles are numbered by each server instance afresh: after a restart this number may
    // name another file. The file is opened again at the live server.
    KdrLogPrintf("Server instance changed: reopening file handle %d\n",
                 static_cast<int>(static_cast<int16_t>(file->serverHandle)));
    file->serverHandle = kNoServerHandle;
  }
  const int64_t knownSize = file->fileSize;
  const uint64_t knownStamp = file->volumeStamp;
  int r = OpenMsg(file);  // nested exchange: the caller's pin stays in place
  if (r < 0) return r;
  return CheckSameVolume(file, knownSize, knownStamp);
}

int CheckSameVolume(OpenFileRecord* file, int64_t knownSize, uint64_t knownStamp) {
  // A new volume may have come while no server ran (or before this one noticed it).
  bool same = false;
  if (file->volumeChanged) {
    same = false;
  } else if (knownStamp != 0) {
    same = file->volumeStamp == knownStamp;
  } else if (knownSize < 0) {
    return 0;  // the first open: the handle takes the volume it found
  } else {
    // Opened where no stamp was given: the size is all there is to compare, and the handle
    // stays without a stamp (so it never reads the store).
    same = file->fileSize == knownSize;
    file->volumeStamp = 0;
  }
  if (same) {
    if (knownSize >= 0) file->fileSize = knownSize;
    return 0;
  }
  file->volumeChanged = true;
  file->fileSize = knownSize;
  file->volumeStamp = knownStamp;
  KdrSetErrorText(kFileChangedText);
  return ERR_KDRCP_BAD_FILE;
}

int64_t GetSizeMsg(OpenFileRecord* file) {
  if (file == nullptr) return ERR_KDRCP_BAD_ARG;
  if (file->fileSize >= 0) return file->fileSize;
  ExchangeScope exchange;
  if (exchange.result() != 0) return exchange.result();
  ThreadRecord* record = exchange.record();
  if (file->serverHandle == kNoServerHandle || file->serverInstance != record->serverInstance) {
    int r = RefreshServerHandle(file, record);
    if (r < 0) return r;
    if (file->fileSize >= 0) return file->fileSize;
  }

  BuildHandleRequest(record, KDR_GET_SIZE_MSG, file->serverHandle);
  int n = SendLogged(record, record->requestBuffer, kHandleRequestSize, "SIZE request");
  if (n < 0) return n;

  int total = ReceiveFinalReply(record, kGetSizeRules, false, true);
  if (total < 0) return total;
  int64_t size = 0;
  int c = ParseSizeReply(record->replyBuffer, total, &size);
  if (c != 0) return ShortReply(total, "KDR_GET_SIZE_MSG", c);
  return size;
}

namespace {

// GetDataMsg; `again` for its second try. A read streams exchange after exchange, so the first
// try does not look at the idle pipe before the request (a system call each): a server that went
// away meanwhile shows when the request finds the pipe closed before any byte of it went, and
// the read starts again, once, on a new connection.
int GetData(OpenFileRecord* file, const char* tag, unsigned char* destination, int32_t end,
            int32_t start, bool again) {
  if (start >= end) return start;
  if (file == nullptr || destination == nullptr || start < 0 || file->position < 0 ||
      file->position > std::numeric_limits<int64_t>::max() - end) {
    return ERR_KDRCP_BAD_ARG;
  }
  ExchangeScope exchange(again ? ExchangeScope::kLookFirst : ExchangeScope::kBySend);
  if (exchange.result() != 0) return exchange.result();
  ThreadRecord* record = exchange.record();
  int opened = RefreshServerHandle(file, record);
  if (opened < 0) return opened;

  const int64_t base = file->position;
  BuildRangeRequest(record, KDR_GET_DATA_MSG, file->serverHandle, base + start, end - start, tag);
  bool unsent = false;
  int n = SendLogged(record, record->requestBuffer, kRangeRequestSize, "READ request", 0, &unsent);
  if (n < 0 && unsent && !again) {
    KdrLogPrintf("The cache server closed the pipe; connecting again\n");
    return GetData(file, tag, destination, end, start, true);
  }
  if (n < 0) return n;

  unsigned char* reply = record->replyBuffer;
  int32_t got = start;
  for (;;) {
    // Straight into place for as long as the pieces come as expected; the one that does not
    // is read the ordinary way.
    for (int32_t before = -1; got != before && got < end;) {
      before = got;
      if (int r = ReceivePiecesInPlace(record, base, destination, &got, end); r < 0) return r;
    }
    if (got >= end) return got;
    // Only a piece's header goes into the reply buffer: its bytes go straight from the pipe
    // into the caller's buffer once the header has been checked.
    ReplyHead head{};
    int total = ReceiveCheckedHead(record, kGetDataRules, kDataPieceBytes, &head);
    if (total < 0) return total;
    switch (ReplyKind(reply)) {
      case kReplyNormal: {
        DataPiece piece;
        PieceFault fault;
        int c = ParseDataPiece(reply, total, base + got, end - got, &piece, &fault);
        // A rejected piece leaves the rest of the series in the pipe: give the connection up.
        if (fault != PieceFault::kNone) CloseRecordPipe(record);
        switch (fault) {
          case PieceFault::kNone:
            break;
          case PieceFault::kShort:
            return ShortReply(total, "KDR_GET_DATA_MSG", c);
          case PieceFault::kOffset:
            KdrLogPrintf("MESSAGE ERROR: Invalid offset %" PRId64 ", expected %" PRId64 "\n",
                         piece.offset, base + got);
            return c;
          case PieceFault::kLength:
            KdrLogPrintf("MESSAGE ERROR: Invalid length %ld, expected %ld\n",
                         static_cast<long>(piece.length),
                         static_cast<long>(total) - static_cast<long>(kDataPieceBytes));
            return c;
          case PieceFault::kOverflow:
            KdrLogPrintf("MESSAGE ERROR: Invalid length %ld, expected at most %ld\n",
                         static_cast<long>(piece.length), static_cast<long>(end - got));
            return c;
        }
        int r = ReceiveTail(record, &head, destination + got);
        if (r < 0) return r;
        got += piece.length;
        if (got >= end) return got;
        break;
      }
      case kReplyError: {
        int r = ReceiveTail(record, &head, reply + head.got);
        return r < 0 ? r : ErrorReplyResult(reply, total, true, true);
      }
      case kReplyEnd: {
        int r = ReceiveTail(record, &head, reply + head.got);
        return r < 0 ? r : got;
      }
      default:
        CloseRecordPipe(record);  // the series may go on behind it
        return InvalidTypeId(reply);
    }
  }
}

}  // namespace

int GetDataMsg(OpenFileRecord* file, const char* tag, unsigned char* destination, int32_t end,
               int32_t start) {
  return GetData(file, tag, destination, end, start, false);
}

int ReadAheadMsg(OpenFileRecord* file, const char* tag, int64_t offset, int32_t length) {
  if (file == nullptr) return ERR_KDRCP_BAD_ARG;
  ExchangeScope exchange;
  if (exchange.result() != 0) return exchange.result();
  ThreadRecord* record = exchange.record();
  int opened = RefreshServerHandle(file, record);  // nested exchange: the pin stays
  if (opened < 0) return opened;

  BuildRangeRequest(record, KDR_READ_AHEAD_MSG, file->serverHandle, offset, length, tag);
  int n = SendLogged(record, record->requestBuffer, kRangeRequestSize, "READ AHEAD request");
  if (n < 0) return n;

  return ReceiveEmptyReply(record, kReadAheadRules);
}

int CloseMsg(OpenFileRecord* file) {
  if (file == nullptr) return ERR_KDRCP_BAD_ARG;
  int16_t handle = static_cast<int16_t>(file->serverHandle);
  KdrLogPrintf("Close file handle %d\n", static_cast<int>(handle));
  PinnedRecord pin;
  ThreadRecord* record = pin.get();
  if (record == nullptr) return ERR_KDRCP_THREAD_COUNT;
  if (handle < 0) return 0;
  int r = ConnectIfNeeded(record);
  if (r != 0) return r;
  // A handle of an earlier server instance means nothing (or another file) to this one.
  if (file->serverInstance != record->serverInstance) return 0;

  BuildHandleRequest(record, KDR_CLOSE_MSG, file->serverHandle);
  int n = SendLogged(record, record->requestBuffer, kHandleRequestSize, "CLOSE request");
  if (n < 0) return n;

  return ReceiveEmptyReply(record, kCloseRules);
}

}  // namespace kdr
