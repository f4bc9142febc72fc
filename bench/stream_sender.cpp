// The other process of the raw-stream baseline of pipe_read: serves byte ranges of a plain
// file over a pipe with no protocol beyond the framing.
//   stream_sender PIPE FILE
// Listens on PIPE; for each client, answers every request message (8 bytes offset, 4 bytes
// length, big-endian) with the range's bytes, read with pread, in messages of up to 1 MiB,
// until the client goes. Ends when a client sends an empty request.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/fs.h"
#include "platform/pipes.h"

namespace pf = kdr::platform;

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  int fd = -1;
  if (pf::OpenFile(argv[2], pf::FileMode::kReadOnly, &fd) != 0) return 3;
  pf::PipeListener* listener = nullptr;
  if (pf::PipeListen(argv[1], 4, &listener) != pf::kPipeOk) return 4;
  std::printf("ready\n");
  std::fflush(stdout);
  std::vector<unsigned char> buf(pf::kMaxPipeMessage);
  for (;;) {
    pf::PipeHandle pipe = pf::kNoPipe;
    if (pf::PipeAccept(listener, 30000, &pipe) != pf::kPipeOk) break;
    for (;;) {
      unsigned char req[12];
      uint32_t n = 0;
      if (pf::PipeRead(pipe, req, sizeof req, &n) != pf::kPipeOk) break;
      if (n == 0) {
        pf::PipeAbort(pipe);
        pf::PipeListenerClose(listener);
        return 0;
      }
      uint64_t at = 0;
      for (int i = 0; i < 8; ++i) at = at << 8 | req[i];
      uint32_t length = uint32_t{req[8]} << 24 | uint32_t{req[9]} << 16 | uint32_t{req[10]} << 8 | req[11];
      while (length > 0) {
        uint32_t piece = length < buf.size() ? length : uint32_t(buf.size());
        size_t done = 0;
        if (pf::ReadFileAt(fd, at, buf.data(), piece, &done) != 0 || done != piece) return 5;
        if (pf::PipeWrite(pipe, buf.data(), piece, nullptr) != pf::kPipeOk) break;
        at += piece;
        length -= piece;
      }
    }
    pf::PipeAbort(pipe);
  }
  pf::PipeListenerClose(listener);
  return 0;
}
