// Named pipes in message mode: the transport between the proxy and the cache server.
//
// A pipe carries whole messages. One PipeWrite() on one side is one message on the other,
// which PipeRead() returns whole or in consecutive partial reads (kPipeMoreData), never mixed
// with the next message. An empty message is a message like any other; closing writes
// nothing (the peer sees the end of the stream).
//
// Names. A name that starts with "\\.\pipe\" (or "//./pipe/") lives in the per-user runtime
// directory R (runtime_dir.h): "\\.\pipe\KDRClientPipe" is R/KDRClientPipe, with every '/'
// and '\' of the rest turned into '_'. Any other name is a socket path as it stands (the
// secondary pipe names a server hands out are such paths).
//
// Connecting. A server listens on its master pipe; every client that connects there is handed
// a fresh secondary pipe (PipeHandOff) and carries all its messages on it. Both ends check
// that the other runs under the same user id; a peer of another user is refused.
//
// Results are the Windows error numbers below, so that the log lines of the layers above read
// the same on every platform; errno is translated once, where the call failed.
//
// Threads: a handle is used by one thread at a time, except PipeInterrupt(), which any thread
// may call to wake a thread blocked on the handle. Different handles are independent.
// No call raises SIGPIPE. Every descriptor is close-on-exec.
#ifndef KDR_PLATFORM_PIPES_H_
#define KDR_PLATFORM_PIPES_H_

#include <cstdint>
#include <string>

