#include "platform/dynlib.h"

#include <dlfcn.h>

#include "platform/fault.h"

namespace kdr::platform {

DynLib* DynLibOpen(const char* path, std::string* error) {
  if (path == nullptr || *path == '\0') {
    if (error != nullptr) error->assign("empty library path");
    return nullptr;
  }
  if (FaultHit(Sys::kDlopen)) {
    if (error != nullptr) error->assign("injected failure");
    return nullptr;
  }
  void* h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    const char* why = dlerror();
    if (error != nullptr) error->assign(why != nullptr ? why : "unknown error");
  }
  return static_cast<DynLib*>(h);
}

void* DynLibSymbol(DynLib* lib, const char* name) {
  if (lib == nullptr || name == nullptr) return nullptr;
  return dlsym(lib, name);
}

void DynLibClose(DynLib* lib) {
  if (lib != nullptr) dlclose(lib);
}

}  // namespace kdr::platform
