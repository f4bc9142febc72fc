// Open files against the scriptable peer: the read buffer, reads at the end of a file, seeks,
// the one-thread-at-a-time rule, the fast cache's share of a read, and termination.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/config.h"
#include "client/proxy_log.h"
#include "client/result_codes.h"
#include "client/thread_state.h"
#include "iface/interface.h"
#include "iface/runtime.h"
#include "peer/peer.h"
#include "protocol/data_messages.h"
#include "protocol/message_format.h"
#include "protocol/pipe_transport.h"
#include "proxy/lifecycle.h"
#include "proxy/open_files.h"
#include "support/proxy_fixture.h"

namespace kdr {
namespace {

// Byte i of the test file.
char FileByte(int64_t i) { return static_cast<char>('a' + i % 26); }

std::string FileBytes(int64_t from, int64_t n) {
  std::string s;
  for (int64_t i = 0; i < n; ++i) s += FileByte(from + i);
  return s;
}

// A data reply of the test file's bytes [from, from + n).
std::string Piece(int64_t from, int64_t n) {
  return "reply be64=" + std::to_string(from) + " be32=" + std::to_string(n) +
         " text=" + FileBytes(from, n);
}

// A well-formed ticket of `type` whose GUID is 32 letters G.
std::string Ticket(char type) {
  std::string t(64, 'K');
  t += type;
  t += "001xx";  // the GUID starts at 70
  t += std::string(32, 'G');
  t.resize(225, 'x');
  return t;
}

class OpenFilesTest : public ProxyFixture {
 protected:
  OpenFilesTest() : ProxyFixture("kdr-files") {}

  void TearDown() override {
    SetFastCacheReader(nullptr);
    ProxyFixture::TearDown();
  }

  // A handle opened at the server the way VXN_OpenFile opens one.
  OpenFileRecord* Open() {
    OpenFileRecord* f = NewFileHandle();
    EXPECT_NE(f, nullptr);
    EXPECT_EQ(CopyOpenFileText("TICKET-0001", &f->ticket), 0);
    EXPECT_GE(OpenMsg(f), 0);
    UnacquireFileHandle(f);
    return f;
  }

  // The range length of the latest data request.
  int32_t LastDataLength() const {
    int32_t length = -1;
    for (const testpeer::Request& r : peer_->Requests()) {
      if (r.msgType == KDR_GET_DATA_MSG) length = GetBE32(r.bytes.data(), kOffRangeLength);
    }
    return length;
  }

  int64_t Position(OpenFileRecord* f) {
    int64_t p = -1;
    EXPECT_EQ(VXN_GetSeekPointer(f, &p), 0);
    return p;
  }

