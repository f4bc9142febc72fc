// A second process for the named-object tests. It does one thing with a named object, prints
// one line with the result ("0", "183", ...) and then waits: until its standard input closes
// (it then closes its handles and exits) or until the test kills it.
//
//   named_object_helper map NAME FILE       create a mapping object over FILE
//   named_object_helper write NAME OFFSET TEXT
//                                           open the mapping object, write TEXT at OFFSET
//   named_object_helper lock NAME           create the mutex and own it
//   named_object_helper release NAME        open the mutex and try to release it
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/shared_objects.h"

using namespace kdr::platform;

namespace {

void Report(int code) {
  std::printf("%d\n", code);
  std::fflush(stdout);
}

void WaitForEof() {
  while (std::fgetc(stdin) != EOF) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  std::string cmd = argv[1];
  const char* name = argv[2];
  if (cmd == "map" && argc == 4) {
    MappingObject* obj = nullptr;
    Report(CreateMappingObject(name, argv[3], 0, &obj));
    WaitForEof();
    CloseMappingObject(obj);
  } else if (cmd == "write" && argc == 5) {
    MappingObject* obj = nullptr;
    int rc = OpenMappingObject(name, &obj);
    MappedView* view = nullptr;
    void* data = nullptr;
    size_t len = std::strlen(argv[4]);
    if (rc == 0) rc = MapView(obj, std::strtoull(argv[3], nullptr, 10), len, true, &view, &data);
    if (rc == 0) std::memcpy(data, argv[4], len);
    Report(rc);
    WaitForEof();
    UnmapView(view);
    CloseMappingObject(obj);
  } else if (cmd == "lock") {
    NamedMutex* m = nullptr;
    int rc = CreateNamedMutex(name, &m);
    if (rc == 0) rc = WaitNamedMutex(m, kInfiniteWait);
    Report(rc);
    WaitForEof();
    CloseNamedMutex(m);
  } else if (cmd == "release") {
    NamedMutex* m = nullptr;
    int rc = OpenNamedMutex(name, &m);
    if (rc == 0) rc = ReleaseNamedMutex(m);
    Report(rc);
    WaitForEof();
    CloseNamedMutex(m);
  } else {
    return 2;
  }
  return 0;
}
