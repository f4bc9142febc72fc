// A reader of the mixed-load test: opens the files of TICKETS ("<file number> <ticket>" lines)
// through the client library one handle at a time, reads each in pieces of random size and
// place, and checks every byte against the self-describing records.
//   server_mix_reader TICKETS SECONDS OUT
// After each handle it appends to OUT a line "handles=H reads=R changed=C errors=E mixed=M
// misplaced=B": M counts handles that returned records of two volumes, B bytes that belong
// to no volume of the file at their place, C handles whose reads stopped with the "changed"
// code, E other failures (a server that went away, mostly). A fault also gets a line of its
// own at once, so a reader killed later loses none.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/result_codes.h"
#include "iface/interface.h"
#include "support/records.h"

namespace {

constexpr uint32_t kMaxVolume = 400;

struct Totals {
  long handles = 0, reads = 0, changed = 0, errors = 0, mixed = 0;
  unsigned long long misplaced = 0;
};

void Report(const char* out, const char* line) {
  FILE* f = std::fopen(out, "a");
  if (f == nullptr) return;
  std::fputs(line, f);
  std::fclose(f);
}

// Reads one handle of file `file`. Returns false when the handle could not be had.
bool ReadOne(uint32_t file, const std::string& ticket, std::mt19937* rng, Totals* t,
             const char* out) {
  const char* key = nullptr;
  VXNFileHandle h = nullptr;
  if (VXN_RegisterTicket(ticket.c_str(), &key) != 0 || VXN_OpenFile(key, &h) != 0) return false;
  int64_t size = -1;
  uint32_t volume = 0;
  bool mixed = false;
  std::string buf(64 * 1024, '\0');
  if (VXN_FileSize(h, &size) == 0 && size > 0) {
    for (int piece = 0; piece < 24; ++piece) {
      int64_t at = (*rng)() % 4 == 0 ? static_cast<int64_t>((*rng)() % static_cast<uint64_t>(size)) : -1;
      if (at >= 0 && VXN_SeekAbsolute(h, at) != 0) break;
      int64_t position = 0;
      if (VXN_GetSeekPointer(h, &position) != 0 || position >= size) break;
      int n = static_cast<int>((*rng)() % buf.size()) + 1;
      int got = 0;
      int r = VXN_ReadBytes(h, "mix", n, &got, buf.data());
      if (r != 0) {
        ++(r == kdr::ERR_KDRCP_BAD_FILE ? t->changed : t->errors);
        break;
      }
      ++t->reads;
      kdr::records::Scan s = kdr::records::ScanRecords(buf.data(), static_cast<size_t>(got),
                                                       static_cast<uint64_t>(position), file,
                                                       kMaxVolume);
      char line[200];
      if (s.misplaced > 0) {
        std::snprintf(line, sizeof line, "MISPLACED file=%u at=%lld bytes=%llu\n", file,
                      static_cast<long long>(position), static_cast<unsigned long long>(s.misplaced));
        Report(out, line);
        t->misplaced += s.misplaced;
      }
      uint32_t first = s.firstVolume;
      if (first != 0 && volume == 0) volume = first;
      if (!mixed && (s.twoVolumes || (first != 0 && first != volume))) {
        mixed = true;
        ++t->mixed;
        std::snprintf(line, sizeof line, "MIXED file=%u volumes=%u,%u at=%lld\n", file, volume,
                      first, static_cast<long long>(position));
        Report(out, line);
      }
    }
  }
  VXN_CloseFileHandlePointer(h);
  VXN_UnRegisterTicket(key);
  ++t->handles;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  std::vector<std::pair<uint32_t, std::string>> files;
  std::ifstream in(argv[1]);
  uint32_t number = 0;
  std::string ticket;
  while (in >> number >> ticket) files.emplace_back(number, ticket);
  if (files.empty()) return 2;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[2]));
  std::mt19937 rng(static_cast<unsigned>(std::random_device{}()));
  Totals t;
  bool initialised = false;
  while (std::chrono::steady_clock::now() < end) {
    if (!initialised && VXN_Init(nullptr, nullptr) != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    initialised = true;
    const auto& [file, tk] = files[rng() % files.size()];
    if (!ReadOne(file, tk, &rng, &t, argv[3])) {
      ++t.errors;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    char line[200];
    std::snprintf(line, sizeof line, "handles=%ld reads=%ld changed=%ld errors=%ld mixed=%ld misplaced=%llu\n",
                  t.handles, t.reads, t.changed, t.errors, t.mixed, t.misplaced);
    Report(argv[3], line);
  }
  if (initialised) VXN_Term();
  return 0;
}
