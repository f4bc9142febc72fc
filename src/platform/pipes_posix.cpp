// Message-mode pipes over Unix-domain stream sockets.
//
// Framing, the same in both directions: a 4-byte big-endian length L, then L bytes. The
// reader keeps, per handle, how much of the current message is still unread, which is what
// lets a short read leave the rest of a message for the next read (ERROR_MORE_DATA).
//
// A handle is a heap record behind an intptr_t; the record's descriptor never changes while
// the handle lives, so PipeInterrupt() may use it from any thread.
#include "platform/pipes.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/fault.h"
#include "platform/runtime_dir.h"

namespace kdr::platform {

struct PipeListener {
  int fd;
  std::string path;
  std::atomic<bool> stopping;
};

namespace {

constexpr char kPipePrefix[] = "\\\\.\\pipe\\";
constexpr char kPipePrefixSlash[] = "//./pipe/";
constexpr size_t kPipePrefixLen = sizeof(kPipePrefix) - 1;
constexpr size_t kMaxSocketPath = sizeof(sockaddr_un::sun_path) - 1;
constexpr int kBusyRetryMs = 10;
constexpr int kAcceptSliceMs = 50;  // how often a waiting accept looks at the stop flag

// What a reader takes from the socket per recv: many small frames (or the header of a frame and
// the start of its payload) come in with one call; a 1 MiB read's 64 frames in about four. It is
// allocated at a pipe's first read. A client reads the large replies; the server's end of a
// connection reads requests of a few KiB, and a server has a thousand of them.
constexpr uint32_t kClientReceiveBuffer = 256 * 1024;
constexpr uint32_t kServerReceiveBuffer = 64 * 1024;

// What a writer may have in the socket before it waits for the reader (the kernel doubles it).
constexpr size_t kSendBuffer = 1024 * 1024;

struct Pipe {
  int fd;
  uint32_t remaining;  // unread bytes of the current message
  bool in_message;     // the length of the current message has been read
  bool broken;         // end of stream or an error was seen: the stream is unusable
  // Bytes received but not yet read: [head, tail) of `buffer` (allocated at the first read).
  unsigned char* buffer;
  uint32_t capacity;  // of `buffer`
  uint32_t head;
  uint32_t tail;
};

Pipe* FromHandle(PipeHandle h) {
  if (h == kNoPipe || h == 0) return nullptr;
  return reinterpret_cast<Pipe*>(h);
}

PipeHandle ToHandle(Pipe* p) { return reinterpret_cast<PipeHandle>(p); }

PipeHandle NewHandle(int fd, uint32_t receiveBuffer) {
  // Room in the socket for a whole reply of many frames (a 1 MiB read is 64 of them), so the
  // writer does not stop and wait for the reader in the middle of it. The system caps it
  // (net.core.wmem_max); failing to raise it only costs speed.
  int sendBuffer = static_cast<int>(kSendBuffer);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  Pipe* p = new Pipe{fd, 0, false, false, nullptr, receiveBuffer, 0, 0};
  return ToHandle(p);
}

void CloseFd(int fd) {
  // Never retried: the descriptor is gone after close() returns, EINTR or not.
  if (fd >= 0) ::close(fd);
}

int TranslateErrno(int err) {
  // Translation of a transport errno into a pipe result.
  switch (err) {
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
    case ESHUTDOWN:
      return kPipeBroken;
    case EBADF:
    case ENOTSOCK:
      return kPipeInvalidHandle;
    default:
      return kPipeFailed;
  }
}

bool FillAddress(const std::string& path, sockaddr_un* addr) {
  if (path.empty() || path.size() > kMaxSocketPath) return false;
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  std::memcpy(addr->sun_path, path.data(), path.size());
  return true;
}

// Whether the process at the other end of `fd` runs under our own user id.
bool PeerIsOurUser(int fd) {
  ucred cred;
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  return cred.uid == geteuid();
}

// Receives exactly `len` bytes. Returns kPipeOk or the failure (end of stream is kPipeBroken).
int RecvAll(int fd, unsigned char* buf, size_t len) {
  size_t got = 0;
  while (got < len) {
    if (FaultHit(Sys::kRecv)) return TranslateErrno(errno);
    ssize_t n = ::recv(fd, buf + got, len - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n == 0) {
      return kPipeBroken;
    } else if (errno != EINTR) {
      return TranslateErrno(errno);
    }
  }
  return kPipeOk;
}

// The pipe's receive buffer, allocated at its first use; false when it cannot be had (the
// caller then reads without it).
bool HasBuffer(Pipe* p) {
  if (p->buffer == nullptr) p->buffer = new (std::nothrow) unsigned char[p->capacity];
  return p->buffer != nullptr;
}

// Receives exactly `len` bytes through the pipe's receive buffer: what is buffered first, then
// with one recvmsg per call the rest straight into `buf` and whatever the socket holds beyond
// it into the buffer, so a frame that runs past the buffered bytes is not copied twice and the
// frames behind it come in with the same call.
int ReceiveAll(Pipe* p, unsigned char* buf, size_t len) {
  size_t got = 0;
  for (;;) {
    size_t have = p->tail - p->head;
    if (have > 0) {
      size_t n = have < len - got ? have : len - got;
      std::memcpy(buf + got, p->buffer + p->head, n);
      p->head += static_cast<uint32_t>(n);
      got += n;
    }
    if (got == len) return kPipeOk;
    p->head = p->tail = 0;
    if (!HasBuffer(p)) return RecvAll(p->fd, buf + got, len - got);
    const size_t rest = len - got;
    iovec iov[2] = {{buf + got, rest}, {p->buffer, p->capacity}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    for (;;) {
      if (FaultHit(Sys::kRecv)) return TranslateErrno(errno);
      ssize_t n = ::recvmsg(p->fd, &msg, 0);
      if (n > 0) {
        size_t took = static_cast<size_t>(n);
        if (took <= rest) {
          got += took;
        } else {
          got = len;
          p->tail = static_cast<uint32_t>(took - rest);
        }
        break;
      }
      if (n == 0) return kPipeBroken;
      if (errno != EINTR) return TranslateErrno(errno);
    }
  }
}

// Sends every byte of the `count` buffers, looping over partial sends. With MSG_DONTWAIT in
// `flags` it stops where the stream is full and returns kPipeTimeout; *took (when given) is
// the number of bytes sent.
int SendAll(int fd, iovec* iov, int count, int flags = 0, size_t* took = nullptr) {
  while (count > 0) {
    if (iov->iov_len == 0) {
      ++iov;
      --count;
      continue;
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(count);
    if (FaultHit(Sys::kSend)) return TranslateErrno(errno);
    ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | flags);
    if (n < 0) {
      if (errno == EINTR) continue;
      if ((flags & MSG_DONTWAIT) != 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return kPipeTimeout;
      }
      return TranslateErrno(errno);
    }
    if (took != nullptr) *took += static_cast<size_t>(n);
    size_t left = static_cast<size_t>(n);
    while (count > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<unsigned char*>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
  return kPipeOk;
}

// Creates a listening socket at `path`. A socket file left behind by a server that is gone
// is replaced; a live server at the path, or a file that is not a socket, is left alone.
int ListenAt(const std::string& path, int backlog, int* out_fd) {
  sockaddr_un addr;
  if (!FillAddress(path, &addr)) return kPipeBadName;
  if (FaultHit(Sys::kSocket)) return kPipeFailed;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kPipeFailed;
  for (int attempt = 0;; ++attempt) {
    int rc = FaultHit(Sys::kBind) ? -1 : ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    if (rc == 0) break;
    int err = errno;
    if (err != EADDRINUSE || attempt > 0) {
      CloseFd(fd);
      return err == EADDRINUSE ? kPipeAccessDenied : kPipeFailed;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
      CloseFd(fd);
      return kPipeAccessDenied;
    }
    // Probe: a live server accepts (or is busy); a leftover refuses.
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0) {
      CloseFd(fd);
      return kPipeFailed;
    }
    int prc = ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int perr = errno;
    CloseFd(probe);
    if (prc == 0 || perr != ECONNREFUSED) {
      CloseFd(fd);
      return kPipeAccessDenied;
    }
    ::unlink(path.c_str());
  }
  if (FaultHit(Sys::kListen) || ::listen(fd, backlog) != 0) {
    CloseFd(fd);
    ::unlink(path.c_str());
    return kPipeFailed;
  }
  *out_fd = fd;
  return kPipeOk;
}

}  // namespace

int PipePath(const char* name, std::string* path) {
  if (name == nullptr || *name == '\0') return kPipeBadName;
  size_t len = std::strlen(name);
  if (len >= kPipePrefixLen && (std::memcmp(name, kPipePrefix, kPipePrefixLen) == 0 ||
                                std::memcmp(name, kPipePrefixSlash, kPipePrefixLen) == 0)) {
    int err = RuntimePath("", std::string_view(name + kPipePrefixLen, len - kPipePrefixLen),
                          kMaxSocketPath, path);
    if (err == 0) return kPipeOk;
    // A runtime directory we may not use makes the pipe as absent as a missing server.
    return (err == EINVAL || err == ENAMETOOLONG) ? kPipeBadName : kPipeNotFound;
  }
  if (len > kMaxSocketPath) return kPipeBadName;
  path->assign(name, len);
  return kPipeOk;
}

int PipeConnect(const char* name, PipeHandle* pipe) {
  *pipe = kNoPipe;
  std::string path;
  int rc = PipePath(name, &path);
  if (rc != kPipeOk) return rc;
  sockaddr_un addr;
  if (!FillAddress(path, &addr)) return kPipeBadName;

  if (FaultHit(Sys::kSocket)) return kPipeFailed;
  // Non-blocking for the connect only: a full queue then reports EAGAIN (busy) at once
  // instead of blocking.
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return kPipeFailed;
  int crc;
  do {
    crc = FaultHit(Sys::kConnect) ? -1
                                  : ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (crc != 0 && errno == EINTR);
  if (crc != 0 && errno != EISCONN) {
    int err = errno;
    CloseFd(fd);
    switch (err) {
      case ENOENT:
      case ECONNREFUSED:
      case ENOTDIR:
        return kPipeNotFound;
      case EAGAIN:
        return kPipeBusy;
      case EACCES:
      case EPERM:
        return kPipeAccessDenied;
      default:
        return kPipeFailed;
    }
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    CloseFd(fd);
    return kPipeFailed;
  }
  if (!PeerIsOurUser(fd)) {
    CloseFd(fd);
    return kPipeAccessDenied;
  }
  *pipe = NewHandle(fd, kClientReceiveBuffer);
  return kPipeOk;
}

int PipeWaitConnect(const char* name, int timeout_ms, PipeHandle* pipe) {
  *pipe = kNoPipe;
  int32_t start = MonotonicMs();
  for (;;) {
    SleepMs(kBusyRetryMs);
    int rc = PipeConnect(name, pipe);
    if (rc != kPipeBusy) return rc;
    int32_t elapsed = ElapsedMs(start, MonotonicMs());
    // Whole milliseconds at both ends: only more than the wait asked for is surely all of it.
    if (elapsed > timeout_ms) return kPipeTimeout;
  }
}

int PipeSetReadTimeout(PipeHandle pipe, int timeout_ms) {
  Pipe* p = FromHandle(pipe);
  if (p == nullptr) return kPipeInvalidHandle;
  timeval tv{};
  if (timeout_ms > 0) {
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
  }
  if (::setsockopt(p->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
    return TranslateErrno(errno);
  }
  return kPipeOk;
}

bool PipeClosedByPeer(PipeHandle pipe) {
  Pipe* p = FromHandle(pipe);
  if (p == nullptr || p->broken) return true;
  if (p->in_message || p->head != p->tail) return false;
  char c;
  ssize_t n;
  do {
    n = ::recv(p->fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

int PipeWaitReadable(PipeHandle pipe, int timeout_ms) {
  Pipe* p = FromHandle(pipe);
  if (p == nullptr) return kPipeInvalidHandle;
  if (p->broken || p->in_message || p->head != p->tail) return kPipeOk;
  if (timeout_ms < 0 && HasBuffer(p)) {
    // Waiting without a limit is the first read: one blocking recv takes whatever has come
    // (the whole of a small request, mostly) into the buffer, where the reads that follow find
    // it. A read bound set on the handle (SO_RCVTIMEO) does not end this wait.
    for (;;) {
      if (FaultHit(Sys::kRecv)) break;
      ssize_t n = ::recv(p->fd, p->buffer, p->capacity, 0);
      if (n > 0) {
        p->head = 0;
        p->tail = static_cast<uint32_t>(n);
        return kPipeOk;
      }
      if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) break;
    }
    // End of stream, or a failure: the read that follows reports it.
    p->broken = true;
    return kPipeOk;
  }
  pollfd pfd{p->fd, POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&pfd, 1, timeout_ms < 0 ? -1 : timeout_ms);
  } while (rc < 0 && errno == EINTR);
  if (rc == 0) return kPipeTimeout;
  return kPipeOk;  // readable, closed, or failed: the read that follows reports it
}

int PipeSetMessageMode(PipeHandle pipe) {
  Pipe* p = FromHandle(pipe);
  if (p == nullptr || ::fcntl(p->fd, F_GETFD) < 0) return kPipeInvalidHandle;
  return kPipeOk;
}

int PipeRead(PipeHandle pipe, void* buf, uint32_t count, uint32_t* done) {
  *done = 0;
  Pipe* p = FromHandle(pipe);
  if (p == nullptr) return kPipeInvalidHandle;
  if (p->broken) return kPipeBroken;
  if (!p->in_message) {
    unsigned char len[4];
    int rc = ReceiveAll(p, len, sizeof len);
    if (rc != kPipeOk) {
      p->broken = true;
      return rc == kPipeInvalidHandle ? rc : kPipeBroken;
    }
    uint32_t n = (uint32_t{len[0]} << 24) | (uint32_t{len[1]} << 16) | (uint32_t{len[2]} << 8) |
                 uint32_t{len[3]};
    if (n > kMaxPipeMessage) {
      // Not a length any writer of ours produces: the stream is garbage from here on.
      p->broken = true;
      return kPipeBroken;
    }
    p->remaining = n;
    p->in_message = true;
  }
  uint32_t want = count < p->remaining ? count : p->remaining;
  if (want > 0) {
    int rc = ReceiveAll(p, static_cast<unsigned char*>(buf), want);
    if (rc != kPipeOk) {
      p->broken = true;
      return rc == kPipeInvalidHandle ? rc : kPipeBroken;
    }
  }
  p->remaining -= want;
  *done = want;
  if (p->remaining > 0) return kPipeMoreData;
  p->in_message = false;
  return kPipeOk;
}

int PipeWrite(PipeHandle pipe, const void* buf, uint32_t count, uint32_t* written) {
  if (written != nullptr) *written = 0;
  Pipe* p = FromHandle(pipe);
  if (p == nullptr) return kPipeInvalidHandle;
  if (p->broken) return kPipeBroken;
  if (count > kMaxPipeMessage || (count > 0 && buf == nullptr)) return kPipeFailed;
  unsigned char len[4] = {static_cast<unsigned char>(count >> 24),
                          static_cast<unsigned char>(count >> 16),
                          static_cast<unsigned char>(count >> 8),
                          static_cast<unsigned char>(count)};
  iovec iov[2];
  iov[0].iov_base = len;
  iov[0].iov_len = sizeof len;
  iov[1].iov_base = const_cast<void*>(buf);
  iov[1].iov_len = count;
  size_t took = 0;
  int rc = SendAll(p->fd, iov, 2, 0, &took);
  if (rc != kPipeOk) {
    // A message may have gone out in part: nothing sensible can follow it on this stream.
    p->broken = true;
    return rc == kPipeBroken && took == 0 ? kPipeNoData : rc;
  }
  if (written != nullptr) *written = count;
  return kPipeOk;
}

namespace {

// The batch's messages from stream byte `skip` on, sent with up to kPerCall messages per
// sendmsg (three buffers each, well inside IOV_MAX). Without `wait` the first send that would
// block ends it (*sent says how far it got). On a failure the handle is broken.
int SendBatch(Pipe* p, const PipeMessageParts* messages, int count, uint64_t skip, bool wait,
              uint64_t* sent) {
  for (int i = 0; i < count; ++i) {
    const PipeMessageParts& m = messages[i];
    if (uint64_t{m.headLen} + m.bodyLen > kMaxPipeMessage || (m.headLen > 0 && m.head == nullptr) ||
        (m.bodyLen > 0 && m.body == nullptr))
      return kPipeFailed;
  }
  constexpr int kPerCall = 64;
  unsigned char lengths[kPerCall][4];
  iovec iov[3 * kPerCall];
  uint64_t done = 0;  // stream bytes of the messages before `first`
  for (int first = 0; first < count; first += kPerCall) {
    int n = count - first < kPerCall ? count - first : kPerCall;
    int used = 0;
    uint64_t before = done;
    for (int i = 0; i < n; ++i) {
      const PipeMessageParts& m = messages[first + i];
      uint32_t len = m.headLen + m.bodyLen;
      for (int k = 0; k < 4; ++k) lengths[i][k] = static_cast<unsigned char>(len >> (24 - 8 * k));
      const iovec parts[3] = {{lengths[i], 4},
                              {const_cast<void*>(m.head), m.headLen},
                              {const_cast<void*>(m.body), m.bodyLen}};
      for (const iovec& v : parts) {
        // What `skip` covers was sent before: only the rest of each buffer goes.
        uint64_t at = done;
        done += v.iov_len;
        if (done <= skip) continue;
        size_t from = at >= skip ? 0 : static_cast<size_t>(skip - at);
        iov[used++] = iovec{static_cast<unsigned char*>(v.iov_base) + from, v.iov_len - from};
      }
    }
    if (used == 0) continue;
    size_t took = 0;
    int rc = SendAll(p->fd, iov, used, wait ? 0 : MSG_DONTWAIT, &took);
    if (sent != nullptr) *sent = (before > skip ? before : skip) + took;
    if (rc == kPipeTimeout) return kPipeOk;  // the stream is full: the caller sends the rest
    if (rc != kPipeOk) {
      p->broken = true;
      return rc;
    }
  }
  if (sent != nullptr) *sent = done > skip ? done : skip;
  return kPipeOk;
}

}  // namespace

int PipeWriteBatch(PipeHandle pipe, const PipeMessageParts* messages, int count, uint64_t skip) {
  Pipe* p = FromHandle(pipe);
  if (p == nullptr) return kPipeInvalidHandle;
  if (p->broken) return kPipeBroken;
  return SendBatch(p, messages, count, skip, true, nullptr);
}

int PipeWriteBatchNow(PipeHandle pipe, const PipeMessageParts* messages, int count,
                      uint64_t* sent) {
  *sent = 0;
  Pipe* p = FromHandle(pipe);
  if (p == nullptr) return kPipeInvalidHandle;
  if (p->broken) return kPipeBroken;
  return SendBatch(p, messages, count, 0, false, sent);
}

namespace {

// Copies stream bytes [from, to) of the buffers `iov` (in order, as one stream) to `out`.
void GatherRange(const iovec* iov, int count, size_t from, size_t to, unsigned char* out) {
  size_t at = 0;
  for (int i = 0; i < count && at < to; ++i) {
    const size_t len = iov[i].iov_len;
    const size_t a = from > at ? from - at : 0;
    const size_t b = to - at < len ? to - at : len;
    if (a < b) {
      std::memcpy(out, static_cast<const unsigned char*>(iov[i].iov_base) + a, b - a);
      out += b - a;
    }
    at += len;
  }
}

// Copies `n` bytes from `in` into the buffers `iov` from their stream byte `from` on.
void ScatterRange(const iovec* iov, int count, size_t from, const unsigned char* in, size_t n) {
  size_t at = 0;
  for (int i = 0; i < count && n > 0; ++i) {
    const size_t len = iov[i].iov_len;
    if (from < at + len) {
      const size_t a = from > at ? from - at : 0;
      const size_t k = len - a < n ? len - a : n;
      std::memcpy(static_cast<unsigned char*>(iov[i].iov_base) + a, in, k);
      in += k;
      n -= k;
      from += k;
    }
    at += len;
  }
}

}  // namespace

int PipeReadInPlace(PipeHandle pipe, const PipeMessageSlots* slots, int count,
                    bool (*accept)(void* context, int i), void* context, int* done) {
  *done = 0;
  Pipe* p = FromHandle(pipe);
  if (p == nullptr) return kPipeInvalidHandle;
  if (p->broken) return kPipeBroken;
  if (p->in_message) return kPipeOk;
  // Never more than the receive buffer holds: whatever was taken past a message that is not
  // as expected goes back into it.
  constexpr int kMost = 32;
  size_t total = 0;
  int n = 0;
  for (; n < count && n < kMost; ++n) {
    const size_t len = 4 + size_t{slots[n].headLen} + slots[n].bodyLen;
    if (total + len > p->capacity || len - 4 > kMaxPipeMessage) break;
    total += len;
  }
  if (n == 0) return kPipeOk;
  if (!HasBuffer(p)) return kPipeOk;
  unsigned char lengths[kMost][4];
  iovec iov[3 * kMost];
  for (int i = 0; i < n; ++i) {
    iov[3 * i] = iovec{lengths[i], 4};
    iov[3 * i + 1] = iovec{slots[i].head, slots[i].headLen};
    iov[3 * i + 2] = iovec{slots[i].body, slots[i].bodyLen};
  }
  const int iovs = 3 * n;
  // Buffered bytes first, then the socket's, until all are in or a length is not the one the
  // slots expect.
  const uint32_t head0 = p->head;
  if (p->tail - p->head >= 4) {
    // The next message is buffered already: one of another length is left where it is.
    const unsigned char* l = p->buffer + p->head;
    const uint32_t said =
        (uint32_t{l[0]} << 24) | (uint32_t{l[1]} << 16) | (uint32_t{l[2]} << 8) | l[3];
    if (said != slots[0].headLen + slots[0].bodyLen) return kPipeOk;
  }
  const size_t buffered = p->tail - p->head < total ? p->tail - p->head : total;
  ScatterRange(iov, iovs, 0, p->buffer + p->head, buffered);
  p->head += static_cast<uint32_t>(buffered);
  size_t got = buffered;
  // Each message is taken as soon as it is in place, and the first one that is not taken ends
  // the read at once: nothing after it is waited for (an error reply may be the last message
  // the peer sends).
  int taken = 0;
  size_t takenEnd = 0;  // where the next one starts
  bool odd = false;     // message `taken` is not as expected
  int rc = kPipeOk;
  for (;;) {
    while (taken < n && !odd) {
      const size_t len = 4 + size_t{slots[taken].headLen} + slots[taken].bodyLen;
      if (got < takenEnd + 4) break;
      const unsigned char* l = lengths[taken];
      const uint32_t said =
          (uint32_t{l[0]} << 24) | (uint32_t{l[1]} << 16) | (uint32_t{l[2]} << 8) | l[3];
      if (said != len - 4) {
        odd = true;
        break;
      }
      if (got < takenEnd + len) break;
      if (!accept(context, taken)) {
        odd = true;
        break;
      }
      takenEnd += len;
      ++taken;
    }
    if (odd || taken == n) break;
    // The rest of the slots, from stream byte `got` on.
    iovec rest[3 * kMost];
    int restCount = 0;
    size_t at = 0;
    for (int i = 0; i < iovs; ++i) {
      const size_t len = iov[i].iov_len;
      if (got < at + len) {
        const size_t a = got > at ? got - at : 0;
        rest[restCount++] = iovec{static_cast<unsigned char*>(iov[i].iov_base) + a, len - a};
      }
      at += len;
    }
    msghdr msg{};
    msg.msg_iov = rest;
    msg.msg_iovlen = static_cast<size_t>(restCount);
    if (FaultHit(Sys::kRecv)) {
      rc = TranslateErrno(errno);
      break;
    }
    ssize_t r = ::recvmsg(p->fd, &msg, 0);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r == 0) {
      rc = kPipeBroken;
      break;
    } else if (errno != EINTR) {
      rc = TranslateErrno(errno);
      break;
    }
  }
  if (rc != kPipeOk) {
    p->broken = true;
    return rc == kPipeInvalidHandle ? rc : kPipeBroken;
  }
  *done = taken;
  if (takenEnd < got) {
    // Back into the buffer, in stream order: what came from it is still there; what the socket
    // gave goes behind it.
    if (takenEnd < buffered) {
      p->head = head0 + static_cast<uint32_t>(takenEnd);
      if (got > buffered) {
        // The buffer was emptied to its tail: close the gap at its start, then append.
        const uint32_t keep = p->tail - p->head;
        std::memmove(p->buffer, p->buffer + p->head, keep);
        p->head = 0;
        p->tail = keep;
        GatherRange(iov, iovs, buffered, got, p->buffer + p->tail);
        p->tail += static_cast<uint32_t>(got - buffered);
      }
    } else {
      p->head = p->tail = 0;
      GatherRange(iov, iovs, takenEnd, got, p->buffer);
      p->tail = static_cast<uint32_t>(got - takenEnd);
    }
  }
  return kPipeOk;
}

int PipeWriteRaw(PipeHandle pipe, const void* buf, uint32_t count) {
  Pipe* p = FromHandle(pipe);
  if (p == nullptr) return kPipeInvalidHandle;
  iovec iov[1];
  iov[0].iov_base = const_cast<void*>(buf);
  iov[0].iov_len = count;
  return SendAll(p->fd, iov, 1);
}

int PipeReadRaw(PipeHandle pipe, void* buf, uint32_t count) {
  Pipe* p = FromHandle(pipe);
  if (p == nullptr) return kPipeInvalidHandle;
  if (p->broken) return kPipeBroken;
  int rc = ReceiveAll(p, static_cast<unsigned char*>(buf), count);
  if (rc != kPipeOk) p->broken = true;
  return rc == kPipeOk || rc == kPipeInvalidHandle ? rc : kPipeBroken;
}

void PipeInterrupt(PipeHandle pipe) {
  Pipe* p = FromHandle(pipe);
  if (p != nullptr) ::shutdown(p->fd, SHUT_RDWR);
}

void PipeClose(PipeHandle pipe) {
  // Nothing is written: the peer sees the end of the stream. An empty message is an ordinary
  // message (the second write of a roll-back without a volume id) and never means "goodbye".
  PipeAbort(pipe);
}

void PipeAbort(PipeHandle pipe) {
  Pipe* p = FromHandle(pipe);
  if (p == nullptr) return;
  ::shutdown(p->fd, SHUT_RDWR);
  CloseFd(p->fd);
  delete[] p->buffer;
  delete p;
}

int PipeListen(const char* name, int backlog, PipeListener** listener) {
  *listener = nullptr;
  std::string path;
  int rc = PipePath(name, &path);
  if (rc != kPipeOk) return rc;
  // Servers that start at once claim the name one at a time. Between its bind and its listen
  // a socket refuses connections as a dead server's leftover does, so without the claim lock
  // a second server could take that socket for a leftover, remove its name and serve under
  // it, and then, losing the cache directory, remove the name as it went: the first server
  // would serve a socket nobody can reach. The lock file stays (removing it would race).
  std::string lockPath = path + ".lock";
  int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock >= 0) {
    while (::flock(lock, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  int fd = -1;
  rc = ListenAt(path, backlog, &fd);
  if (lock >= 0) CloseFd(lock);
  if (rc != kPipeOk) return rc;
  *listener = new PipeListener{fd, std::move(path), {false}};
  return kPipeOk;
}

int PipeAccept(PipeListener* listener, int timeout_ms, PipeHandle* pipe) {
  *pipe = kNoPipe;
  if (listener == nullptr) return kPipeInvalidHandle;
  int32_t start = MonotonicMs();
  for (;;) {
    if (listener->stopping.load()) return kPipeBroken;
    int slice = kAcceptSliceMs;
    if (timeout_ms >= 0) {
      int32_t elapsed = ElapsedMs(start, MonotonicMs());
      if (elapsed >= timeout_ms) return kPipeTimeout;
      if (timeout_ms - elapsed < slice) slice = timeout_ms - elapsed;
    }
    pollfd pfd{listener->fd, POLLIN, 0};
    int prc = ::poll(&pfd, 1, slice);
    if (prc < 0 && errno != EINTR) return kPipeFailed;
    if (prc <= 0) continue;
    if (listener->stopping.load()) return kPipeBroken;
    if (FaultHit(Sys::kAccept)) return kPipeFailed;
    int fd = ::accept4(listener->fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN) continue;
      return kPipeFailed;
    }
    if (!PeerIsOurUser(fd)) {
      CloseFd(fd);
      return kPipeAccessDenied;
    }
    *pipe = NewHandle(fd, kServerReceiveBuffer);
    return kPipeOk;
  }
}

int PipeHandOff(PipeListener* listener, PipeHandle master, int timeout_ms, PipeHandle* pipe) {
  *pipe = kNoPipe;
  if (listener == nullptr) return kPipeInvalidHandle;
  static std::atomic<unsigned> next_serial{0};
  unsigned serial = next_serial.fetch_add(1);
  char suffix[48];
  std::snprintf(suffix, sizeof suffix, ".%ld.%u", static_cast<long>(::getpid()), serial);
  std::string path = listener->path + suffix;
  if (path.size() > kMaxSocketPath || path.size() + 1 > kMaxPipeNameMessage) {
    // A long master path leaves no room for the suffix: use a short name in R instead.
    int err = RuntimePath("p", suffix, kMaxSocketPath, &path);
    if (err != 0) return kPipeBadName;
  }
  int fd = -1;
  int rc = ListenAt(path, 1, &fd);
  if (rc != kPipeOk) return rc;
  PipeListener secondary{fd, path, {false}};
  rc = PipeWrite(master, path.c_str(), static_cast<uint32_t>(path.size() + 1), nullptr);
  if (rc == kPipeOk) rc = PipeAccept(&secondary, timeout_ms, pipe);
  ::unlink(path.c_str());
  CloseFd(fd);
  return rc;
}

const char* PipeListenerPath(const PipeListener* listener) {
  return listener == nullptr ? "" : listener->path.c_str();
}

void PipeListenerShutdown(PipeListener* listener) {
  if (listener != nullptr) listener->stopping.store(true);
}

void PipeListenerClose(PipeListener* listener) {
  if (listener == nullptr) return;
  ::unlink(listener->path.c_str());
  CloseFd(listener->fd);
  delete listener;
}

int PipePeerProcessId(PipeHandle pipe, long* pid) {
  *pid = 0;
  Pipe* p = FromHandle(pipe);
  if (p == nullptr) return kPipeInvalidHandle;
  ucred cred;
  socklen_t len = sizeof cred;
  if (getsockopt(p->fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return TranslateErrno(errno);
  *pid = static_cast<long>(cred.pid);
  return kPipeOk;
}

}  // namespace kdr::platform
