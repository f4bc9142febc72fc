// Takes the named mutex argv[1] (the cache mutex of a store) and dies by SIGKILL holding it,
// as a cache server or client killed in the middle of a change would. With "stop" after the
// name it stops itself (SIGSTOP) holding the mutex first, as a client in a debugger would.
// Exit codes when it cannot get that far: 2 usage, 3 open failed, 4 wait failed.
#include <csignal>
#include <cstdio>

#include "platform/shared_objects.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) return 2;
  kdr::platform::NamedMutex* m = nullptr;
  if (kdr::platform::OpenNamedMutex(argv[1], &m) != 0) return 3;
  if (kdr::platform::WaitNamedMutex(m, 5000) != kdr::platform::kWaitObject0) return 4;
  if (argc == 3) std::raise(SIGSTOP);
  std::raise(SIGKILL);
  return 5;
}
