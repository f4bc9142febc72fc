#include "protocol/pipe_transport.h"

#include <atomic>
#include <cctype>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "client/proxy_log.h"
#include "client/result_codes.h"
#include "platform/env.h"
#include "platform/pipes.h"

namespace kdr {
namespace {

// Multi-user settings, read once per process. Plain storage: nothing here may need a
// destructor while exit() runs.
static_assert(std::is_trivially_destructible_v<std::mutex>);
std::mutex g_multiUserLock;
std::atomic<int> g_multiUserKnown{0};
int g_multiUser = 0;
bool g_hasUserName = false;
char g_userName[kPipeNameMax + 1];

bool EqualsIgnoringCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) {
      return false;
    }
  }
  return *a == *b;
}

bool IsTrueWord(const char* v) {
  return EqualsIgnoringCase(v, "true") || std::strcmp(v, "1") == 0 || EqualsIgnoringCase(v, "yes");
}

// Appends `piece` to the NUL-terminated `name`, cut so that it stays within kPipeNameMax.
void AppendCut(char* name, const char* piece) {
  size_t len = std::strlen(name);
  size_t room = kPipeNameMax - len;
  size_t n = std::strlen(piece);
  if (n > room) n = room;
  std::memcpy(name + len, piece, n);
  name[len + n] = '\0';
}

}  // namespace

int IsMultiUser() {
  if (g_multiUserKnown.load(std::memory_order_acquire) == 1) return g_multiUser;
  std::lock_guard<std::mutex> guard(g_multiUserLock);
  if (g_multiUserKnown.load(std::memory_order_relaxed) == 1) return g_multiUser;
  const char* mode = platform::GetEnv("KDR_WINDOWS_MULTIUSER");
  if (mode != nullptr) g_multiUser = IsTrueWord(mode) ? 1 : 0;
  const char* user = platform::GetEnv("USERNAME");
  g_hasUserName = user != nullptr;
  g_userName[0] = '\0';
  if (user != nullptr) AppendCut(g_userName, user);
  g_multiUserKnown.store(1, std::memory_order_release);
  return g_multiUser;
}

void ResetMultiUserForTesting() {
  std::lock_guard<std::mutex> guard(g_multiUserLock);
  g_multiUser = 0;
  g_hasUserName = false;
  g_userName[0] = '\0';
  g_multiUserKnown.store(0, std::memory_order_release);
}

void MasterPipeName(const char* pipeName, char* name) {
  name[0] = '\0';
  if (pipeName != nullptr) AppendCut(name, pipeName);
  if (IsMultiUser() != 1 || !g_hasUserName) return;
  size_t len = std::strlen(name);
  size_t user = std::strlen(g_userName);
  // Already suffixed: longer than "_" + user and ending with it (letter case counts).
  bool suffixed = len > user + 1 && name[len - user - 1] == '_' &&
                  std::memcmp(name + len - user, g_userName, user) == 0;
  if (!suffixed) {
    AppendCut(name, "_");
    AppendCut(name, g_userName);
  }
}

