// The fast cache's steps of VXN_Init and VXN_Term (the hooks proxy/lifecycle.h declares):
//   LifecycleInstallFastCache    connects the fast cache to open files and clear-cache
//   LifecycleOpenFastCache       the early attach (checkInitKDRC)
//   LifecycleCloseFastCache      the detach (closeFastCache)
// They live here, not beside the other hooks, because the fast cache stands a floor above the
// lifecycle and is included by nothing below it.
#include "fastcache/fast_cache.h"
#include "proxy/lifecycle.h"

namespace kdr {

void LifecycleInstallFastCache() { InstallFastCache(); }

int LifecycleOpenFastCache() { return checkInitKDRC(); }

int LifecycleCloseFastCache() { return closeFastCache(); }

}  // namespace kdr
