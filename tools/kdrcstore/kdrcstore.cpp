// kdrcstore: inspects a cache store directory and runs the store's full consistency check.
//
// For the people who run a cache: what the store holds (files, pages and segments in use, the
// hit and miss counters and the attached clients its owner keeps) and whether its structures
// are sound, with one line per finding and an exit code that scripts can test.
//
// The tool never changes a store. When a cache server has the store open (its mapping objects
// exist), the tool attaches to them the way a client does and holds the cache lock while it
// reads, so it sees one consistent state and the server waits for at most the time of one
// check. When nobody has the store open, the tool maps the files under mapping names of its
// own, so a server starting meanwhile finds its names free. Either way nothing is written: no
// clean-close marker, no counter, no list of the server's is touched.
//
// More commands serve the person who runs the server: `status` shows what the running
// kdrcached publishes in its cache directory (identity, uptime, clients, hits and misses,
// bytes from the store and the vault), `health` sums it up in one line and an exit code for
// a monitor, and `reset` removes a store that cannot be opened, so that the server builds a
// blank one at its next start (the store is only a cache).
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/dirs.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/options.h"
#include "platform/process.h"
#include "platform/shared_objects.h"
#include "server/stats.h"
#include "store/kdrc.h"
#include "store/metafile_format.h"
#include "store/segment_format.h"

