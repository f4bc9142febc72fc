// The other process of the store interface tests. Commands (directory and map name first):
//   owner-try DIR NAME              open as owner, print "open=<rc>", close
//   owner-crash DIR NAME            open as owner, cache file 7 blocks 0..2, die by SIGKILL
//   owner-hold DIR NAME STOP        open as owner, cache file 7 blocks 0..2, print "ready",
//                                   close once the file STOP exists
//   client-read DIR NAME FILE N     open as client, print "open=<rc> clients=<n>", then for
//                                   blocks 0..N-1 of file FILE "block <b> <len> <ok>", close
//   client-move-kill DIR NAME FILE STEP
//                                   open as client, read block 0 of file FILE under the cache
//                                   lock, dying by SIGKILL at step STEP of moving its page to
//                                   the end of the date list; prints "survived" otherwise
//   client-hold DIR NAME STOP       open as client, print "open=<rc> clients=<n>", close once
//                                   STOP exists, print "close=<rc>"
// Block bytes: byte i of block b of file f is (f * 31 + b * 7 + i) mod 256, 1000 bytes long.
// Every wait ends after 20 seconds, so a failed test never leaves this process behind.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "store/kdrc.h"

namespace {

constexpr int32_t kLength = 1000;
int killStep = 0;

std::string Guid(int n) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%032d", n);
  return buf;
}

std::vector<uint8_t> Bytes(int file, int32_t block) {
  std::vector<uint8_t> b(kLength);
  for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(file * 31 + block * 7 + int(i));
  return b;
}

int Open(char* dir, char* name, int mode, KDRC_FILETOC_T** out) {
  KDRCIF_OPEN_PARAMS p{};
  p.cacheDir = dir;
  p.mapName = name;
  p.filePages = 64;
  p.segments = 8;
  p.hashBlocks = 2;
  p.extentMB = 16;
  p.create = 1;
  p.mode = mode;
  return KDRCIF_OpenS(&p, out);
}

void Say(const char* fmt, int a, int b = 0, int c = 0) {
  std::printf(fmt, a, b, c);
  std::printf("\n");
  std::fflush(stdout);
}

bool WaitFor(const char* path) {
  for (int i = 0; i < 2000; ++i) {
    if (std::filesystem::exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int CacheFile7(KDRC_FILETOC_T* s) {
  KDRC_PAGE_T* first = nullptr;
  if (int rc = KDRCIF_AddFile(s, Guid(7).c_str(), 3 * kLength, 0, &first)) return rc;
  for (int32_t b = 0; b < 3; ++b) {
    std::vector<uint8_t> bytes = Bytes(7, b);
    if (int rc = KDRCIF_WriteBlock(s, &first, b, bytes.data(), kLength)) return rc;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  std::string cmd = argv[1];
  KDRC_FILETOC_T* s = nullptr;
  if (cmd == "owner-try") {
    int rc = Open(argv[2], argv[3], KDRC_MODE_OWNER, &s);
    Say("open=%d", rc);
    if (rc == 0) Say("close=%d", KDRCIF_Close(&s));
    return 0;
  }
  if (cmd == "owner-crash" || cmd == "owner-hold") {
    int rc = Open(argv[2], argv[3], KDRC_MODE_OWNER, &s);
    if (rc == 0) rc = CacheFile7(s);
    Say("open=%d", rc);
    if (rc != 0) return 3;
    if (cmd == "owner-crash") std::raise(SIGKILL);
    if (argc < 5) return 2;
    Say("ready", 0);
    WaitFor(argv[4]);
    Say("close=%d", KDRCIF_Close(&s));
    return 0;
  }
  if (cmd == "client-read" && argc >= 6) {
    int rc = Open(argv[2], argv[3], KDRC_MODE_CLIENT, &s);
    Say("open=%d clients=%d", rc, rc == 0 ? s->pShared->clients : -1);
    if (rc != 0) return 0;
    int file = std::atoi(argv[4]);
    int blocks = std::atoi(argv[5]);
    if (KDRCIF_LockCache(s) == 0) {
      KDRC_PAGE_T* first = nullptr;
      int32_t size[2] = {-1, -1};
      rc = KDRCIF_FindFile(s, Guid(file).c_str(), size, &first);
      std::vector<uint8_t> buf(16384);
      for (int32_t b = 0; rc == 0 && first != nullptr && b < blocks; ++b) {
        int32_t len = -2;
        int r = KDRCIF_ReadBlock(s, first, b, buf.data(), &len);
        std::vector<uint8_t> want = Bytes(file, b);
        bool ok = r == 0 && len == kLength && std::memcmp(buf.data(), want.data(), kLength) == 0;
        Say("block %d %d %d", b, len, ok ? 1 : 0);
      }
      KDRCIF_UnLockCache(s);
    }
    Say("close=%d", KDRCIF_Close(&s));
    return 0;
  }
  if (cmd == "client-move-kill" && argc >= 6) {
    if (Open(argv[2], argv[3], KDRC_MODE_CLIENT, &s) != 0) return 3;
    killStep = std::atoi(argv[5]);
    KDRCX_DateMoveStepHook = [](int step) {
      if (step == killStep) std::raise(SIGKILL);
    };
    if (KDRCIF_LockCache(s) != 0) return 4;
    KDRC_PAGE_T* first = nullptr;
    int32_t size[2] = {-1, -1};
    std::vector<uint8_t> buf(16384);
    int32_t len = -2;
    if (KDRCIF_FindFile(s, Guid(std::atoi(argv[4])).c_str(), size, &first) == 0 && first != nullptr)
      KDRCIF_ReadBlock(s, first, 0, buf.data(), &len);
    Say("survived", 0);
    return 0;
  }
  if (cmd == "client-hold" && argc >= 5) {
    int rc = Open(argv[2], argv[3], KDRC_MODE_CLIENT, &s);
    Say("open=%d clients=%d", rc, rc == 0 ? s->pShared->clients : -1);
    if (rc != 0) return 0;
    WaitFor(argv[4]);
    Say("close=%d", KDRCIF_Close(&s));
    return 0;
  }
  return 2;
}
