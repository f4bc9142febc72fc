#include "platform/shared_objects.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/fault.h"
#include "platform/runtime_dir.h"

extern char** environ;

namespace kdr::platform {
namespace {

namespace fs = std::filesystem;

// A run of named_object_helper: its first output line is the result of what it did; it
// keeps its handles until Finish() closes its input or Kill() kills it.
class Helper {
 public:
  explicit Helper(std::vector<std::string> args) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    args.insert(args.begin(), KDR_NAMED_OBJECT_HELPER);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    to_child_ = in[1];
    from_child_ = out[0];
  }
  ~Helper() {
    Kill();
    close(from_child_);
  }

  // The helper's result line, or -9999 when it printed none within 10 s.
  int Result() {
    std::string line;
    char c;
    while (line.size() < 32) {
      pollfd p{from_child_, POLLIN, 0};
      if (poll(&p, 1, 10000) != 1 || read(from_child_, &c, 1) != 1) return -9999;
      if (c == '\n') return std::atoi(line.c_str());
      line += c;
    }
    return -9999;
  }

  // Lets the helper close its handles and exit; returns its exit status.
  int Finish() {
    if (to_child_ >= 0) close(to_child_);
    to_child_ = -1;
    return Reap();
  }

  void Kill() {
    if (pid_ > 0) kill(pid_, SIGKILL);
    Finish();
  }

 private:
  int Reap() {
    int status = -1;
    if (pid_ > 0) {
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
    }
    return status;
  }

  pid_t pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
};

// Every test runs with a private runtime directory in a fresh temporary tree.
class NamedObjects : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kdr-objtest-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    runtime_ = root_ / "rt";
    setenv("KDR_RUNTIME_DIR", runtime_.c_str(), 1);
    data_ = (root_ / "data.bin").string();
    std::ofstream(data_) << std::string(3 * 4096 + 100, '.');
  }
  void TearDown() override {
    ClearFaults();
    unsetenv("KDR_RUNTIME_DIR");
    fs::remove_all(root_);
  }

  // Names of objects left in R, the guard file aside.
  std::vector<std::string> ObjectFiles() {
    std::vector<std::string> names;
    if (!fs::exists(runtime_)) return names;
    for (auto& e : fs::directory_iterator(runtime_)) {
      if (e.path().filename() != ".objects") names.push_back(e.path().filename());
    }
    return names;
  }

  fs::path root_, runtime_;
  std::string data_;
};

// ---- Runtime directory -----------------------------------------------------------------