namespace {

namespace plat = kdr::platform;
namespace meta = kdrc::meta;

// Exit codes.
constexpr int kExitClean = 0;     // opened and every check passed
constexpr int kExitFindings = 1;  // at least one finding (or damage that refuses the open)
constexpr int kExitUsage = 2;     // bad usage, or the store cannot be opened or locked

constexpr uint32_t kLockTimeoutMs = 5000;

const char kUsage[] =
    "Usage: kdrcstore [OPTIONS] [check] [CACHE_DIR]\n"
    "  or:  kdrcstore [OPTIONS] status [--json] [CACHE_DIR]\n"
    "  or:  kdrcstore [OPTIONS] health [CACHE_DIR]\n"
    "  or:  kdrcstore [OPTIONS] reset [CACHE_DIR]\n"
    "\n"
    "status: what the running kdrcached of CACHE_DIR publishes there (status.json, renewed\n"
    "every 2 s): version, process, uptime, clients, store size, block hits and misses,\n"
    "whole-file hits and misses, bytes from the store and from the vault. --json prints the\n"
    "file, with \"running\" as found now. The server runs when its process is alive and its\n"
    "file is at most 10 s old. Exit status 0 when the server runs with its store, 3 when no\n"
    "server runs, 4 when it runs without a store.\n"
    "\n"
    "health: one line, OK or CRITICAL with the reason, and an exit status for a monitor:\n"
    "0 healthy, 3 no server runs, 4 the server has no store, 5 the vault cannot be reached\n"
    "(a local vault directory is gone, or the server's last request to an object store\n"
    "failed to reach it).\n"
    "\n"
    "reset: removes the store files of CACHE_DIR (metafile, hash file, segment and extent\n"
    "files) so that kdrcached builds a blank store at its next start; the store is only a\n"
    "cache, the vault keeps every file. Refused while a server has the store open.\n"
    "\n"
    "check (the default):\n"
    "Inspects the cache store in CACHE_DIR (files, pages and segments in use, hits and\n"
    "misses, attached clients) and runs its full consistency check, printing each finding.\n"
    "The store is never changed. If a cache server has the store open, kdrcstore attaches\n"
    "to it as a client and holds the cache lock while it reads (the server waits meanwhile).\n"
    "\n"
    "CACHE_DIR defaults to the cache server's: $KDRCACHED_CACHE_DIR, else\n"
    "$KDRC_DEFAULT_CACHE_DIR, else $KDR_HOME/cache. The store's file\n"
    "names follow the same environment variables as the cache server's\n"
    "(KDRC_DEFAULT_METAFILE, KDRC_DEFAULT_HASH_FILE, KDRC_DEFAULT_SEGMENT_FILE, ...).\n"
    "\n"
    "Options:\n"
    "  -d, --cache-dir DIR  the cache directory (as the argument CACHE_DIR)\n"
    "  -n, --map-name NAME, --name NAME\n"
    "                    map name of the store (the base of its mapping-object and\n"
    "                    cache-lock names), as the cache server was given it; default:\n"
    "                    $KDRCACHED_MAP_NAME, else the name the store recorded, else the\n"
    "                    store's built-in names\n"
    "  -j, --json        status: print the status file (JSON), \"running\" as found now\n"
    "  -V, --version     print the version and exit\n"
    "  -i, --info-only   inspect, do not run the consistency check\n"
    "  -c, --check-only  run the consistency check, do not print the inspection\n"
    "  -h, --help        print this text and exit\n"
    "\n"
    "The store engine prints its own diagnostic lines (\"***ERROR...\", \"***TRACEBACK...\")\n"
    "for each violation; kdrcstore sums them up in lines starting with \"FINDING\".\n"
    "\n"
    "Exit status:\n"
    "  0  the store was opened and every check passed\n"
    "  1  findings: a check failed, or the store is too damaged to be opened\n"
    "  2  usage error, or the store cannot be opened (missing files, no access, cache lock\n"
    "     busy for 5 s)\n"
    "  3  status, health: no server runs on the cache directory; reset: a server has it open\n"
    "  4  status, health: the server runs without a store\n"
    "  5  health: the vault cannot be reached\n";

constexpr int kExitNotRunning = 3;
constexpr int kExitNoStore = 4;
constexpr int kExitVaultUnreachable = 5;
// A live server renews its status every 2 s: an older one is of a server that hangs or died.
constexpr long long kStatusFreshSeconds = 10;

enum class Command { kCheck, kStatus, kHealth, kReset };

struct Options {
  std::string dir;
  const char* name = nullptr;
  bool info = true;
  bool check = true;
  bool json = false;
  Command command = Command::kCheck;
};

// A shared record's signature while its owner has the store open (also while the owner still
// checks the blocks it kept).
bool OpenSignature(int32_t sig) {
  return sig == KDRC_FILESHARED_T_SIG || sig == KDRC_FILESHARED_T_CHECKING_SIG;
}

// Codes with which an open fails because the store cannot be reached at all (missing or
// inaccessible files and mapping objects, no memory), rather than because of what its files
// hold.
bool CannotReach(int code) {
  switch (code) {
    case KDRC_ERROR_OUT_OF_MEMORY:
    case KDRC_ERROR_NULL_POINTER:
    case KDRC_ERROR_METAFILE_DOES_NOT_EXIST:
    case KDRC_ERROR_METAFILE_DOES_NOT_EXIST_AND_CREATE_OPTION_NOT_SPECIFIED:
    case KDRC_ERROR_CANNOT_OPEN_FILE_FOR_MAPPING:
    case KDRC_ERROR_CANNOT_CREATE_MAPPING_OBJECT:
    case KDRC_ERROR_FILE_MAPPING_OBJECT_ALREADY_EXISTS:
    case KDRC_ERROR_SEGMENT_FILE_DOES_NOT_EXIST_AND_CREATE_OPTION_NOT_SPECIFIED:
    case KDRC_ERROR_SEGMENT_FILE_DOES_NOT_EXIST:
    case KDRC_ERROR_HASH_FILE_DOES_NOT_EXIST_AND_CREATE_OPTION_NOT_SPECIFIED:
    case KDRC_ERROR_HASH_FILE_DOES_NOT_EXIST:
    case KDRC_ERROR_UTIL_CANNOT_STAT_FILE:
    case KDRC_EROR_NULL_PARAMETER:
    case KDRC_ERROR_CLIENT_CANNOT_MAP_VM_FILE:
    case KDRC_ERROR_SEGMENT_KDRC_CANNOT_OPEN_EXTENT_FILE:
    case KDRC_ERROR_UTIL_CANNOT_OPEN_FILE:
      return true;
    default:
      return false;
  }
}

int ParseArgs(int argc, char** argv, Options* o) {
  enum { kName, kCacheDir, kInfo, kCheck, kJson, kHelp, kVersion };
  const std::vector<plat::OptionDef> defs = {
      {"map-name", true, kName, 'n'}, {"name", true, kName},
      {"cache-dir", true, kCacheDir, 'd'}, {"info-only", false, kInfo, 'i'},
      {"check-only", false, kCheck, 'c'}, {"json", false, kJson, 'j'},
      {"help", false, kHelp, 'h'}, {"version", false, kVersion, 'V'}};
  std::vector<plat::ParsedOption> given;
  std::vector<std::string> operands;
  std::string error;
  if (!plat::ParseOptions(argc, argv, defs, &given, &operands, &error)) {
    std::fprintf(stderr, "kdrcstore: %s (see kdrcstore --help)\n", error.c_str());
    return kExitUsage;
  }
  static std::string name;
  bool haveDir = false;
  for (const plat::ParsedOption& g : given) {
    switch (g.id) {
      case kHelp:
        std::fputs(kUsage, stdout);
        return -1;
      case kVersion:
        std::printf("kdrcstore %s\n", KDR_VERSION);
        return -1;
      case kName:
        if (g.value.empty()) {
          std::fprintf(stderr, "kdrcstore: %s needs a name\n", g.spelled.c_str());
          return kExitUsage;
        }
        name = g.value;
        o->name = name.c_str();
        break;
      case kCacheDir:
        o->dir = g.value;
        haveDir = !g.value.empty();
        break;
      case kInfo: o->check = false; break;
      case kCheck: o->info = false; break;
      case kJson: o->json = true; break;
    }
  }
  size_t next = 0;
  if (next < operands.size() && (operands[next] == "status" || operands[next] == "reset" ||
                                 operands[next] == "check" || operands[next] == "health")) {
    const std::string& c = operands[next++];
    o->command = c == "status"   ? Command::kStatus
                 : c == "reset"  ? Command::kReset
                 : c == "health" ? Command::kHealth
                                 : Command::kCheck;
  }
  if (next < operands.size()) {
    if (haveDir || next + 1 < operands.size()) {
      std::fprintf(stderr, "kdrcstore: more than one cache directory given\n");
      return kExitUsage;
    }
    o->dir = operands[next];
    haveDir = true;
  }
  if (!o->info && !o->check) {
    std::fprintf(stderr, "kdrcstore: --info-only and --check-only exclude each other\n");
    return kExitUsage;
  }
  if (o->name == nullptr && plat::GetEnvNonEmpty("KDRCACHED_MAP_NAME", &name)) {
    o->name = name.c_str();
  }
  if (!haveDir) {
    // The cache server's own setting first, so that the tool looks at the server's store.
    std::string v;
    if (plat::GetEnvNonEmpty("KDRCACHED_CACHE_DIR", &v) ||
        plat::GetEnvNonEmpty("KDRC_DEFAULT_CACHE_DIR", &v)) {
      o->dir = v;
    } else if (plat::GetEnvNonEmpty("KDR_HOME", &v)) {
      o->dir = v + "/cache";
    } else {
      std::fprintf(stderr,
                   "kdrcstore: no cache directory given, and none of KDRCACHED_CACHE_DIR, "
                   "KDRC_DEFAULT_CACHE_DIR, KDR_HOME is set (see kdrcstore --help)\n");
      return kExitUsage;
    }
  }
  return 0;
}

// The name of the metafile's mapping object, as the store forms it.
std::string MetaMapName(const char* name) {
  if (name != nullptr) return std::string(name) + "_MF";
  const char* env = plat::GetEnv("KDRC_DEFAULT_METAFILE_MAPNAME");
  return env != nullptr ? env : "KDR_MF";
}

// True when some process holds the store's metafile mapping object: the store is open.
bool StoreIsOpen(const char* name) {
  plat::MappingObject* obj = nullptr;
  if (plat::OpenMappingObject(MetaMapName(name), &obj) != 0) return false;
  plat::CloseMappingObject(obj);
  return true;
}

// The path of a store file as the store forms it: the cache directory joined with the name
// from `env`, else `fallback`.
std::string StorePath(const std::string& dir, const char* env, const char* fallback) {
  const char* name = plat::GetEnv(env);
  std::string path = dir;
  if (!path.empty() && path.back() != '/') path += '/';
  return path + (name != nullptr ? name : fallback);
}

bool ReadAt(const std::string& path, uint64_t offset, void* buf, size_t len) {
  int fd = plat::kNoFile;
  if (plat::OpenFile(path.c_str(), plat::FileMode::kReadOnly, &fd) != 0) return false;
  size_t done = 0;
  int rc = plat::ReadFileAt(fd, offset, buf, len, &done);
  plat::CloseFile(fd);
  return rc == 0 && done == len;
}

// The map name an owner that shared the store recorded behind its shared TOC (the cache lock's
// name, which is also the base of its mapping names), or "" when there is none. Reads the
// files only; every size read is checked before it is used as an offset.
std::string RecordedMapName(const std::string& dir) {
  meta::Header h;
  if (!ReadAt(StorePath(dir, "KDRC_DEFAULT_METAFILE", "kdr.mf"), 0, &h, sizeof h)) return "";
  if (h.filePages < 2 || h.filePages > meta::kMaxFilePages) return "";
  std::string seg = StorePath(dir, "KDRC_DEFAULT_SEGMENT_FILE", "kdr.seg");
  KDRC_FILESHARED_T rec;
  if (!ReadAt(seg, 0, &rec, sizeof rec)) return "";
  if ((!OpenSignature(rec.signature) && rec.signature != KDRC_FILESHARED_T_CLOSED_SIG) ||
      rec.filePages != h.filePages)
    return "";
  char name[261 + 1] = {};
  if (!ReadAt(seg, sizeof rec + 12 * uint64_t(h.filePages), name, 261)) return "";
  for (const char* c = name; *c != '\0'; ++c)
    if (*c < 0x21 || *c > 0x7E) return "";
  return name;
}

// The cache lock of a store that its owner shares, held from Take() to destruction.
class CacheLock {
 public:
  ~CacheLock() {
    if (held_) plat::ReleaseNamedMutex(mutex_);
    plat::CloseNamedMutex(mutex_);
  }
  // 0 when held, 1 when the store has no cache lock (its user shares nothing), 2 when busy.
  int Take(const char* name) {
    if (plat::OpenNamedMutex(name != nullptr ? name : "kdr", &mutex_) != 0) return 1;
    switch (plat::WaitNamedMutex(mutex_, kLockTimeoutMs)) {
      case plat::kWaitObject0:
        held_ = true;
        return 0;
      case plat::kWaitAbandoned:
        held_ = true;
        std::printf("note:        the last holder of the cache lock died holding it\n");
        return 0;
      default:
        return 2;
    }
  }

