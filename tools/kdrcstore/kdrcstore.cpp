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
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/env.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/shared_objects.h"
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
    "Usage: kdrcstore [OPTIONS] [CACHE_DIR]\n"
    "\n"
    "Inspects the cache store in CACHE_DIR (files, pages and segments in use, hits and\n"
    "misses, attached clients) and runs its full consistency check, printing each finding.\n"
    "The store is never changed. If a cache server has the store open, kdrcstore attaches\n"
    "to it as a client and holds the cache lock while it reads (the server waits meanwhile).\n"
    "\n"
    "CACHE_DIR defaults to $KDRC_DEFAULT_CACHE_DIR, else $KDR_HOME/cache. The store's file\n"
    "names follow the same environment variables as the cache server's\n"
    "(KDRC_DEFAULT_METAFILE, KDRC_DEFAULT_HASH_FILE, KDRC_DEFAULT_SEGMENT_FILE, ...).\n"
    "\n"
    "Options:\n"
    "  -n, --name NAME   map name of the store (the base of its mapping-object and cache-lock\n"
    "                    names), as the cache server was given it; default: the store's\n"
    "                    built-in names\n"
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
    "     busy for 5 s)\n";

struct Options {
  std::string dir;
  const char* name = nullptr;
  bool info = true;
  bool check = true;
};

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
  bool haveDir = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return -1;
    } else if (a == "-n" || a == "--name") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::fprintf(stderr, "kdrcstore: %s needs a name\n", a.c_str());
        return kExitUsage;
      }
      o->name = argv[++i];
    } else if (a.rfind("--name=", 0) == 0 && a.size() > 7) {
      o->name = argv[i] + 7;
    } else if (a == "-i" || a == "--info-only") {
      o->check = false;
    } else if (a == "-c" || a == "--check-only") {
      o->info = false;
    } else if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "kdrcstore: unknown option '%s' (see kdrcstore --help)\n", a.c_str());
      return kExitUsage;
    } else if (haveDir) {
      std::fprintf(stderr, "kdrcstore: more than one cache directory given\n");
      return kExitUsage;
    } else {
      o->dir = a;
      haveDir = true;
    }
  }
  if (!o->info && !o->check) {
    std::fprintf(stderr, "kdrcstore: --info-only and --check-only exclude each other\n");
    return kExitUsage;
  }
  if (!haveDir) {
    std::string v;
    if (plat::GetEnvNonEmpty("KDRC_DEFAULT_CACHE_DIR", &v)) {
      o->dir = v;
    } else if (plat::GetEnvNonEmpty("KDR_HOME", &v)) {
      o->dir = v + "/cache";
    } else {
      std::fprintf(stderr,
                   "kdrcstore: no cache directory given, and neither KDRC_DEFAULT_CACHE_DIR nor "
                   "KDR_HOME is set (see kdrcstore --help)\n");
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
  if ((rec.signature != KDRC_FILESHARED_T_SIG && rec.signature != KDRC_FILESHARED_T_CLOSED_SIG) ||
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
  if (have && (owner.signature == KDRC_FILESHARED_T_SIG ||
               owner.signature == KDRC_FILESHARED_T_CLOSED_SIG)) {
    bool open = owner.signature == KDRC_FILESHARED_T_SIG;
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
// `sharedDates` the date list checked is the owner's, in the shared TOC, rather than the one
// rebuilt from the pages at this open. Returns the number of findings.
int RunChecks(Store* s, bool sharedDates) {
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
  return rec.signature == KDRC_FILESHARED_T_SIG;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (int rc = ParseArgs(argc, argv, &o)) return rc < 0 ? kExitClean : rc;
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
  int findings = RunChecks(&s, live && locked && OwnerShares(s));
  if (findings == 0)
    std::printf("result: clean\n");
  else
    std::printf("result: %d finding%s\n", findings, findings == 1 ? "" : "s");
  std::fflush(stdout);
  return findings == 0 ? kExitClean : kExitFindings;
}