PipeHandle OpenClientPipe(const char* pipeName, int* connectResult) {
  char name[kPipeNameMax + 1];
  MasterPipeName(pipeName, name);
  KdrLogPrintf("Open Pipe '%s'...\n", name);

  platform::PipeHandle master = platform::kNoPipe;
  int rc = platform::PipeConnect(name, &master);
  if (rc == platform::kPipeBusy) {
    // Every instance is taken: wait (up to 1000 ms) for one to come free.
    rc = platform::PipeWaitConnect(name, 1000, &master);
  }
  if (connectResult != nullptr) *connectResult = rc;
  if (rc != platform::kPipeOk) return kInvalidPipe;

  KdrLogPrintf("Master pipe connected, setting mode.\n");
  if (platform::PipeSetMessageMode(master) != platform::kPipeOk) {
    ClosePipe(master);
    CloseProxy();
    return kInvalidPipe;
  }

  // A server that took the connection into its queue but never serves it (hung, or stopped)
  // must not hold this thread, and lock A with it, for ever: the server hands the name out at
  // once, and waits no longer than this itself for the client to come.
  platform::PipeSetReadTimeout(master, platform::kHandOffTimeoutMs);
  KdrLogPrintf("Master pipe CLIENT listening for secondary pipe name.\n");
  char secondary[kSecondaryNameBuffer];
  std::memset(secondary, 0, sizeof secondary);
  int n = ReadPipe(master, kSecondaryNameMessage, secondary);
  KdrLogPrintf("Closing master pipe\n");
  ClosePipe(master);
  if (n < 1) return kInvalidPipe;

  KdrLogPrintf("%d byte secondary pipe name '%s' successfully read from master pipe\n", n,
               secondary);
  KdrLogPrintf("Creating secondary pipe name '%s' file for CLIENT\n", secondary);
  platform::PipeHandle handle = platform::kNoPipe;
  if (platform::PipeConnect(secondary, &handle) != platform::kPipeOk) return kInvalidPipe;

  KdrLogPrintf("Pipe changing secondary CLIENT to MESSAGE_MODE.\n");
  if (SetPipeMode(handle, kPipeReadModeMessage) != 0) {
    ClosePipe(handle);
    return kInvalidPipe;
  }
  KdrLogPrintf("Pipe secondary CLIENT successfully connected to server.\n");
  return handle;
}

int ReadPipePart(PipeHandle handle, uint32_t count, void* buffer, bool* continues) {
  *continues = false;
  uint32_t n = 0;
  int rc = platform::PipeRead(handle, buffer, count, &n);
  if (rc == platform::kPipeMoreData) {
    if (n > count) {
      CloseProxy();
      KdrLogPrintf("Pipe read buffer overflow\n");
      return ERR_KDRCP_NOT_SUPPORTED;
    }
    *continues = true;
  } else if (rc != platform::kPipeOk) {
    KdrLogPrintf("I/O Error %d reading pipe\n", rc);
    return ERR_KDRCP_NO_SERVER;
  }
  if (n == 0) {
    KdrLogPrintf("Error ZERO_BYTES reading pipe\n");
    CloseProxy();
    return ERR_KDRCP_NO_SERVER;
  }
  return static_cast<int>(n);
}

int ReadPipe(PipeHandle handle, uint32_t count, void* buffer) {
  bool continues = false;
  return ReadPipePart(handle, count, buffer, &continues);
}

int ReadPipeInPlace(PipeHandle handle, const platform::PipeMessageSlots* slots, int count,
                    bool (*accept)(void* context, int i), void* context) {
  int done = 0;
  int rc = platform::PipeReadInPlace(handle, slots, count, accept, context, &done);
  if (rc != platform::kPipeOk) {
    KdrLogPrintf("I/O Error %d reading pipe\n", rc);
    return ERR_KDRCP_NO_SERVER;
  }
  return done;
}

int WritePipe(PipeHandle handle, const void* buffer, uint32_t count, uint32_t* written,
              bool* unsent) {
  uint32_t n = 0;
  int rc = platform::PipeWrite(handle, buffer, count, &n);
  if (written != nullptr) *written = n;
  if (unsent != nullptr) *unsent = rc == platform::kPipeNoData;
  return rc == platform::kPipeOk ? 1 : 0;
}

int SetPipeMode(PipeHandle handle, uint32_t mode) {
  if (mode == kPipeReadModeMessage && platform::PipeSetMessageMode(handle) == platform::kPipeOk) {
    return 0;
  }
  CloseProxy();
  return ERR_KDRCP_NO_SERVER;
}

bool PipePeerGone(PipeHandle handle) { return platform::PipeClosedByPeer(handle); }

void ClosePipe(PipeHandle handle) {
  if (handle == kInvalidPipe) return;
  platform::PipeClose(handle);
}

void CloseRecordPipe(ThreadRecord* record) {
  if (record == nullptr) return;
  KdrLogPrintf("CloseProxy: Closing pipe.\n");
  ClosePipe(record->pipe);
  record->pipe = kInvalidPipe;
  KdrLogPrintf("CloseProxy: ClosePipe successful.\n");
}

void CloseProxy() { CloseRecordPipe(KdrFindThreadRecord()); }

}  // namespace kdr