 private:
  plat::NamedMutex* mutex_ = nullptr;
  bool held_ = false;
};

struct Store {
  KDRC_FILETOC_T* toc = nullptr;
  ~Store() {
    if (toc != nullptr) KDRCFile_Close(toc);
  }
};

// Opens the metafile, segment file and hash file of the store, attaching to a live owner's
// mapping objects or, with `privateName`, mapping the files under names of the tool's own.
int OpenStore(const Options& o, bool live, const char* privateName, Store* s) {
  const char* mapName = live ? o.name : privateName;
  // The sizes the open is given matter only as the least the files must hold (the smallest
  // store there is); from the header on, the files' own sizes rule.
  constexpr int32_t kLeastPages = 2, kLeastSegments = 1, kLeastHashBlocks = 1;
  constexpr int32_t kNoExtentFiles = 0, kLeastExtentMB = meta::kMinExtentMegabytes;
  int fresh = 0;
  int rc = KDRCFile_Open(&s->toc, o.dir.c_str(), mapName, kLeastPages, kLeastSegments,
                         kLeastHashBlocks, kNoExtentFiles, kLeastExtentMB, /*create=*/0,
                         /*deleteFirst=*/0, /*attach=*/live ? 1 : 0, /*logFlag=*/0,
                         live ? KDRC_MODE_CLIENT : KDRC_MODE_STANDALONE, &fresh);
  if (rc != 0) return rc;
  rc = KDRCSegment_Open(s->toc, o.dir.c_str(), mapName, 0, 0, live ? 1 : 0);
  if (rc == 0) rc = KDRCHash_Open(s->toc, o.dir.c_str(), mapName, 0, 0, live ? 1 : 0);
  // An attached open builds no lists of its own. Build them here, from the pages as they are
  // under the cache lock, into this process's memory: the free-segment list and a date list
  // for the checks to walk; nothing the server uses is touched.
  if (rc == 0 && live) rc = KDRCFile_GetFreeSegmentMap(s->toc);
  return rc;
}

uint64_t Join(uint32_t low, uint32_t high) { return (uint64_t(high) << 32) | low; }

void PrintInfo(const Options& o, const std::string& recorded, bool live, bool locked,
               const Store& s) {
  const KDRC_FILETOC_T* t = s.toc;
  const meta::Header* h = t->pHeader;
  int32_t freePages = 0, allocated = 0, floating = 0, other = 0, files = 0, sharedToc = 0;
  int64_t entries = 0;
  for (int32_t n = 0; n < t->pageCount; ++n) {
    const meta::Page* p = KDRCX_PageAt(t, n);
    switch (p->kind) {
      case meta::kFree: ++freePages; break;
      case meta::kFloating: ++floating; break;
      case meta::kAllocated:
        ++allocated;
        if (p->firstPage) {
          // The owner's shared TOC is kept as a file of the store, under a fixed GUID.
          if (std::strncmp(p->guid, KDRC_SHARED_TOC_GUID, meta::kGuidLength) == 0)
            ++sharedToc;
          else
            ++files;
        }
        if (p->used > 0 && p->used <= meta::kEntriesPerPage) entries += p->used;
        break;
      default: ++other; break;
    }
  }
  int32_t bucketsUsed = 0;
  const KDRC_HASHTOC_T* ht = t->pHashToc;
  for (int32_t b = 0; ht != nullptr && b < ht->buckets; ++b)
    if (ht->pBuckets[b] != -1) ++bucketsUsed;
  const KDRC_FILESHARED_T* sh = t->pShared;
  int64_t segTotal = int64_t(sh->segments) + sh->extentSegments;

  std::printf("store:       %s\n", o.dir.c_str());
  if (o.name != nullptr)
    std::printf("map name:    %s\n", o.name);
  else if (!recorded.empty())
    std::printf("map name:    %s (recorded by the store's last owner)\n", recorded.c_str());
  else
    std::printf("map name:    (built-in names)\n");
  if (live)
    std::printf("state:       open by a cache server; inspected as a client%s\n",
                locked ? " holding the cache lock" : ", without a cache lock (none shared)");
  else if (h->cleanMarker == meta::kOpenMarker)
    std::printf("state:       marked open, but no server was found under the store's names:\n"
                "             either its owner died without closing it (an owner will refuse\n"
                "             it with 103), or the server runs under another --name or\n"
                "             KDR_RUNTIME_DIR (then this inspection ran without its lock)\n");
  else if (h->cleanMarker == meta::kCleanMarker)
    std::printf("state:       not open; closed cleanly\n");
  else
    std::printf("state:       not open; clean-close marker %" PRId32 " unknown\n", h->cleanMarker);
  std::printf("metafile:    version %" PRId32 ", %" PRId32 " pages\n", h->version, t->pageCount);
  std::printf("files:       %" PRId32 "%s\n", files,
              sharedToc != 0 ? " (and the owner's shared TOC)" : "");
  std::printf("pages:       %" PRId32 " allocated, %" PRId32 " free, %" PRId32 " floating",
              allocated, freePages, floating);
  if (other != 0) std::printf(", %" PRId32 " of unknown kind", other);
  std::printf("\n");
  std::printf("blocks:      %" PRId64 " cached (at most %.1f MiB)\n", entries,
              double(entries) * kdrc::seg::kSegmentSize / (1024.0 * 1024.0));
  std::printf("segments:    %" PRId64 " in use, %" PRId32 " free, of %" PRId64
              " (%" PRId32 " in the segment file, %" PRId32 " in %" PRId32
              " extent files; at most %" PRId32 " extent files of %" PRId32 " segments)\n",
              segTotal - t->freeSegCount, t->freeSegCount, segTotal, sh->segments,
              sh->extentSegments, sh->extentFiles, sh->maxExtentFiles, sh->segsPerExtent);
  if (ht != nullptr)
    std::printf("hash:        %" PRId32 " blocks, %" PRId32 " of %" PRId32 " buckets used\n",
                sh->hashBlocks, bucketsUsed, ht->buckets);

  // An owner that shares its structures keeps its counters at the start of segment 0; a store
  // only ever opened stand-alone has none there.
  KDRC_FILESHARED_T owner;
  const KDRC_SEGMENTTOC_T* seg = t->pSegmentToc;
  bool have = seg != nullptr && seg->pSegment0 != nullptr && seg->mappedBytes >= sizeof owner;
  if (have) std::memcpy(&owner, seg->pSegment0, sizeof owner);
  if (have && (OpenSignature(owner.signature) || owner.signature == KDRC_FILESHARED_T_CLOSED_SIG)) {
    bool open = OpenSignature(owner.signature);
    std::printf("owner:       %s (shared TOC in %" PRId32 " segment%s)\n",
                open ? "open" : "closed", owner.sharedTocSegments,
                owner.sharedTocSegments == 1 ? "" : "s");
    std::printf("hits:        %" PRIu64 "\n", Join(owner.hitsLow, owner.hitsHigh));
    std::printf("misses:      %" PRIu64 "\n", Join(owner.missesLow, owner.missesHigh));
    std::printf("clients:     %" PRId32 "%s\n", owner.clients, open ? "" : " (at the owner's close)");
  } else {
    std::printf("owner:       none recorded (the store was not shared by an owner)\n");
  }
  std::fflush(stdout);
}

struct Pass {
  int bit;
  const char* name;
};
constexpr Pass kPasses[] = {
    {KDRC_CHECK_HEADER, "header"},
    {KDRC_CHECK_PAGES, "pages"},
    {KDRC_CHECK_FREE_LIST, "free page list"},
    {KDRC_CHECK_DATE_LIST, "date list"},
    {KDRC_CHECK_HASH, "hash coverage"},
    {KDRC_CHECK_FREE_SEGMENT_ORDER, "free segment order"},
    {KDRC_CHECK_SEGMENT_MAP, "segment map"},
};

void PrintFinding(const char* what, int code, const KDRC_ERROR_T* err) {
  // The record holds the detail (":= value") when this code was recorded by this pass.
  const char* text = (err != nullptr && err->cacheError == code) ? err->cacheErrorText
                                                                 : KDRCX_ErrorName(code);
  std::printf("FINDING %s: %d %s\n", what, code, text);
}

// Runs every pass on its own, so that one violation does not hide the others. With
// `checkBlocks` every block is checked against its checksum too. With
// `sharedDates` the date list checked is the owner's, in the shared TOC, rather than the one
// rebuilt from the pages at this open. Returns the number of findings.
int RunChecks(Store* s, bool sharedDates, bool checkBlocks) {
  int findings = 0;
  auto report = [&](const char* name, int rc) {
    if (rc == 0) {
      std::printf("check %-19s ok\n", name);
    } else {
      PrintFinding(name, rc, s->toc->pErr);
      ++findings;
    }
    std::fflush(stdout);
  };
  auto clear = [&] {
    if (s->toc->pErr != nullptr) s->toc->pErr->cacheError = 0;
    std::fflush(stdout);
  };
  for (const Pass& p : kPasses) {
    if (sharedDates && p.bit == KDRC_CHECK_DATE_LIST) continue;
    clear();
    report(p.name, KDRCFile_CheckMetaFile(s->toc, p.bit));
  }
  // Every block against its checksum; blocks that fail are reported (the server drops them at
  // its next start). Not against a live store whose cache lock this tool does not hold.
  if (checkBlocks) {
    clear();
    int filled = 0;
    int64_t checked = 0, bad = 0;
    int rc = KDRCX_OpenSums(s->toc, 0, 1, &filled);
    if (rc == 0 && filled) rc = KDRCX_VerifyBlocks(s->toc, 0, &checked, &bad);
    KDRCX_CloseSums(s->toc);
    if (rc != 0) {
      report("block checksums", rc);
    } else if (!filled) {
      std::printf("check %-19s none kept\n", "block checksums");
    } else if (bad == 0) {
      std::printf("check %-19s ok (%lld blocks)\n", "block checksums",
                  static_cast<long long>(checked));
    } else {
      std::printf("FINDING block checksums: %lld of %lld blocks fail theirs (the server drops "
                  "them at its next start)\n", static_cast<long long>(bad),
                  static_cast<long long>(checked));
      ++findings;
    }
    std::fflush(stdout);
  }
  if (sharedDates) {
    // From here the TOC reads the owner's structures as a client does; a client TOC runs the
    // date-list pass only, so this comes last.
    clear();
    int rc = KDRCIF_UseStructsInSharedMemory(s->toc);
    if (rc == 0) rc = KDRCFile_CheckMetaFile(s->toc, KDRC_CHECK_DATE_LIST);
    report("date list (shared)", rc);
  }
  return findings;
}

// True when the owner keeps its shared TOC in segment 0 and has the store open.
bool OwnerShares(const Store& s) {
  const KDRC_SEGMENTTOC_T* seg = s.toc->pSegmentToc;
  if (seg == nullptr || seg->pSegment0 == nullptr || seg->mappedBytes < sizeof(KDRC_FILESHARED_T))
    return false;
  KDRC_FILESHARED_T rec;
  std::memcpy(&rec, seg->pSegment0, sizeof rec);
  return OpenSignature(rec.signature);
}

std::string Human(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (bytes >= 1024 && u < 4) {
    bytes /= 1024;
    ++u;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[u]);
  return buf;
}

// The status file of the cache directory, and whether its server runs now.
struct ServerStatus {
  std::string text;
  std::map<std::string, std::string> v;
  bool alive = false;
  long long Num(const char* key) const {
    auto it = v.find(key);
    return it == v.end() ? 0 : std::atoll(it->second.c_str());
  }
};

// 0, or the exit status with the reason printed.
int ReadServerStatus(const Options& o, ServerStatus* s) {
  std::string path = o.dir + "/status.json";
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "kdrcstore: no status in %s: no kdrcached has run on this cache "
                 "directory (or it is another one: see --cache-dir)\n", o.dir.c_str());
    return kExitNotRunning;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  s->text = ss.str();
  if (!kdr::server::ParseFlatJson(s->text, &s->v)) {
    std::fprintf(stderr, "kdrcstore: %s is not a status file\n", path.c_str());
    return kExitUsage;
  }
  long pid = static_cast<long>(s->Num("pid"));
  long status = 0;
  int err = 0;
  long long age = static_cast<long long>(std::time(nullptr)) - s->Num("updated_at");
  s->alive = s->v["running"] == "true" && pid > 0 && age <= kStatusFreshSeconds &&
             plat::QueryProcess(pid, &status, &err) == plat::ProcessState::kRunning;
  return 0;
}