TEST_F(NamedObjects, RuntimeDirIsMadePrivateAndNamesStayInside) {
  std::string path;
  ASSERT_EQ(RuntimePath("map.", "a/b\\c", kMaxRuntimePath, &path), 0);
  EXPECT_EQ(path, runtime_.string() + "/map.a_b_c");
  struct stat st;
  ASSERT_EQ(stat(runtime_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  EXPECT_EQ(RuntimePath("map.", "", kMaxRuntimePath, &path), EINVAL);
  EXPECT_EQ(RuntimePath("map.", std::string(300, 'n'), kMaxRuntimePath, &path), ENAMETOOLONG);
  // A pipe's room in sun_path is far smaller than a file path.
  EXPECT_EQ(RuntimePath("", std::string(120, 'n'), 107, &path), ENAMETOOLONG);

  MappingObject* obj = nullptr;
  EXPECT_EQ(CreateMappingObject(std::string(300, 'n'), data_.c_str(), 0, &obj), ENAMETOOLONG);
  EXPECT_EQ(obj, nullptr);
}

TEST_F(NamedObjects, UnsafeRuntimeDirIsRefused) {
  ASSERT_EQ(mkdir(runtime_.c_str(), 0700), 0);
  ASSERT_EQ(chmod(runtime_.c_str(), 0777), 0);  // others may write: they could plant objects
  std::string dir;
  EXPECT_EQ(RuntimeDir(&dir), EACCES);
  MappingObject* obj = nullptr;
  EXPECT_EQ(CreateMappingObject("m", data_.c_str(), 0, &obj), EACCES);
  EXPECT_EQ(OpenMappingObject("m", &obj), kErrorFileNotFound);
  NamedMutex* m = nullptr;
  EXPECT_EQ(OpenNamedMutex("x", &m), kErrorFileNotFound);

  ASSERT_EQ(chmod(runtime_.c_str(), 0700), 0);
  if (geteuid() == 0) {  // only root can give the directory away
    ASSERT_EQ(chown(runtime_.c_str(), 12345, 12345), 0);
    EXPECT_EQ(RuntimeDir(&dir), EACCES);
  }
  // A plain file where R should be is no directory.
  setenv("KDR_RUNTIME_DIR", data_.c_str(), 1);
  EXPECT_EQ(RuntimeDir(&dir), ENOTDIR);
}

// ---- Mapping objects in one process --------------------------------------------------------

TEST_F(NamedObjects, MappingObjectLivesWhileAHandleIsOpen) {
  MappingObject* owner = nullptr;
  MappingObject* other = nullptr;
  ASSERT_EQ(OpenMappingObject("store_MF", &other), kErrorFileNotFound);
  ASSERT_EQ(CreateMappingObject("store_MF", data_.c_str(), 0, &owner), 0);
  EXPECT_EQ(MappingObjectSize(owner), 3u * 4096 + 100);
  EXPECT_EQ(CreateMappingObject("store_MF", data_.c_str(), 0, &other), kErrorAlreadyExists);
  EXPECT_EQ(other, nullptr);

  ASSERT_EQ(OpenMappingObject("store_MF", &other), 0);
  EXPECT_EQ(MappingObjectSize(other), 3u * 4096 + 100);
  // The creator leaving does not end the object while the opener holds it.
  EXPECT_EQ(CloseMappingObject(owner), 0);
  MappingObject* third = nullptr;
  ASSERT_EQ(OpenMappingObject("store_MF", &third), 0);
  EXPECT_EQ(CloseMappingObject(third), 0);
  EXPECT_EQ(CloseMappingObject(other), 0);

  EXPECT_EQ(OpenMappingObject("store_MF", &other), kErrorFileNotFound);
  EXPECT_TRUE(ObjectFiles().empty());
}

TEST_F(NamedObjects, RacingCreatorsGetOneObject) {
  std::vector<std::thread> threads;
  std::vector<int> results(8, -1);
  std::vector<MappingObject*> handles(8, nullptr);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      results[i] = CreateMappingObject("race", data_.c_str(), 0, &handles[i]);
    });
  }
  for (auto& t : threads) t.join();
  int created = 0;
  for (int i = 0; i < 8; ++i) {
    if (results[i] == 0) ++created;
    else EXPECT_EQ(results[i], kErrorAlreadyExists);
    CloseMappingObject(handles[i]);
  }
  EXPECT_EQ(created, 1);
  EXPECT_TRUE(ObjectFiles().empty());
}

TEST_F(NamedObjects, ViewsAtUnalignedOffsetsShareBytes) {
  const size_t page = AllocationGranularity();
  MappingObject* a = nullptr;
  MappingObject* b = nullptr;
  ASSERT_EQ(CreateMappingObject("v", data_.c_str(), 0, &a), 0);
  ASSERT_EQ(OpenMappingObject("v", &b), 0);

  MappedView* va = nullptr;
  MappedView* vb = nullptr;
  void* pa = nullptr;
  void* pb = nullptr;
  const uint64_t offset = page + 37;
  ASSERT_EQ(MapView(a, offset, 10, true, &va, &pa), 0);
  EXPECT_EQ(static_cast<char*>(pa) - static_cast<char*>(ViewBase(va)), 37);
  // The whole object, read-only, from an aligned start.
  ASSERT_EQ(MapView(b, 0, 0, false, &vb, &pb), 0);
  std::memcpy(pa, "0123456789", 10);
  EXPECT_EQ(std::memcmp(static_cast<char*>(pb) + offset, "0123456789", 10), 0);
  EXPECT_EQ(static_cast<char*>(pb)[3 * 4096 + 99], '.');  // the last byte
  EXPECT_EQ(UnmapView(va), 0);
  EXPECT_EQ(UnmapView(vb), 0);

  // Ranges beyond the object are refused rather than mapped to fault on access.
  EXPECT_EQ(MapView(a, 3 * 4096 + 100, 0, true, &va, &pa), EINVAL);
  EXPECT_EQ(MapView(a, 3 * 4096, 101, true, &va, &pa), EINVAL);
  EXPECT_EQ(va, nullptr);
  EXPECT_EQ(pa, nullptr);
  CloseMappingObject(b);
  CloseMappingObject(a);

  std::ifstream in(data_);
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content.substr(offset, 10), "0123456789");
}

