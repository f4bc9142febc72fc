// A client process for the handle-release test: opens a ticket, writes the handle it got to
// a file, then waits to be killed.
//   server_kill_client MASTER_SOCKET TICKET OUT_FILE
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/clock.h"
#include "server/raw_client.h"

int main(int argc, char** argv) {
  using namespace kdr::servertest;
  if (argc != 4) return 2;
  RawClient c;
  if (c.Connect(argv[1]) != kdr::platform::kPipeOk) return 3;
  Reply v = c.VersionCheck(kdr::kProtocolVersion);
  if (v.typeId != kdr::kReplyNormal) return 4;
  Reply r = c.Open(argv[2]);
  if (r.typeId != kdr::kReplyNormal || r.payload.size() < 2) return 5;
  std::string tmp = std::string(argv[3]) + ".tmp";
  std::ofstream(tmp) << kdr::GetBE16(r.payload.data(), 0) << "\n";
  std::rename(tmp.c_str(), argv[3]);
  for (;;) kdr::platform::SleepMs(1000);
}