int Health(const Options& o) {
  ServerStatus s;
  if (int rc = ReadServerStatus(o, &s)) {
    std::printf("CRITICAL: no kdrcached runs on %s\n", o.dir.c_str());
    return rc == kExitUsage ? kExitUsage : kExitNotRunning;
  }
  if (!s.alive) {
    std::printf("CRITICAL: no kdrcached runs on %s (process %lld is gone or stopped reporting)\n",
                o.dir.c_str(), s.Num("pid"));
    return kExitNotRunning;
  }
  if (s.v["store_open"] != "true") {
    std::printf(
        "CRITICAL: kdrcached (process %lld) runs without a cache store in %s: every "
        "read goes to the vault (see its log; kdrcstore reset)\n",
        s.Num("pid"), o.dir.c_str());
    return kExitNoStore;
  }
  const std::string& vault = s.v["vault_dir"];
  bool local = vault.rfind("s3://", 0) != 0;
  if (local ? !plat::IsDirectory(vault) : s.v["vault_reachable"] == "false") {
    std::printf("CRITICAL: the vault %s cannot be reached%s\n", vault.c_str(),
                local ? " (not a directory)" : " (the server's last request failed to reach it)");
    return kExitVaultUnreachable;
  }
  std::printf("OK: kdrcached %s, process %lld, store open, vault %s\n", s.v["version"].c_str(),
              s.Num("pid"), vault.c_str());
  return kExitClean;
}