TEST_F(NamedObjects, CreateChecksTheBackingFile) {
  MappingObject* obj = nullptr;
  EXPECT_EQ(CreateMappingObject("m", nullptr, 0, &obj), EINVAL);
  EXPECT_EQ(CreateMappingObject("m", (root_ / "missing").c_str(), 0, &obj), ENOENT);
  std::ofstream((root_ / "empty").string());
  EXPECT_EQ(CreateMappingObject("m", (root_ / "empty").c_str(), 0, &obj), EINVAL);
  EXPECT_TRUE(ObjectFiles().empty());  // failed creates leave no name behind

  // A size beyond the file grows the file to it.
  ASSERT_EQ(CreateMappingObject("m", (root_ / "empty").c_str(), 8192, &obj), 0);
  EXPECT_EQ(fs::file_size(root_ / "empty"), 8192u);
  CloseMappingObject(obj);
}

TEST_F(NamedObjects, SystemCallFailuresLeaveNoHalfMadeObject) {
  MappingObject* obj = nullptr;
  InjectFault(Sys::kFlock, ENOLCK);  // the guard lock
  EXPECT_EQ(CreateMappingObject("m", data_.c_str(), 0, &obj), ENOLCK);
  InjectFault(Sys::kFlock, ENOLCK, /*skip=*/1);  // the test of the object's own lock
  EXPECT_EQ(CreateMappingObject("m", data_.c_str(), 0, &obj), ENOLCK);
  InjectFault(Sys::kFlock, ENOLCK, /*skip=*/2);  // taking the shared lock
  EXPECT_EQ(CreateMappingObject("m", data_.c_str(), 0, &obj), ENOLCK);
  EXPECT_EQ(obj, nullptr);
  EXPECT_TRUE(ObjectFiles().empty());

  ASSERT_EQ(CreateMappingObject("m", data_.c_str(), 0, &obj), 0);
  MappedView* view = nullptr;
  void* data = nullptr;
  InjectFault(Sys::kMmap, ENOMEM);
  EXPECT_EQ(MapView(obj, 100, 10, true, &view, &data), ENOMEM);
  EXPECT_EQ(view, nullptr);
  EXPECT_EQ(MapView(obj, 100, 10, true, &view, &data), 0);
  UnmapView(view);
  CloseMappingObject(obj);

  void* memory = data;  // private memory: a failed map leaves nothing behind either
  InjectFault(Sys::kMmap, ENOMEM);
  EXPECT_EQ(MapMemory(4u << 20, &memory), ENOMEM);
  EXPECT_EQ(memory, nullptr);
  ASSERT_EQ(MapMemory(4u << 20, &memory), 0);
  static_cast<unsigned char*>(memory)[(4u << 20) - 1] = 7;  // all of it is writable
  UnmapMemory(memory, 4u << 20);

  NamedMutex* m = nullptr;
  InjectFault(Sys::kMmap, ENOMEM);
  EXPECT_EQ(CreateNamedMutex("x", &m), ENOMEM);
  EXPECT_EQ(m, nullptr);
  ASSERT_EQ(CreateNamedMutex("x", &m), 0);  // the name was not left taken
  CloseNamedMutex(m);
  EXPECT_TRUE(ObjectFiles().empty());
}

// ---- Named mutexes in one process ----------------------------------------------------------

TEST_F(NamedObjects, MutexRecursionTimeoutAndOwnership) {
  NamedMutex* a = nullptr;
  NamedMutex* b = nullptr;
  ASSERT_EQ(CreateNamedMutex("cache", &a), 0);
  ASSERT_EQ(CreateNamedMutex("cache", &b), kErrorAlreadyExists);
  ASSERT_EQ(OpenNamedMutex("cache", &b), 0);

  int error = 0;
  EXPECT_EQ(WaitNamedMutex(nullptr, 0, &error), kWaitFailed);
  EXPECT_EQ(error, EINVAL);
  EXPECT_EQ(ReleaseNamedMutex(a), EPERM);  // not owned by anybody
  ASSERT_EQ(WaitNamedMutex(a, 0), kWaitObject0);
  ASSERT_EQ(WaitNamedMutex(a, kInfiniteWait), kWaitObject0);  // recursion

  int other_wait = -1, other_release = -1;
  std::thread([&] {
    other_release = ReleaseNamedMutex(b);
    other_wait = WaitNamedMutex(b, 50);
  }).join();
  EXPECT_EQ(other_release, EPERM);
  EXPECT_EQ(other_wait, kWaitTimeout);

  EXPECT_EQ(ReleaseNamedMutex(a), 0);
  std::thread([&] { other_wait = WaitNamedMutex(b, 0); }).join();
  EXPECT_EQ(other_wait, kWaitTimeout);  // one level is still held
  EXPECT_EQ(ReleaseNamedMutex(a), 0);
  EXPECT_EQ(ReleaseNamedMutex(a), EPERM);

  // Closing a handle through which this thread still owns the mutex gives it up.
  ASSERT_EQ(WaitNamedMutex(a, 0), kWaitObject0);
  EXPECT_EQ(CloseNamedMutex(a), 0);
  std::thread([&] {
    other_wait = WaitNamedMutex(b, 1000);
    ReleaseNamedMutex(b);
  }).join();
  EXPECT_EQ(other_wait, kWaitObject0);
  EXPECT_EQ(CloseNamedMutex(b), 0);
  EXPECT_TRUE(ObjectFiles().empty());
}

