// The pipe transport of the proxy: the master pipe name (with the per-user suffix of
// multi-user mode), connecting a thread through the master pipe to its own secondary pipe,
// and the pipe-level read, write, mode and close operations that the message framing uses.
//
// Trace lines go to the proxy log only while it is open.
//
// Concurrency: OpenClientPipe runs only inside ConnectProxy, with lock A held, which also
// serialises the one-time reading of the multi-user settings. ReadPipe, WritePipe and
// ClosePipe run on the thread that owns the handle (the idle monitor closes the pipes of idle
// threads only). Nothing here takes or releases a lock.
#ifndef KDR_PROTOCOL_PIPE_TRANSPORT_H_
#define KDR_PROTOCOL_PIPE_TRANSPORT_H_

#include <cstdint>

#include "client/thread_state.h"

namespace kdr {
namespace platform {
struct PipeMessageSlots;
}  // namespace platform

// The name buffer of OpenClientPipe: 256 characters and the terminating NUL.
inline constexpr int kPipeNameMax = 256;
// Largest secondary pipe name message, NUL included, and the buffer it is read into.
inline constexpr uint32_t kSecondaryNameMessage = 257;
inline constexpr uint32_t kSecondaryNameBuffer = 260;
// Read mode selected on both pipes (PIPE_READMODE_MESSAGE).
inline constexpr uint32_t kPipeReadModeMessage = 2;

// 1 when multi-user mode is on (KDR_WINDOWS_MULTIUSER is "true", "1" or "yes" in any letter
// case), else 0. The environment (with USERNAME) is read at the first call of the process.
int IsMultiUser();

// The master pipe name actually opened for `pipeName`: at most kPipeNameMax characters, with
// "_" + USERNAME appended in multi-user mode unless the name already ends with it (and is
// longer than that suffix). REQUIRES: name has kPipeNameMax + 1 bytes.
void MasterPipeName(const char* pipeName, char* name);

// Connects through the master pipe `pipeName` to a secondary pipe of this thread's own.
// Returns the connected secondary pipe in message read mode, or kInvalidPipe; *connectResult
// (when given) is then the platform result of the master pipe's connect (kPipeNotFound: no
// server listens there). A busy master pipe is waited for, 1000 ms at a time; a missing one
// fails at once.
PipeHandle OpenClientPipe(const char* pipeName, int* connectResult = nullptr);

// Reads once, at most `count` bytes of the current pipe message, into `buffer`. Returns the
// number read (at least 1; fewer than the message holds leaves the rest for the next read),
// or ERR_KDRCP_NO_SERVER (-3001) on a transport error (the pipe stays open: the next write
// fails and closes it) or an empty message (the thread's pipe is closed), or
// ERR_KDRCP_NOT_SUPPORTED (-3099) when the pipe reports more bytes than were asked for (the
// thread's pipe is closed).
int ReadPipe(PipeHandle handle, uint32_t count, void* buffer);

// ReadPipe that also tells, through *continues, whether the current message has bytes left
// after this read.
int ReadPipePart(PipeHandle handle, uint32_t count, void* buffer, bool* continues);

// Reads the next pipe messages straight into `slots` for as long as each is as long as its
// slots and `accept` takes it (platform::PipeReadInPlace). Returns the number so read (the
// first one that is not stays for ReadPipe), or ERR_KDRCP_NO_SERVER on a transport error (the
// pipe stays open, as with ReadPipe).
int ReadPipeInPlace(PipeHandle handle, const platform::PipeMessageSlots* slots, int count,
                    bool (*accept)(void* context, int i), void* context);

// Writes `count` bytes as one pipe message and stores the number written in *written (when not
// null). Returns non-zero on success, 0 on failure; *unsent (when not null) then tells whether
// the server had closed the pipe (or died) before any byte of the message went.
int WritePipe(PipeHandle handle, const void* buffer, uint32_t count, uint32_t* written,
              bool* unsent = nullptr);

// Sets the read mode of `handle`; only message mode (2) is supported. Returns 0, or
// ERR_KDRCP_NO_SERVER after closing the calling thread's pipe (CloseProxy).
int SetPipeMode(PipeHandle handle, uint32_t mode);

// Closes a pipe handle (the server sees the end of the stream); does nothing for kInvalidPipe.
// Any thread may close a handle that no other thread is using.
void ClosePipe(PipeHandle handle);

// Whether the server has gone from the idle pipe `handle` (closed its end, or died): the next
// exchange would only fail on it. Waits for nothing.
bool PipePeerGone(PipeHandle handle);

// Closes the calling thread's secondary pipe and marks its record as not connected. Does
// nothing when the thread has no record.
void CloseProxy();

// CloseProxy for a given record (the record of the thread that runs the exchange).
void CloseRecordPipe(ThreadRecord* record);

// Forgets the multi-user settings so that the next IsMultiUser() reads the environment
// again. For tests only.
void ResetMultiUserForTesting();

}  // namespace kdr

#endif  // KDR_PROTOCOL_PIPE_TRANSPORT_H_
