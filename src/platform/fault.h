// Fault seam of the platform layer.
//
// Every operating-system call of the POSIX layer that can fail in a way the rest of the
// system must survive goes through FaultHit() first. A test arms the seam to make the Nth
// next call of one kind fail with a chosen errno, the way SQLite's test_syscall swaps its
// VFS table. With nothing armed, FaultHit() costs one relaxed atomic load.
//
// Thread-safe: any thread may arm, clear or hit the seam.
#ifndef KDR_PLATFORM_FAULT_H_
#define KDR_PLATFORM_FAULT_H_

namespace kdr::platform {

// The kinds of call a test can make fail. Add a kind next to the call it guards.
// clang-format off
enum class Sys : int {
  kOpen, kRead, kWrite, kPread, kPwrite, kFtruncate, kFstat, kStat, kFsync,
  kMmap, kFlock, kRename, kUnlink, kMkdir,
  kSocket, kConnect, kBind, kListen, kAccept, kSend, kRecv,
  kSpawn, kWaitpid, kDlopen, kThreadCreate, kMutexLock,
  kClose, kMunmap,
  kKill,
  kFallocate,
  kOpendir, kRmdir, kChmod, kUtime,
  kCount
};
// clang-format on

// Arms the seam: after `skip` more calls of `call` succeed, the next `times` calls fail with
// errno `err` (times < 0: every call from then on). Replaces what was armed for `call`.
void InjectFault(Sys call, int err, int skip = 0, int times = 1);

// Disarms every kind of call.
void ClearFaults();

// How many calls of `call` the seam made fail since the last ClearFaults().
int FaultsFired(Sys call);

// For the POSIX layer: returns true, with errno set to the armed value, when this call of
// `call` must fail instead of reaching the system. Otherwise returns false and leaves errno.
bool FaultHit(Sys call);

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_FAULT_H_