TEST_F(NamedObjects, MutexOfADeadThreadIsAbandoned) {
  NamedMutex* m = nullptr;
  ASSERT_EQ(CreateNamedMutex("cache", &m), 0);
  NamedMutex* t = nullptr;
  ASSERT_EQ(OpenNamedMutex("cache", &t), 0);
  // The thread ends owning the mutex twice over and leaves its handle open, as a crashed
  // caller would.
  auto die_owning = [](NamedMutex* h) {
    std::thread([h] {
      EXPECT_EQ(WaitNamedMutex(h, kInfiniteWait), kWaitObject0);
      EXPECT_EQ(WaitNamedMutex(h, 0), kWaitObject0);
    }).join();
  };
  die_owning(t);
  EXPECT_EQ(WaitNamedMutex(m, 1000), kWaitAbandoned);
  EXPECT_EQ(ReleaseNamedMutex(m), 0);
  EXPECT_EQ(WaitNamedMutex(m, 0), kWaitObject0);  // consistent again
  EXPECT_EQ(ReleaseNamedMutex(m), 0);

  // The same through one handle: the dead thread's depth must not pass to the next owner.
  die_owning(m);
  EXPECT_EQ(WaitNamedMutex(m, 1000), kWaitAbandoned);
  EXPECT_EQ(ReleaseNamedMutex(m), 0);
  EXPECT_EQ(ReleaseNamedMutex(m), EPERM);
  EXPECT_EQ(CloseNamedMutex(t), 0);  // its owner is dead: nothing to give up
  NamedMutex* u = nullptr;
  ASSERT_EQ(OpenNamedMutex("cache", &u), 0);
  int other = -1;
  std::thread([&] {
    other = WaitNamedMutex(u, 0);
    if (other == kWaitObject0) ReleaseNamedMutex(u);
  }).join();
  EXPECT_EQ(other, kWaitObject0);
  CloseNamedMutex(u);
  CloseNamedMutex(m);
}

// ---- Across processes ----------------------------------------------------------------------

TEST_F(NamedObjects, MappingObjectOfAKilledProcessVanishes) {
  Helper child({"map", "store_MF", data_});
  ASSERT_EQ(child.Result(), 0);
  MappingObject* obj = nullptr;
  EXPECT_EQ(CreateMappingObject("store_MF", data_.c_str(), 0, &obj), kErrorAlreadyExists);
  ASSERT_EQ(OpenMappingObject("store_MF", &obj), 0);
  CloseMappingObject(obj);

  child.Kill();  // its handle dies with it; the file stays behind, stale
  EXPECT_EQ(ObjectFiles().size(), 1u);
  EXPECT_EQ(OpenMappingObject("store_MF", &obj), kErrorFileNotFound);
  EXPECT_TRUE(ObjectFiles().empty());  // the open cleared the leftover

  Helper again({"map", "store_MF", data_});
  ASSERT_EQ(again.Result(), 0);
  again.Kill();
  ASSERT_EQ(CreateMappingObject("store_MF", data_.c_str(), 0, &obj), 0);  // reclaimed
  CloseMappingObject(obj);
}