namespace kdr::platform {

// An open pipe (client end or accepted server end). Same representation as the `pipe` field
// of the proxy's thread record; all bits set is no pipe.
typedef intptr_t PipeHandle;
inline constexpr PipeHandle kNoPipe = -1;

// Result codes (Windows error numbers).
inline constexpr int kPipeOk = 0;
inline constexpr int kPipeNotFound = 2;        // ERROR_FILE_NOT_FOUND: nobody serves the name
inline constexpr int kPipeAccessDenied = 5;    // ERROR_ACCESS_DENIED: peer of another user,
                                               // or the name is served already
inline constexpr int kPipeInvalidHandle = 6;   // ERROR_INVALID_HANDLE
inline constexpr int kPipeBroken = 109;        // ERROR_BROKEN_PIPE: end of stream or I/O error
inline constexpr int kPipeTimeout = 121;       // ERROR_SEM_TIMEOUT: a wait ran out
inline constexpr int kPipeBadName = 161;       // ERROR_BAD_PATHNAME: empty, or too long for a
                                               // socket address
inline constexpr int kPipeBusy = 231;          // ERROR_PIPE_BUSY: the server's queue is full
inline constexpr int kPipeNoData = 232;        // ERROR_NO_DATA: a write found the peer gone
                                               // before any byte of it went
inline constexpr int kPipeMoreData = 234;      // ERROR_MORE_DATA: partial read of a message
inline constexpr int kPipeFailed = 31;         // ERROR_GEN_FAILURE: any other failure

// Largest message a reader accepts. A longer one announced by the peer breaks the pipe.
inline constexpr uint32_t kMaxPipeMessage = 1u << 20;

// Longest secondary pipe name message, its NUL included.
inline constexpr uint32_t kMaxPipeNameMessage = 257;

// How long a server waits for the client to come to the secondary pipe it handed out.
inline constexpr int kHandOffTimeoutMs = 10000;

// On success returns kPipeOk and the socket path of `name` in *path. Fails with kPipeBadName
// when the path is empty or does not fit a socket address, kPipeNotFound when R is refused
// (not ours, or writable by others) or cannot be made.
int PipePath(const char* name, std::string* path);

// ---- Client side ----

// Connects to the pipe `name` (CreateFile on an existing pipe). On success returns kPipeOk and
// a handle in *pipe. On failure *pipe is kNoPipe and the result is
//   kPipeNotFound      nobody listens on the name;
//   kPipeBusy          the server's queue of pending connections is full;
//   kPipeAccessDenied  the server runs under another user id;
//   kPipeBadName, kPipeFailed.
int PipeConnect(const char* name, PipeHandle* pipe);

// WaitNamedPipe: retries PipeConnect every 10 ms while it fails with kPipeBusy, for up to
// `timeout_ms`. Returns what the last attempt gave (with a connection in *pipe on success),
// or kPipeTimeout when the server stayed busy.
int PipeWaitConnect(const char* name, int timeout_ms, PipeHandle* pipe);

// Bounds every later read on the handle: a read that waits longer than `timeout_ms` fails with
// kPipeBroken (the stream is then unusable). 0 removes the bound. Returns kPipeOk,
// kPipeInvalidHandle or kPipeFailed.
int PipeSetReadTimeout(PipeHandle pipe, int timeout_ms);

// Whether the peer has gone from an idle pipe: it closed its end (or died), or the stream
// broke, with nothing left to read. Waits for nothing. False while bytes wait to be read, or
// the peer is there; true for kNoPipe.
bool PipeClosedByPeer(PipeHandle pipe);

// Waits up to `timeout_ms` (< 0: no limit) until a read on the handle has something to start
// on: bytes are buffered or have arrived, the peer closed its end, the stream broke, or
// PipeInterrupt() was called. Returns kPipeOk then (the next read tells which), kPipeTimeout
// when nothing came, kPipeInvalidHandle. Without a limit the wait is itself the first receive:
// what has arrived is taken into the handle's buffer, so the reads that follow need no further
// system call for it (a read bound of PipeSetReadTimeout does not end this wait).
int PipeWaitReadable(PipeHandle pipe, int timeout_ms);

// Selects message read mode. Succeeds on an open handle (reads are always message reads),
// fails with kPipeInvalidHandle on kNoPipe or a closed descriptor.
int PipeSetMessageMode(PipeHandle pipe);

// ---- Both sides ----

// Reads from the current message at most `count` bytes into `buf`; *done is the number read.
//   kPipeOk        the message is complete (*done may be 0: an empty message);
//   kPipeMoreData  `count` bytes were read and more of the same message remain for the next
//                  read;
//   kPipeBroken    end of stream, a transport error, or a message longer than
//                  kMaxPipeMessage; the handle stays broken (later reads and writes fail);
//   kPipeInvalidHandle.
// Blocks until the bytes asked for (or the rest of the message) are in. REQUIRES: done.
int PipeRead(PipeHandle pipe, void* buf, uint32_t count, uint32_t* done);

// Writes `count` bytes as one message, completely, or fails: kPipeNoData when the peer had
// closed its end (or died) before any byte of the message went, so it got nothing of it;
// kPipeBroken when the peer went during the write (or the handle broke before), kPipeFailed
// when `count` exceeds kMaxPipeMessage or the write fails otherwise, kPipeInvalidHandle.
// *written (when not null) is `count` on success, else 0.
int PipeWrite(PipeHandle pipe, const void* buf, uint32_t count, uint32_t* written);

// Wakes every thread blocked on the handle: their reads end as kPipeBroken, and the peer sees
// the end of the stream. The handle stays allocated until PipeClose(). Any thread may call it.
void PipeInterrupt(PipeHandle pipe);

// Releases the handle. Nothing is written: the peer sees the end of the stream. kNoPipe is
// ignored.
void PipeClose(PipeHandle pipe);

// Releases the handle; today the same as PipeClose (kept for callers that drop a connection
// abruptly, should a close ever say more).
void PipeAbort(PipeHandle pipe);

// One message of a batch: the bytes of `head` followed by those of `body` (either may be
// empty), together at most kMaxPipeMessage.
struct PipeMessageParts {
  const void* head;
  uint32_t headLen;
  const void* body;
  uint32_t bodyLen;
};
// What the stream carries for a message besides its bytes (its length).
inline constexpr uint32_t kPipeMessageOverhead = 4;
// Writes `count` messages in order, each framed as PipeWrite() frames it, with as few system
// calls as the stream takes. Results as PipeWrite(); after a failure the handle is broken and
// an unknown number of the messages went out. With `skip`, the batch's first `skip` stream
// bytes (kPipeMessageOverhead + headLen + bodyLen per message) are taken as sent already: the
// rest of a batch that PipeWriteBatchNow() began.
int PipeWriteBatch(PipeHandle pipe, const PipeMessageParts* messages, int count, uint64_t skip = 0);
// The start of a batch that never waits: writes as much of it as the stream takes at once and
// sets *sent to the stream bytes that went (possibly none). kPipeOk also when not all went;
// the rest must then follow with PipeWriteBatch(`*sent`) before anything else is written, and
// the buffers of the messages not wholly sent must hold the same bytes until then. A failure
// breaks the handle, as PipeWriteBatch().
int PipeWriteBatchNow(PipeHandle pipe, const PipeMessageParts* messages, int count, uint64_t* sent);
// Where the next messages are expected to go: exactly headLen + bodyLen bytes each, the first
// headLen into `head`, the rest into `body`.
struct PipeMessageSlots {
  void* head;
  uint32_t headLen;
  void* body;
  uint32_t bodyLen;
};
// Reads the next messages straight into their slots, without a copy through the pipe's own
// buffer, for as long as each is exactly as long as its slots and `accept(context, i)`, asked
// in order once message i is in place, takes it; *done is the number so read. The first one
// that is not (and everything behind it) stays unread for PipeRead(), as if this call had not
// touched it; its slots and those after it may have been written to. Reads no more of the
// stream than the slots ask for, and at most what the pipe's receive buffer holds: *done may be
// less than `count` when all were taken. Results as PipeRead(); kPipeOk with *done 0 while a
// message is partly read.
int PipeReadInPlace(PipeHandle pipe, const PipeMessageSlots* slots, int count,
                    bool (*accept)(void* context, int i), void* context, int* done);
// For tests that play a misbehaving server: writes `count` raw bytes to the stream, outside
// the message framing. Returns kPipeOk or a failure code as PipeWrite().
int PipeWriteRaw(PipeHandle pipe, const void* buf, uint32_t count);
// The reading side of a raw stream (a benchmark's baseline): reads exactly `count` bytes of the
// stream into `buf`, outside the message framing. Results as PipeRead() without kPipeMoreData.
int PipeReadRaw(PipeHandle pipe, void* buf, uint32_t count);

// ---- Server side ----

struct PipeListener;

// Creates the master pipe `name` (CreateNamedPipe) with room for `backlog` pending
// connections. A leftover socket of a server that is gone is replaced. On success returns
// kPipeOk and the listener in *listener; kPipeAccessDenied when a live server already serves
// the name; kPipeBadName, kPipeNotFound (R refused), kPipeFailed.
int PipeListen(const char* name, int backlog, PipeListener** listener);

// Waits up to `timeout_ms` (< 0: no limit) for a client (ConnectNamedPipe). On success returns
// kPipeOk and the server end in *pipe. kPipeTimeout when nobody came, kPipeAccessDenied when
// the client runs under another user id (its connection is dropped), kPipeBroken when the
// listener was shut down by PipeListenerShutdown(), kPipeFailed.
int PipeAccept(PipeListener* listener, int timeout_ms, PipeHandle* pipe);

// Hands a client that connected to `listener` its own secondary pipe: makes a fresh listener
// next to the master pipe, sends its full path (NUL-terminated) as one message on `master`,
// waits up to `timeout_ms` for the client to connect there, then removes the name. On success
// returns kPipeOk and the secondary server end in *pipe; `master` stays open for the caller
// to close. Failures as PipeAccept() and PipeWrite().
int PipeHandOff(PipeListener* listener, PipeHandle master, int timeout_ms, PipeHandle* pipe);

// The socket path the listener serves.
const char* PipeListenerPath(const PipeListener* listener);

// Makes a PipeAccept() blocked in another thread return kPipeBroken. The listener stays
// allocated until PipeListenerClose().
void PipeListenerShutdown(PipeListener* listener);

// Stops serving: removes the name and releases the listener. nullptr is ignored.
void PipeListenerClose(PipeListener* listener);

// The process id of the peer of a connected pipe, as the kernel recorded it when the
// connection was made (SO_PEERCRED). Returns kPipeOk with *pid set, kPipeInvalidHandle, or
// kPipeFailed. The id may since have been reused: see pipe_server.h for a stable identity.
int PipePeerProcessId(PipeHandle pipe, long* pid);

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_PIPES_H_
