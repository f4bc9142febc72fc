#include "proxy/lifecycle.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/config.h"
#include "client/proxy_log.h"
#include "client/result_codes.h"
#include "client/thread_state.h"
#include "iface/export.h"
#include "iface/interface.h"
#include "iface/runtime.h"
#include "platform/env.h"
#include "protocol/control_messages.h"
#include "protocol/message_framing.h"
#include "protocol/pipe_transport.h"

namespace kdr {
namespace {

// Lifecycle state, in plain static storage (all trivially destructible).
std::atomic<int32_t> g_init_count{0};  // written under lock B
std::atomic<bool> g_initialized{false};
std::atomic<int> g_last_init_result{ERR_KDRCP_NOT_INITIALIZED};

// Idle-monitor state. `g_monitor_thread` is touched only under lock B.
std::atomic<bool> g_monitor_stop{false};
std::atomic<int32_t> g_monitor_count{0};
void* g_monitor_thread GUARDED_BY(KDR_LOCK_B) = nullptr;

// The monitor sleeps in short slices so that a stop request ends it promptly; its passes
// still come kMonitorPassMs apart. StopIdleMonitor looks at the running count as often.
constexpr uint32_t kMonitorSliceMs = 50;
constexpr uint32_t kStopPollMs = 10;

// The allocator pair VXN_IsVXNEnabled initialises with: the C library's.
void* CAlloc(size_t size) { return std::malloc(size); }
void CFree(void* p) { std::free(p); }

MonitorHooks Hooks() { return MonitorHooks{&ClosePipe, &LifecycleThreadOwnsOpenFile}; }

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::vprintf(format, ap);
  va_end(ap);
  std::fflush(stdout);
}

// A real initialisation that failed: it is not counted as a use (a caller that saw it fail
// has no VXN_Term to balance it, and a stale count would keep a later VXN_Init/VXN_Term pair
// from ever terminating). Its code is kept for VXN_GetLastError and recorded for the thread.
int InitFailed(int r) {
  g_init_count.fetch_sub(1);
  g_last_init_result.store(r);
  return KdrErrorCode(r);
}

// VXN_Init after the locks: counts the call and, when the proxy is not initialised, performs
// the real initialisation. REQUIRES: lock B.
int InitLocked(VXNAllocFn allocFn, VXNFreeFn freeFn) REQUIRES(KDR_LOCK_B) {
  g_init_count.fetch_add(1);
  if (g_initialized.load()) return 0;

  g_last_init_result.store(ERR_KDRCP_NOT_INITIALIZED);
  if (allocFn != nullptr && freeFn != nullptr) {
    // Records made before this call (error texts of a failed attempt, calls on other threads
    // while not initialised) hold buffers of the old pair: they go back to it first.
    KdrReleaseAllThreadRecords(Hooks());
    KdrSetAllocator(allocFn, freeFn);
  }
  StartProxyServices();
  LifecycleInstallFastCache();  // open files and the clear-cache exchange go through the fast cache
  KdrSetErrorTextLocalizer(&LocalizeErrorText);  // error texts come back translated by the server

  int r = 0;
  {
    // Threads that passed their initialised test before a termination may be connecting now:
    // they read the configuration under lock A.
    ProxyLockGuard a(ProxyLock::kA);
    r = ReadProxyConfiguration();
  }
  KdrClearLastError();
  if (r != 0) return InitFailed(r);

  // A launched server that has not opened its pipe by the start-up time-out leaves the thread
  // without a connection and without a failure: initialisation succeeds, and later exchanges
  // connect (reporting ERR_KDRCP_NO_SERVER themselves while the server is still absent).
  r = EnsureConnected();
  if (r != 0) return InitFailed(r);

  if (platform::GetEnv(kOpenCacheEarlyVariable) != nullptr) {
    Say("\n***** NOTICE: VXN_PROXY_OPEN_CACHE_EARLY is set, attempting to open the KDR fast "
        "cache. *****\n");
    ProxyLockGuard a(ProxyLock::kA);
    int c = LifecycleOpenFastCache();
    Say("\n***** checkInitKDRC() returned: %d *****\n", c);
  }

  g_last_init_result.store(0);
  g_initialized.store(true);
  Say("VXN Interface Implementation %s(%s) initialized.\n", kVersionName, kBuildDate);
  KdrLogPrintf("VXN Interface Implementation %s(%s) initialized.\n", kVersionName, kBuildDate);
  return 0;
}

// VXN_Term after the locks: lowers the count and, on the last balanced call, performs the real
// termination. REQUIRES: lock B.
int TermLocked() REQUIRES(KDR_LOCK_B) {
  if (!g_initialized.load()) return ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  if (g_init_count.fetch_sub(1) - 1 > 0) return 0;
  g_init_count.store(0);

  g_initialized.store(false);
  LifecycleReleaseOpenFiles();
  LifecycleReleaseTickets();
  CloseAllProxies();
  LifecycleCloseFastCache();
  StopIdleMonitor();

  g_last_init_result.store(ERR_KDRCP_NOT_INITIALIZED);
  KdrLogPrintf("VXN Interface Implementation %s(%s) API terminated.\n", kVersionName,
               kBuildDate);
  return 0;
}

}  // namespace

bool KdrProxyInitialized() { return g_initialized.load(); }

int KdrLastInitResult() { return g_last_init_result.load(); }

int32_t KdrInitCount() { return g_init_count.load(); }

int32_t KdrIdleMonitorCount() { return g_monitor_count.load(); }

