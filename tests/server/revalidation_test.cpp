// The revalidation scheduler on its own, ticked by hand: what it asks the vault, and when.
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "server/server.h"
#include "server/stats.h"

namespace kdr::server {
namespace {

namespace pf = kdr::platform;

class AskedVault : public Vault {
 public:
  std::map<std::string, std::string> newest;
  int calls = 0;
  size_t asked = 0;
  bool goingAway = false;  // the next ask finds the vault unreachable, and it stays away
  std::atomic<bool> away{false};
  bool Away() const override { return away.load(); }
  void CurrentVersions(const std::vector<std::string>& guids, std::vector<std::string>* versions,
                       std::vector<int>* results, const std::atomic<bool>*) override {
    ++calls;
    asked += guids.size();
    versions->assign(guids.size(), "");
    results->assign(guids.size(), 0);
    if (goingAway || away) away = true;
    for (size_t i = 0; i < guids.size(); ++i) {
      auto it = newest.find(guids[i]);
      if (away) (*results)[i] = ENETDOWN;
      else if (it == newest.end()) (*versions)[i] = "v1";
      else if (it->second.empty()) (*results)[i] = ENOENT;
      else (*versions)[i] = it->second;
    }
  }
  int CurrentVersion(const std::string&, std::string*) override { return ENOSYS; }
  int Open(const std::string&, std::shared_ptr<VaultFile>*) override { return ENOSYS; }
  int BeginUpload(const std::string&, std::unique_ptr<VaultUpload>*) override { return ENOSYS; }
  int RollBack(const std::string&, const std::string&, std::string*) override { return ENOSYS; }
  int Put(const std::string&, const std::string&, const std::string&, std::string*) override {
    return ENOSYS;
  }
  int List(std::vector<VaultFileInfo>*) override { return ENOSYS; }
};

// A store whose page stamps say what `used` holds.
class StampedStore : public BlockCache {
 public:
  std::vector<std::string> used;
  std::set<std::string> forgotten;
  bool cleared = false;
  bool Enabled() const override { return true; }
  bool Get(std::string_view, uint64_t, uint64_t, int32_t, unsigned char*, uint32_t*) override {
    return false;
  }
  void Put(std::string_view, uint64_t, uint64_t, int32_t, const unsigned char*, uint32_t) override {
  }
  void Forget(std::string_view guid) override { forgotten.insert(std::string(guid)); }
  int Clear() override {
    cleared = true;
    return 0;
  }
  bool Info(StoreInfo*) const override { return false; }
  void Close() override {}
  void UsedSince(int64_t, std::vector<std::string>* guids) override {
    guids->insert(guids->end(), used.begin(), used.end());
  }
};

TEST(Revalidation, AsksOnlyAboutFilesInUseOncePerBoundAndNothingWhenIdle) {
  ServerConfig config;
  config.revalidateSeconds = 1;
  config.cacheDir = (std::filesystem::temp_directory_path() / "kdr-revalidation-test").string();
  auto vault = std::make_unique<AskedVault>();
  auto store = std::make_unique<StampedStore>();
  AskedVault* v = vault.get();
  StampedStore* s = store.get();
  ServerState st(config, std::move(vault), std::move(store));
  for (int i = 0; i < 2000; ++i) st.NoteVersion("g" + std::to_string(i), "v1");
  {
    kdr::WriterLock hold(&st.versionsMu);
    st.versions["restored"] = "v1";  // a note of an earlier run: dormant
  }
  auto noted = [&](const std::string& guid) {
    kdr::ReaderLock hold(&st.versionsMu);
    return guid.empty() ? st.versions.size() : st.versions.count(guid);
  };
  const int32_t t = pf::MonotonicMs();
  EXPECT_EQ(st.revalidator.Tick(t + 300), 0u);
  // Every opened file once, in one call (the S3 vault lists 1,000 keys a request).
  EXPECT_EQ(st.revalidator.Tick(t + 1100), 2000u);
  EXPECT_EQ(v->calls, 1);
  // Idle: nothing, however long.
  for (int k = 2; k < 30; ++k) EXPECT_EQ(st.revalidator.Tick(t + k * 1000), 0u);
  EXPECT_EQ(v->asked, 2000u);

  // Read through the fast cache: the store's stamps make a file due, at once when its last
  // check is a bound old; what changed or went loses its note and blocks.
  v->newest["g7"] = "v2";
  v->newest["restored"] = "";
  s->used = {"g7", "restored", "unnoted"};
  EXPECT_EQ(st.revalidator.Tick(t + 30000), 2u);
  EXPECT_EQ(noted("g7"), 0u);
  EXPECT_EQ(noted("restored"), 0u);
  EXPECT_EQ(s->forgotten.count("g7"), 1u);
  EXPECT_EQ(st.revalidator.Tick(t + 30100), 0u);  // not again within the bound

  // No count of notes empties the store: at the bound one other note goes.
  s->forgotten.clear();
  for (int i = 0; i < 100001; ++i) st.NoteVersion("n" + std::to_string(i), "v1");
  EXPECT_FALSE(s->cleared);
  EXPECT_EQ(noted(""), 100000u);
  EXPECT_EQ(noted("n100000"), 1u);
  st.revalidator.Stop();
}

// An outage: the first ask finds the vault away; then nothing is asked, however many bounds
// pass, until it is back, and at the first tick after that every file due is asked about
// (a change made meanwhile is seen then).
TEST(Revalidation, WaitsOutAnOutageAndAsksOnceTheVaultIsBack) {
  ServerConfig config;
  config.revalidateSeconds = 1;
  config.cacheDir = (std::filesystem::temp_directory_path() / "kdr-revalidation-test").string();
  auto vault = std::make_unique<AskedVault>();
  AskedVault* v = vault.get();
  // Wrapped as the server wraps its vault: the outage must show through.
  ServerState st(config, CountingVault(std::move(vault)), std::make_unique<StampedStore>());
  for (const char* guid : {"a", "b", "c"}) st.NoteVersion(guid, "v1");
  const int32_t t = pf::MonotonicMs();
  v->goingAway = true;
  EXPECT_EQ(st.revalidator.Tick(t + 1100), 3u);
  for (int32_t at = t + 1300; at < t + 20000; at += 250) {
    st.NoteVersion("a", "v1");  // opened again and again from the cache meanwhile
    EXPECT_EQ(st.revalidator.Tick(at), 0u);
  }
  EXPECT_EQ(v->calls, 1);
  v->goingAway = false;
  v->newest["b"] = "v2";
  v->away = false;
  EXPECT_EQ(st.revalidator.Tick(t + 20100), 3u);
  EXPECT_EQ(v->calls, 2);
  kdr::ReaderLock hold(&st.versionsMu);
  EXPECT_EQ(st.versions.count("b"), 0u);
  EXPECT_EQ(st.versions.count("a"), 1u);
}

}  // namespace
}  // namespace kdr::server
