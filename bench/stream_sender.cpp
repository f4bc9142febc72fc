// The other process of pipe_read's baseline: a raw Unix-socket stream of a plain file's bytes,
// the fastest fair way found to move them between two processes.
//   stream_sender PIPE FILE
// Reads FILE once (it is warm in the page cache, as the server's store is), then listens on
// PIPE; for each client it answers every request (12 raw bytes: offset 8, length 4, big-endian,
// at most 1 MiB) with the range's bytes: one pread into a buffer that stays in the CPU cache and
// one raw send, no framing, until the client goes. Ends when a client asks for 0 bytes.
// (Sending straight from a mapping of the file saves that pread's copy, but on a virtual
// machine with shadow page tables its page walks cost more than the copy: it was no faster.)
#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/fs.h"
#include "platform/pipes.h"

namespace pf = kdr::platform;

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  int fd = -1;
  uint64_t size = 0;
  if (pf::OpenFile(argv[2], pf::FileMode::kReadOnly, &fd) != 0 || pf::FileSize(fd, &size) != 0)
    return 3;
  std::vector<unsigned char> buf(pf::kMaxPipeMessage);
  for (uint64_t at = 0; at < size; at += buf.size()) {
    size_t done = 0;
    if (pf::ReadFileAt(fd, at, buf.data(), buf.size(), &done) != 0) return 3;
  }
  pf::PipeListener* listener = nullptr;
  if (pf::PipeListen(argv[1], 4, &listener) != pf::kPipeOk) return 4;
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    pf::PipeHandle pipe = pf::kNoPipe;
    if (pf::PipeAccept(listener, 30000, &pipe) != pf::kPipeOk) break;
    for (;;) {
      unsigned char req[12];
      if (pf::PipeReadRaw(pipe, req, sizeof req) != pf::kPipeOk) break;
      uint64_t at = 0;
      for (int i = 0; i < 8; ++i) at = at << 8 | req[i];
      uint32_t length = uint32_t{req[8]} << 24 | uint32_t{req[9]} << 16 | uint32_t{req[10]} << 8 | req[11];
      if (length == 0) {
        pf::PipeAbort(pipe);
        pf::PipeListenerClose(listener);
        return 0;
      }
      size_t done = 0;
      if (length > buf.size() || pf::ReadFileAt(fd, at, buf.data(), length, &done) != 0 ||
          done != length)
        return 5;
      if (pf::PipeWriteRaw(pipe, buf.data(), length) != pf::kPipeOk) break;
    }
    pf::PipeAbort(pipe);
  }
  pf::PipeListenerClose(listener);
  return 0;
}
