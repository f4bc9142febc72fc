// Shared libraries loaded at run time.
#ifndef KDR_PLATFORM_DYNLIB_H_
#define KDR_PLATFORM_DYNLIB_H_

#include <string>

namespace kdr::platform {

// An opaque handle of a loaded shared library.
struct DynLib;

// Loads the shared library at `path`, resolving all its symbols now and keeping them out of
// the process's global namespace (so it cannot bind to, or be bound by, other copies of the
// same code). On success returns the handle. On failure returns nullptr and, when `error`
// is not null, stores the loader's explanation in *error.
DynLib* DynLibOpen(const char* path, std::string* error);

// Returns the address of the symbol `name` defined by `lib`, or nullptr when it has none.
void* DynLibSymbol(DynLib* lib, const char* name);

// Releases a handle from DynLibOpen(). Addresses taken from it must not be used afterwards.
void DynLibClose(DynLib* lib);

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_DYNLIB_H_