  char buf_[40000] = {};
  int n_ = -1;
};

TEST_F(OpenFilesTest, SmallReadsShareOneFetch) {
  Start("on OPEN reply be16=5 be64=1000\non GET_DATA#1 " + Piece(0, 1000) + "\n");
  OpenFileRecord* f = Open();
  ASSERT_EQ(VXN_ReadBytes(f, "tag", 100, &n_, buf_), 0);
  EXPECT_EQ(n_, 100);
  EXPECT_EQ(std::string(buf_, 100), FileBytes(0, 100));
  ASSERT_EQ(VXN_ReadBytes(f, "tag", 100, &n_, buf_), 0);
  EXPECT_EQ(std::string(buf_, 100), FileBytes(100, 100));
  EXPECT_EQ(Count("GET_DATA"), 1);
  EXPECT_EQ(LastDataLength(), 1000);  // the buffer's worth, cut at the size
  EXPECT_EQ(Position(f), 200);

  // Seeks inside the buffered range keep it; a read of nothing asks nothing.
  ASSERT_EQ(VXN_SeekRelative(f, -150), 0);
  ASSERT_EQ(VXN_ReadBytes(f, "tag", 10, &n_, buf_), 0);
  EXPECT_EQ(std::string(buf_, 10), FileBytes(50, 10));
  ASSERT_EQ(VXN_SeekAbsolute(f, 990), 0);
  ASSERT_EQ(VXN_ReadBytes(f, "tag", 10, &n_, buf_), 0);
  EXPECT_EQ(std::string(buf_, 10), FileBytes(990, 10));
  EXPECT_EQ(VXN_ReadBytes(f, "tag", 0, &n_, buf_), 0);
  EXPECT_EQ(n_, 0);
  EXPECT_EQ(Count("GET_DATA"), 1);
}

TEST_F(OpenFilesTest, ReadAcrossTheEndThenEndOfFile) {
  Start("on OPEN reply be16=5 be64=1000\non GET_DATA#1 " + Piece(900, 100) + "\n");
  OpenFileRecord* f = Open();
  EXPECT_EQ(VXN_SeekAbsolute(f, 1001), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(Position(f), 0);
  EXPECT_EQ(VXN_SeekRelative(f, -1), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(VXN_SeekRelative(f, INT64_MAX), ERR_KDRCP_BAD_ARG);
  ASSERT_EQ(VXN_SeekAbsolute(f, 900), 0);
  ASSERT_EQ(VXN_ReadBytes(f, "tag", 200, &n_, buf_), 0);
  EXPECT_EQ(n_, 100);
  EXPECT_EQ(std::string(buf_, 100), FileBytes(900, 100));
  EXPECT_EQ(LastDataLength(), 100);
  EXPECT_EQ(VXN_ReadBytes(f, "tag", 200, &n_, buf_), ERR_KDRCP_EOF);
  EXPECT_EQ(n_, 0);
  EXPECT_EQ(Position(f), 1000);
  EXPECT_EQ(VXN_SeekAbsolute(f, 1000), 0);  // to the size: allowed
  EXPECT_EQ(VXN_ScheduleRange(f, "tag", 1000, 10), ERR_KDRCP_EOF);
  EXPECT_EQ(Count("GET_DATA"), 1);
  EXPECT_EQ(Count("READ_AHEAD"), 0);
}

TEST_F(OpenFilesTest, LargeReadGoesStraightToTheCaller) {
  Start("on OPEN reply be16=5 be64=40000\n"
        "on GET_DATA#1 " + Piece(0, 16384) + " ; " + Piece(16384, 16384) + " ; " +
        Piece(32768, 1232) + "\n"
        "on GET_DATA#2 " + Piece(34000, 6000) + "\n");
  OpenFileRecord* f = Open();
  ASSERT_EQ(VXN_ReadBytes(f, "tag", 34000, &n_, buf_), 0);
  EXPECT_EQ(n_, 34000);
  EXPECT_EQ(std::string(buf_, 34000), FileBytes(0, 34000));
  EXPECT_EQ(LastDataLength(), 34000);
  // The buffer was not filled by the large read: the next small one asks again.
  ASSERT_EQ(VXN_ReadBytes(f, "tag", 10, &n_, buf_), 0);
  EXPECT_EQ(std::string(buf_, 10), FileBytes(34000, 10));
  EXPECT_EQ(LastDataLength(), 6000);
}

TEST_F(OpenFilesTest, FailedReadRestoresThePosition) {
  Start("on OPEN reply be16=5 be64=100000\n"
        "on GET_DATA#1 " + Piece(0, 16384) + "\n"
        "on GET_DATA error 9 \"vault offline\"\n");
  OpenFileRecord* f = Open();
  ASSERT_EQ(VXN_ReadBytes(f, "tag", 16000, &n_, buf_), 0);
  // 384 bytes come from the buffer, the rest fails at the server.
  EXPECT_EQ(VXN_ReadBytes(f, "tag", 1000, &n_, buf_), -9);
  EXPECT_EQ(n_, 384);
  EXPECT_EQ(std::string(buf_, 384), FileBytes(16000, 384));
  EXPECT_EQ(Position(f), 16000);
  const char* text = nullptr;
  VXN_ReadBytes(f, "tag", 1, &n_, buf_);  // fails again: the error text is the server's
  EXPECT_EQ(VXN_GetLastError(&text), 0);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "vault offline");
}

TEST_F(OpenFilesTest, ArgumentsAndReleasedHandles) {
  Start("on OPEN reply be16=5 be64=-1\non GET_SIZE#1 error 3 \"no size\"\n"
        "on GET_SIZE#2 reply be64=77\n");
  OpenFileRecord* f = Open();
  int64_t size = 0;
  EXPECT_EQ(VXN_FileSize(f, &size), -3);
  EXPECT_EQ(size, -1);
  EXPECT_EQ(VXN_FileSize(f, &size), 0);  // asks again
  EXPECT_EQ(size, 77);
  EXPECT_EQ(Count("GET_SIZE"), 2);

  EXPECT_EQ(VXN_ReadBytes(f, nullptr, 1, &n_, buf_), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(VXN_ReadBytes(f, "tag", -1, &n_, buf_), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(VXN_ReadBytes(f, "tag", 1, &n_, nullptr), ERR_KDRCP_OUT_OF_MEMORY);
  OpenFileRecord bogus{};
  EXPECT_EQ(VXN_ReadBytes(&bogus, "tag", 1, &n_, buf_), ERR_KDRCP_BAD_FILE);
  EXPECT_EQ(VXN_SeekAbsolute(reinterpret_cast<OpenFileRecord*>(buf_), 0), ERR_KDRCP_BAD_FILE);
  // Inside a live record, but not its start.
  EXPECT_EQ(VXN_SeekAbsolute(reinterpret_cast<OpenFileRecord*>(&f->position), 0),
            ERR_KDRCP_BAD_FILE);

  ASSERT_EQ(VXN_CloseFileHandlePointer(f), 0);
  EXPECT_EQ(Count("CLOSE"), 1);
  EXPECT_EQ(VXN_CloseFileHandlePointer(f), ERR_KDRCP_BAD_FILE);
  char* guid = nullptr;
  EXPECT_EQ(VXN_GetFileGUID(f, &guid), ERR_KDRCP_BAD_FILE);
  EXPECT_EQ(VXN_FileSize(f, &size), ERR_KDRCP_BAD_FILE);
  // The released record is recycled, with a clean state, for the next handle.
  OpenFileRecord* g = NewFileHandle();
  EXPECT_EQ(g, f);
  EXPECT_TRUE(IsOpenFileOwner(ThreadId()));  // its maker's until handed out
  EXPECT_EQ(g->serverHandle, kNoServerHandle);
  EXPECT_EQ(g->fileSize, -1);
  FreeFileHandle(g);
}

TEST_F(OpenFilesTest, SecondThreadOnABusyHandleIsTurnedAway) {
  Start("on OPEN reply be16=5 be64=1000\non GET_DATA#1 sleep 400 ; " + Piece(0, 1000) + "\n");
  OpenFileRecord* f = Open();
  int firstResult = -1;
  std::thread first([&] {
    int n = 0;
    char b[100];
    firstResult = VXN_ReadBytes(f, "tag", 100, &n, b);
  });
  ASSERT_TRUE(peer_->WaitForCount(testpeer::MessageCode("GET_DATA"), 1, 5000));
  EXPECT_EQ(VXN_ReadBytes(f, "tag", 100, &n_, buf_), ERR_KDRCP_FILE_BUSY);
  EXPECT_EQ(n_, 0);
  // Bad arguments are reported before the busy handle, and leave it to its owner.
  EXPECT_EQ(VXN_ReadBytes(f, nullptr, 100, &n_, buf_), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(VXN_SeekAbsolute(f, -1), ERR_KDRCP_BAD_ARG);
  EXPECT_EQ(VXN_SeekAbsolute(f, 5), ERR_KDRCP_FILE_BUSY);
  first.join();
  EXPECT_EQ(firstResult, 0);
  ASSERT_EQ(VXN_ReadBytes(f, "tag", 100, &n_, buf_), 0);
  EXPECT_EQ(std::string(buf_, 100), FileBytes(100, 100));
}

// The fast cache holds the file's first 10 bytes: the open needs no server, and the read asks
// the server only for what the fast cache could not give.
int FakeFastSize(OpenFileRecord* f) {
  f->fileSize = 1000;
  return 0;
}
int FakeFastRead(OpenFileRecord* f, unsigned char* dest, int32_t count) {
  int32_t n = 0;
  for (; n < count && f->position + n < 10; ++n) dest[n] = static_cast<unsigned char>(FileByte(f->position + n));
  return n;
}


TEST_F(OpenFilesTest, FastCacheServesWhatItHolds) {
  Start("on OPEN reply be16=5 be64=1000\non GET_DATA#1 " + Piece(10, 990) + "\n");
  FastCacheReader reader{&FakeFastSize, &FakeFastRead};
  SetFastCacheReader(&reader);
  std::string ticket = Ticket('v');
  const char* registered = nullptr;
  ASSERT_EQ(VXN_RegisterTicket(ticket.c_str(), &registered), 0);
  std::string keyCopy(registered);  // the registry's copy dies with the registration
  const char* key = keyCopy.c_str();
  VXNFileHandle f = nullptr;
  ASSERT_EQ(VXN_OpenFile(key, &f), 0);
  EXPECT_EQ(Count("OPEN"), 0);
  char* guid = nullptr;
  ASSERT_EQ(VXN_GetFileGUID(f, &guid), 0);
  EXPECT_STREQ(guid, std::string(32, 'G').c_str());
  std::free(guid);

  ASSERT_EQ(VXN_ReadBytes(f, "tag", 100, &n_, buf_), 0);
  EXPECT_EQ(std::string(buf_, 100), FileBytes(0, 100));
  EXPECT_EQ(Count("OPEN"), 1);  // opened when the fast cache fell short
  std::vector<testpeer::Request> requests = peer_->Requests();
  const std::vector<unsigned char>& data = requests.back().bytes;
  EXPECT_EQ(GetBE64(data.data(), kOffRangeOffset), 10);
  EXPECT_EQ(GetBE32(data.data(), kOffRangeLength), 990);
  EXPECT_EQ(VXN_CloseFileHandlePointer(f), 0);
  EXPECT_EQ(VXN_UnRegisterTicket(key), 0);

  EXPECT_EQ(VXN_OpenFile(key, &f), ERR_KDRCP_BAD_TICKET);
  EXPECT_EQ(f, nullptr);
}

TEST_F(OpenFilesTest, RefreshReopensAndReadAheadIsBounded) {
  Start("on OPEN#1 reply be16=5 be64=1000\non OPEN#2 reply be16=6 be64=1000\n"
        "on OPEN#3 error 12 \"ticket refused\"\n");
  OpenFileRecord* f = Open();
  ASSERT_EQ(VXN_ScheduleRange(f, "tag", 900, 10), 0);
  EXPECT_EQ(peer_->Requests().back().msgType, KDR_READ_AHEAD_MSG);
  EXPECT_EQ(GetBE32(peer_->Requests().back().bytes.data(), kOffRangeLength), 100);
  EXPECT_EQ(VXN_ScheduleRange(f, "tag", 0, 0), 0);  // nothing asked
  EXPECT_EQ(Count("READ_AHEAD"), 1);

  std::string ticket = Ticket('v');
  EXPECT_EQ(VXN_RefreshFileTicket(f, "not a ticket"), ERR_KDRCP_BAD_TICKET);
  ASSERT_EQ(VXN_RefreshFileTicket(f, ticket.c_str()), 0);
  EXPECT_EQ(Count("CLOSE"), 1);
  EXPECT_EQ(f->serverHandle, 6);
  // A failed reopen releases the handle.
  EXPECT_EQ(VXN_RefreshFileTicket(f, ticket.c_str()), -12);
  EXPECT_FALSE(IsFileHandle(f));
  EXPECT_EQ(VXN_ScheduleRange(f, "tag", 0, 10), ERR_KDRCP_BAD_FILE);
}

TEST_F(OpenFilesTest, TerminationClosesOpenFilesAndReportsBusyOnes) {
  Start("on OPEN reply be16=5 be64=1000\n");
  OpenFileRecord* open = Open();
  OpenFileRecord* busy = Open();
  uint32_t otherId = 0;
  std::thread other([&] {
    otherId = ThreadId();
    EXPECT_EQ(AcquireFileHandle(busy), 0);
  });
  other.join();
  EXPECT_TRUE(IsOpenFileOwner(otherId));
  EXPECT_EQ(AcquireFileHandle(busy), ERR_KDRCP_FILE_BUSY);
  char address[32];
  std::snprintf(address, sizeof address, "0x%" PRIX64, static_cast<uint64_t>(
                                                         reinterpret_cast<uintptr_t>(open)));

  ASSERT_EQ(VXN_Term(), 0);
  std::string log = Log();
  EXPECT_NE(log.find(std::string("WARNING: File ") + address +
                     " was open when VXN_Term was called.\n"),
            std::string::npos);
  std::snprintf(address, sizeof address, "0x%" PRIX64, static_cast<uint64_t>(
                                                         reinterpret_cast<uintptr_t>(busy)));
  EXPECT_NE(log.find(std::string("APPLICATION ERROR: File ") + address +
                     " leaked, in use by thread ID " + std::to_string(otherId) +
                     " when thread ID " + std::to_string(ThreadId()) + " called VXN_Term.\n"),
            std::string::npos);
  EXPECT_EQ(Count("CLOSE"), 1);  // only the file nobody was using
  EXPECT_EQ(OpenFileCount(), 0);
  EXPECT_FALSE(IsFileHandle(busy));
  EXPECT_EQ(busy->signature, kReleasedSignature);
  // The record left to its thread keeps its texts and buffer; the record itself stays allocated.
  KdrRelease(busy->ticket);
  KdrRelease(busy->readBuffer);
}

// A fast cache that holds all 1000 bytes of the file.
int WholeFastSize(OpenFileRecord* f) {
  f->fileSize = 1000;
  return 0;
}
int WholeFastRead(OpenFileRecord* f, unsigned char* dest, int32_t count) {
  int32_t n = 0;
  for (; n < count && f->position + n < 1000; ++n)
    dest[n] = static_cast<unsigned char>(FileByte(f->position + n));
  return n;
}

// A seek and a read the fast cache serves check the handle without lock A: they complete
// while another thread holds it.
TEST_F(OpenFilesTest, HitsPassWhileLockAIsHeld) {
  Start("");
  FastCacheReader reader{&WholeFastSize, &WholeFastRead};
  SetFastCacheReader(&reader);
  std::string ticket = Ticket('v');
  const char* key = nullptr;
  ASSERT_EQ(VXN_RegisterTicket(ticket.c_str(), &key), 0);
  VXNFileHandle f = nullptr;
  ASSERT_EQ(VXN_OpenFile(key, &f), 0);
  std::atomic<bool> done{false};
  std::thread reading;
  {
    ProxyLockGuard a(ProxyLock::kA);
    reading = std::thread([&] {
      int n = 0;
      char b[16];
      EXPECT_EQ(VXN_SeekAbsolute(f, 500), 0);
      EXPECT_EQ(VXN_ReadBytes(f, "tag", 16, &n, b), 0);
      EXPECT_EQ(std::string(b, 16), FileBytes(500, 16));
      done.store(true);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done.load() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(done.load());
  }
  reading.join();
  EXPECT_EQ(VXN_CloseFileHandlePointer(f), 0);
}

// Two threads seek and read one handle while a third closes it, and then while it terminates
// the library: every call gives whole, consecutive bytes or a documented code, a call that
// starts after the close or termination returned is refused, and none touches a record it no
// longer may (ASan, TSan).
TEST_F(OpenFilesTest, ReadsRaceCloseAndTermination) {
  Start("");
  FastCacheReader reader{&WholeFastSize, &WholeFastRead};
  SetFastCacheReader(&reader);
  std::string ticket = Ticket('v');
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (int round = 0; round < 40 && std::chrono::steady_clock::now() < deadline; ++round) {
    const bool terminate = round % 4 == 3;
    const char* key = nullptr;
    ASSERT_EQ(VXN_RegisterTicket(ticket.c_str(), &key), 0);
    VXNFileHandle f = nullptr;
    ASSERT_EQ(VXN_OpenFile(key, &f), 0);
    std::atomic<bool> gone{false};
    std::atomic<int> reads{0};
    const int refused = terminate ? ERR_KDRCP_NOT_INITIALIZED : ERR_KDRCP_BAD_FILE;
    auto readLoop = [&](int seed) {
      char b[16];
      for (int i = 0; std::chrono::steady_clock::now() < deadline; ++i) {
        const bool after = gone.load();
        int n = -1;
        int s = VXN_SeekAbsolute(f, (seed * 37 + i * 13) % 984);
        int r = VXN_ReadBytes(f, "tag", 16, &n, b);
        for (int c : {s, r}) {
          EXPECT_TRUE(c == 0 || c == ERR_KDRCP_FILE_BUSY || c == ERR_KDRCP_BAD_FILE ||
                      c == ERR_KDRCP_NOT_INITIALIZED || c == ERR_KDRCP_EOF)
              << c;
          if (after) {
            EXPECT_EQ(c, refused);
          }
        }
        if (r == 0) {
          // The other thread may move the position between this seek and read.
          EXPECT_TRUE(n >= 1 && n <= 16) << n;
          for (int j = 1; j < n; ++j) EXPECT_EQ(b[j], b[j - 1] == 'z' ? 'a' : b[j - 1] + 1);
          reads.fetch_add(1);
        }
        if (r == refused && after) return;
      }
      ADD_FAILURE() << "never refused";
    };
    std::thread one(readLoop, 1), two(readLoop, 2);
    while (reads.load() < 20 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
    if (terminate) {
      EXPECT_EQ(VXN_Term(), 0);  // not ASSERT: the readers are joined below
    } else {
      int c = ERR_KDRCP_FILE_BUSY;
      for (int i = 0; i < 100000 && c == ERR_KDRCP_FILE_BUSY; ++i) {
        c = VXN_CloseFileHandlePointer(f);
        if (c == ERR_KDRCP_FILE_BUSY) std::this_thread::yield();
      }
      EXPECT_EQ(c, 0);
    }
    gone.store(true);
    one.join();
    two.join();
    EXPECT_FALSE(IsFileHandle(f));
    if (terminate) {
      ASSERT_EQ(VXN_Init(nullptr, nullptr), 0);
      SetFastCacheReader(&reader);
    } else {
      ASSERT_EQ(VXN_UnRegisterTicket(key), 0);
    }
  }
}

}  // namespace
}  // namespace kdr