TEST_F(NamedObjects, ViewsOfTwoProcessesShareBytes) {
  MappingObject* obj = nullptr;
  ASSERT_EQ(CreateMappingObject("seg", data_.c_str(), 0, &obj), 0);
  MappedView* view = nullptr;
  void* data = nullptr;
  ASSERT_EQ(MapView(obj, 2 * 4096 + 11, 20, false, &view, &data), 0);
  Helper child({"write", "seg", std::to_string(2 * 4096 + 11), "from-the-child"});
  ASSERT_EQ(child.Result(), 0);
  EXPECT_EQ(std::memcmp(data, "from-the-child", 14), 0);
  EXPECT_EQ(child.Finish(), 0);
  UnmapView(view);
  CloseMappingObject(obj);
}

TEST_F(NamedObjects, MutexOfAKilledProcessIsAbandonedThenOwned) {
  Helper child({"lock", "cache"});
  ASSERT_EQ(child.Result(), kWaitObject0);
  NamedMutex* m = nullptr;
  ASSERT_EQ(OpenNamedMutex("cache", &m), 0);
  EXPECT_EQ(WaitNamedMutex(m, 100), kWaitTimeout);
  EXPECT_EQ(ReleaseNamedMutex(m), EPERM);

  child.Kill();
  EXPECT_EQ(WaitNamedMutex(m, 5000), kWaitAbandoned);
  // Now this thread owns it: another process can neither take nor release it.
  Helper other({"release", "cache"});
  EXPECT_EQ(other.Result(), EPERM);
  EXPECT_EQ(other.Finish(), 0);
  EXPECT_EQ(ReleaseNamedMutex(m), 0);
  EXPECT_EQ(WaitNamedMutex(m, 0), kWaitObject0);
  EXPECT_EQ(ReleaseNamedMutex(m), 0);
  CloseNamedMutex(m);
  EXPECT_TRUE(ObjectFiles().empty());
}

// Objects of owners that are gone and that some process still holds: neither the caller's own
// instance's, nor a live owner's, nor leftovers nobody holds; a look that fails counts.
TEST_F(NamedObjects, HeldObjectsOfGoneOwnersAreCounted) {
  NamedMutex* m = nullptr;
  MappingObject* map = nullptr;
  ASSERT_EQ(CreateNamedMutex("kdr.A", &m), 0);
  ASSERT_EQ(CreateMappingObject("kdr.A_SEG", data_.c_str(), 0, &map), 0);
  Helper child({"map", "kdr.C_SEG", data_});
  ASSERT_EQ(child.Result(), 0);
  EXPECT_EQ(HeldNamedObjects("kdr.", "kdr.B"), 3);
  EXPECT_EQ(HeldNamedObjects("kdr.", "kdr.A"), 1);
  EXPECT_EQ(HeldNamedObjects("kdr.C", "kdr.B"), 1);
  OwnerMark* mark = nullptr;
  ASSERT_EQ(CreateOwnerMark("kdr.A", &mark), 0);
  OwnerMark* watcher = nullptr;
  ASSERT_EQ(OpenOwnerMark("kdr.A", &watcher), 0);
  EXPECT_EQ(HeldNamedObjects("kdr.", "kdr.B"), 1);
  CloseOwnerMark(mark);
  EXPECT_EQ(HeldNamedObjects("kdr.", "kdr.B"), 3);  // a watcher keeps no owner alive
  CloseOwnerMark(watcher);

  child.Kill();  // leaves a file nobody holds
  CloseNamedMutex(m);
  CloseMappingObject(map);
  EXPECT_EQ(HeldNamedObjects("kdr.", "kdr.B"), 0);
  InjectFault(Sys::kFlock, ENOLCK);  // the guard lock
  EXPECT_EQ(HeldNamedObjects("kdr.", "kdr.B"), 1);
  InjectFault(Sys::kFlock, ENOLCK, /*skip=*/1);  // the look at the leftover
  EXPECT_EQ(HeldNamedObjects("kdr.", "kdr.B"), 1);
}

TEST_F(NamedObjects, StaleMutexIsReinitialisedByTheNextCreator) {
  Helper child({"lock", "cache"});
  ASSERT_EQ(child.Result(), kWaitObject0);
  child.Kill();  // dies owning it, and nobody else holds a handle
  NamedMutex* m = nullptr;
  ASSERT_EQ(CreateNamedMutex("cache", &m), 0);
  EXPECT_EQ(WaitNamedMutex(m, 0), kWaitObject0);  // a new mutex, not an abandoned one
  EXPECT_EQ(ReleaseNamedMutex(m), 0);
  CloseNamedMutex(m);
}

}  // namespace
}  // namespace kdr::platform