int Status(const Options& o) {
  ServerStatus s;
  if (int rc = ReadServerStatus(o, &s)) return rc;
  std::map<std::string, std::string>& v = s.v;
  auto num = [&](const char* key) { return s.Num(key); };
  long pid = static_cast<long>(num("pid"));
  bool alive = s.alive;
  int rc = !alive ? kExitNotRunning : v["store_open"] == "true" ? kExitClean : kExitNoStore;
  if (o.json) {
    // As found now: a server that died without writing its last status did not stop running.
    std::string text = s.text;
    const std::string said = "\"running\": true";
    size_t at = text.find(said);
    if (!alive && at != std::string::npos) text.replace(at, said.size(), "\"running\": false");
    std::fputs(text.c_str(), stdout);
    return rc;
  }
  long long up = alive ? static_cast<long long>(std::time(nullptr)) - num("started_at")
                       : num("uptime_seconds");
  std::printf("server:      kdrcached %s, process %ld, %s\n", v["version"].c_str(), pid,
              alive ? "running" : "NOT running (the figures are from its last report)");
  std::printf("uptime:      %lldd %02lld:%02lld:%02lld\n", up / 86400, up / 3600 % 24,
              up / 60 % 60, up % 60);
  std::printf("cache:       %s (map name %s)\n", v["cache_dir"].c_str(), v["map_name"].c_str());
  std::printf("vault:       %s\n", v["vault_dir"].c_str());
  std::printf("log:         %s\n", v["log_file"] == "-" ? "standard error" : v["log_file"].c_str());
  if (v["store_open"] == "true")
    std::printf("store:       %s (%lld segments%s, %lld file pages)\n",
                Human(double(num("store_bytes"))).c_str(), num("store_segments"),
                num("store_extent_files") > 0
                    ? (", up to " + std::to_string(num("store_extent_files")) +
                       " extent files of " + std::to_string(num("store_extent_mb")) + " MiB").c_str()
                    : "",
                num("store_file_pages"));
  else
    std::printf("store:       NOT open: every read goes to the vault (see the log; "
                "kdrcstore reset)\n");
  std::printf("clients:     %lld connected, %lld open files\n", num("clients"),
              num("open_handles"));
  long long hits = num("block_hits"), misses = num("block_misses");
  std::printf("blocks:      %lld hits, %lld misses", hits, misses);
  if (hits + misses > 0) std::printf(" (%.1f %% hits)", 100.0 * double(hits) / double(hits + misses));
  std::printf("\n");
  // What the clients' fast cache reads from the store never reaches the server: the store
  // counts those itself, in its shared record at the start of the segment file.
  KDRC_FILESHARED_T rec;
  if (ReadAt(StorePath(o.dir, "KDRC_DEFAULT_SEGMENT_FILE", "kdr.seg"), 0, &rec, sizeof rec) &&
      (OpenSignature(rec.signature) || rec.signature == KDRC_FILESHARED_T_CLOSED_SIG)) {
    std::printf("fast cache:  %" PRIu64 " hits, %" PRIu64 " misses (reads the clients served "
                "from the store themselves)\n",
                Join(rec.hitsLow, rec.hitsHigh), Join(rec.missesLow, rec.missesHigh));
    if (OpenSignature(rec.signature) && rec.filePages > 0) {
      std::printf("store use:   %d of %d file pages hold cached files (%.1f %%)\n", rec.dateCount,
                  rec.filePages, 100.0 * rec.dateCount / rec.filePages);
    }
  }
  std::printf("bytes:       %s from the store, %s from the vault\n",
              Human(double(num("bytes_from_store"))).c_str(),
              Human(double(num("bytes_from_vault"))).c_str());
  std::printf("whole files: %lld hits, %lld misses; %s cached of at most %s, %lld evicted\n",
              num("file_hits"), num("file_misses"), Human(double(num("files_bytes"))).c_str(),
              num("files_max_bytes") > 0 ? Human(double(num("files_max_bytes"))).c_str() : "(no bound)",
              num("files_evicted"));
  return rc;
}