void StartProxyServices() {
  g_monitor_stop.store(false);
  if (!KdrLogEnabled()) {
    const char* path = platform::GetEnv(kProxyLogVariable);
    if (path != nullptr) KdrLogOpen(path);
  }
  KdrResetThreadTable(Hooks());

  if (g_monitor_count.load() < 0) g_monitor_count.store(0);
  if (g_monitor_count.load() == 0) {
    uint32_t id = 0;
    // A monitor that cannot be started is not reported: the proxy runs without reclaiming.
    g_monitor_thread = VXNStartThread(&IdleMonitorThread, KdrThreadSlot(0), &id);
    if (g_monitor_thread != nullptr) g_monitor_count.fetch_add(1);
  }
}

void StopIdleMonitor() {
  g_monitor_stop.store(true);
  KdrClockValue start = KdrClock();
  while (g_monitor_count.load() >= 1 && KdrDeltaMs(KdrClock(), start) < kMonitorStopTimeoutMs) {
    KdrSleepMs(kStopPollMs);
  }
  // Joined once it has ended; a monitor still running after the wait (stuck behind a lock
  // held for a long connect) is left to end by itself, its handle released without a wait.
  bool ended = g_monitor_count.load() < 1;
  KdrReleaseThreadHandle(g_monitor_thread, ended);
  g_monitor_thread = nullptr;
  g_monitor_count.store(0);
}

void CloseAllProxies() {
  ProxyLockGuard a(ProxyLock::kA);
  KdrReleaseAllThreadRecords(Hooks());
}

uint32_t IdleMonitorThread(void* param) {
  (void)param;  // the thread table; the monitor reaches it through its own interface
  KdrLogPrintf("Monitoring idle threads...\n\n");
  bool stop = false;
  while (!stop && !g_monitor_stop.load()) {
    KdrClockValue t = KdrClock();
    do {
      KdrSleepMs(kMonitorSliceMs);
      stop = g_monitor_stop.load();
    } while (!stop && KdrDeltaMs(KdrClock(), t) < kMonitorPassMs);
    if (!stop) KdrMonitorPass(Hooks());
  }
  KdrLogPrintf("Idle thread monitor exiting...\n\n");
  {
    ProxyLockGuard a(ProxyLock::kA);
    g_monitor_count.fetch_sub(1);
  }
  return 0;
}

}  // namespace kdr

// ---- Interface-table entries ----

KDR_EXPORT int VXN_Init(VXNAllocFn allocFn, VXNFreeFn freeFn) {
  kdr::KdrInitLocks();
  kdr::ProxyLockGuard b(kdr::ProxyLock::kB);
  return kdr::InitLocked(allocFn, freeFn);
}

KDR_EXPORT int VXN_Term(void) {
  kdr::KdrInitLocks();
  kdr::ProxyLockGuard b(kdr::ProxyLock::kB);
  return kdr::TermLocked();
}

KDR_EXPORT int VXN_IsVXNEnabled(int* enabled) {
  kdr::KdrInitLocks();
  kdr::ProxyLockGuard b(kdr::ProxyLock::kB);
  if (enabled == nullptr) {
    if (!kdr::KdrProxyInitialized()) return kdr::ERR_KDRCP_BAD_ARG;
    KdrClearLastError();
    return KdrErrorCode(kdr::ERR_KDRCP_BAD_ARG);
  }
  if (kdr::KdrProxyInitialized()) {
    *enabled = 1;
    return 0;
  }
  // One trial initialisation, undone at once: the proxy is left as it was found.
  int r = kdr::InitLocked(&kdr::CAlloc, &kdr::CFree);
  if (r == 0) kdr::TermLocked();
  *enabled = r == 0 ? 1 : 0;
  return r;
}

KDR_EXPORT int VXN_SetLocale(const char* locale) {
  if (!kdr::KdrProxyInitialized()) return kdr::ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  // Bounded: a name of kConfigTextMax + 1 characters or more is refused without reading on.
  size_t n = locale != nullptr ? strnlen(locale, kdr::kConfigTextMax + 1) : 0;
  if (locale == nullptr || n > static_cast<size_t>(kdr::kConfigTextMax)) {
    return KdrErrorCode(kdr::ERR_KDRCP_BAD_ARG);
  }
  std::memcpy(kdr::gProxyConfig.locale, locale, n);
  kdr::gProxyConfig.locale[n] = '\0';
  int r = kdr::LifecycleSendLocale();
  return r != 0 ? KdrErrorCode(r) : 0;
}

KDR_EXPORT int VXN_GetLastError(const char** message) {
  if (message == nullptr) return kdr::ERR_KDRCP_BAD_ARG;
  *message = nullptr;
  if (kdr::KdrProxyInitialized()) {
    *message = kdr::KdrLocalizedErrorText();
    return 0;
  }
  *message = kdr::KdrErrorText(kdr::KdrLastInitResult());
  return kdr::ERR_KDRCP_NOT_INITIALIZED;
}

KDR_EXPORT int VXN_Echo(void) {
  if (!kdr::KdrProxyInitialized()) return kdr::ERR_KDRCP_NOT_INITIALIZED;
  return kdr::EchoMsg();
}

KDR_EXPORT int KdrClearCache() {
  if (!kdr::KdrProxyInitialized()) return kdr::ERR_KDRCP_NOT_INITIALIZED;
  KdrClearLastError();
  return KdrErrorCode(kdr::ClearCacheMsg());
}
