// The lifecycle's hooks into the units whose state it starts or releases. Each hook stands for
// one step of VXN_Init or VXN_Term; the unit that owns that state connects its operation here:
//   LifecycleReleaseOpenFiles    the open-file registry's release of every handle
//   LifecycleReleaseTickets      the ticket registry's release of every entry
//   LifecycleSendLocale          the control message that carries the locale (LocaleMsg)
//   LifecycleThreadOwnsOpenFile  the open-file registry's owner test, for the idle monitor
// Until a unit is built in, its hook keeps the behaviour of a proxy without that state. The
// fast cache's hooks are in fastcache/fast_cache_hooks.cpp: it stands above this room.
#include "proxy/lifecycle.h"

#include "protocol/control_messages.h"
#include "proxy/open_files.h"
#include "proxy/tickets.h"

namespace kdr {

void LifecycleReleaseOpenFiles() { ReleaseAllFileHandles(); }

void LifecycleReleaseTickets() { ReleaseAllTickets(); }

int LifecycleSendLocale() { return LocaleMsg(); }

bool LifecycleThreadOwnsOpenFile(uint32_t threadId) { return IsOpenFileOwner(threadId); }

}  // namespace kdr