// The last part of `path`, after its last slash.
std::string FileNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

int Reset(const Options& o) {
  std::string recorded = o.name != nullptr ? o.name : RecordedMapName(o.dir);
  // A server is found by its store's names (in this user's runtime directory) or, should it
  // run with another KDR_RUNTIME_DIR, by the status it keeps in the directory.
  bool serverRuns = false;
  {
    std::ifstream in(o.dir + "/status.json", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::map<std::string, std::string> v;
    long pid = 0, status = 0;
    int err = 0;
    if (kdr::server::ParseFlatJson(ss.str(), &v) && v["running"] == "true" &&
        (pid = std::atol(v["pid"].c_str())) > 0 &&
        plat::QueryProcess(pid, &status, &err) == plat::ProcessState::kRunning) {
      serverRuns = true;
    }
  }
  if (serverRuns || StoreIsOpen(o.name) ||
      (!recorded.empty() && StoreIsOpen(recorded.c_str()))) {
    std::fprintf(stderr,
                 "kdrcstore: a cache server runs on the store in %s: stop it first (systemctl "
                 "--user stop kdrcached, or kill -TERM its process), then reset\n",
                 o.dir.c_str());
    return kExitNotRunning;
  }
  if (!plat::IsDirectory(o.dir)) {
    std::fprintf(stderr, "kdrcstore: %s is not a directory\n", o.dir.c_str());
    return kExitUsage;
  }
  std::vector<std::string> names;
  for (auto [env, fallback] : {std::pair{"KDRC_DEFAULT_METAFILE", "kdr.mf"},
                               std::pair{"KDRC_DEFAULT_HASH_FILE", "kdr.hsh"},
                               std::pair{"KDRC_DEFAULT_SEGMENT_FILE", "kdr.seg"}}) {
    names.push_back(FileNameOf(StorePath(o.dir, env, fallback)));
  }
  names.push_back(kdrc::meta::kSumsFile);
  std::string ext = FileNameOf(StorePath(o.dir, "KDRC_DEFAULT_SEGMENTEXT_FILE", "kdr.ext"));
  int removed = 0, failed = 0;
  std::vector<plat::DirEntry> entries;
  plat::ListDirectory(o.dir, &entries);
  for (const plat::DirEntry& entry : entries) {
    const std::string& f = entry.name;
    bool store = false;
    for (const std::string& n : names) store = store || f == n;
    if (f.size() > ext.size() && f.rfind(ext, 0) == 0 &&
        f.find_first_not_of("0123456789", ext.size()) == std::string::npos) {
      store = true;
    }
    if (!store) continue;
    const std::string path = o.dir + "/" + f;
    if (int rc = plat::RemovePath(path); rc != 0) {
      std::fprintf(stderr, "kdrcstore: cannot remove %s: %s\n", path.c_str(),
                   plat::ErrorString(rc).c_str());
      ++failed;
    } else {
      ++removed;
    }
  }
  if (failed != 0) return kExitFindings;
  std::printf("reset: %d store file%s removed from %s; kdrcached builds a blank store at its "
              "next start\n", removed, removed == 1 ? "" : "s", o.dir.c_str());
  return kExitClean;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (int rc = ParseArgs(argc, argv, &o)) return rc < 0 ? kExitClean : rc;
  if (o.command == Command::kStatus) return Status(o);
  if (o.command == Command::kHealth) return Health(o);
  if (o.command == Command::kReset) return Reset(o);
  // Inspection writes nothing: not even the trace file a server's environment may ask for.
  unsetenv("KDRC_CACHE_TRACE");

  std::string metafile = StorePath(o.dir, "KDRC_DEFAULT_METAFILE", "kdr.mf");
  uint64_t size = 0;
  if (plat::StatPath(metafile.c_str(), &size) != 0) {
    std::fprintf(stderr, "kdrcstore: no cache store in %s (no %s)\n", o.dir.c_str(),
                 metafile.c_str());
    return kExitUsage;
  }
  std::string recorded;
  if (o.name == nullptr) {
    // Without a name, look for an owner under the name its shared TOC recorded, then under
    // the built-in names.
    recorded = RecordedMapName(o.dir);
    if (!recorded.empty() && StoreIsOpen(recorded.c_str())) o.name = recorded.c_str();
  }
  bool live = StoreIsOpen(o.name);
  CacheLock lock;
  bool locked = false;
  if (live) {
    int l = lock.Take(o.name);
    if (l == 2) {
      std::fprintf(stderr, "kdrcstore: the cache lock of the store in %s stayed busy for %u ms\n",
                   o.dir.c_str(), unsigned(kLockTimeoutMs));
      return kExitUsage;
    }
    locked = l == 0;
  }
  std::string privateName = "kdrcstore." + std::to_string(plat::CurrentProcessId());
  Store s;
  int rc = OpenStore(o, live, privateName.c_str(), &s);
  std::fflush(stdout);
  if (rc != 0) {
    if (CannotReach(rc)) {
      std::fprintf(stderr, "kdrcstore: cannot open the store in %s: %d %s\n", o.dir.c_str(), rc,
                   KDRCX_ErrorName(rc));
      return kExitUsage;
    }
    std::printf("FINDING open: %d %s\n", rc, KDRCX_ErrorName(rc));
    std::printf("result: the store is too damaged to be opened\n");
    std::fflush(stdout);
    return kExitFindings;
  }
  if (o.info) PrintInfo(o, recorded, live, locked, s);
  if (!o.check) return kExitClean;
  int findings = RunChecks(&s, live && locked && OwnerShares(s), !live || locked);
  if (findings == 0)
    std::printf("result: clean\n");
  else
    std::printf("result: %d finding%s\n", findings, findings == 1 ? "" : "s");
  std::fflush(stdout);
  return findings == 0 ? kExitClean : kExitFindings;
}
