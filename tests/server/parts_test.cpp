// The server's parts on their own: the catalog reader, the vault's volume numbering, tickets.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/fault.h"

#include "client/result_codes.h"
#include "iface/runtime.h"
#include "platform/process.h"
#include "server/catalog.h"
#include "server/config.h"
#include "server/file_cache.h"
#include "server/log.h"
#include "server/ticket.h"
#include "server/vault.h"

namespace kdr::server {
namespace {

TEST(Catalog, ReadsEntriesAsGettextWritesThem) {
  const char* po =
      "# header\n"
      "msgid \"\"\n"
      "msgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n"
      "\n"
      "msgid \"plain\"\n"
      "msgstr \"schlicht\"\n"
      "\n"
      "#: somewhere.c:12\n"
      "msgid \"\"\n"
      "\"two \"\n"
      "\"lines\"\n"
      "msgstr \"\"\n"
      "\"zwei\\n\"\n"
      "\"Zeilen \\\"\\101\\\"\"\n"
      "\n"
      "#, fuzzy\n"
      "msgid \"fuzzy\"\n"
      "msgstr \"unsicher\"\n"
      "\n"
      "msgctxt \"menu\"\n"
      "msgid \"context\"\n"
      "msgstr \"Kontext\"\n"
      "\n"
      "msgid \"file\"\n"
      "msgid_plural \"files\"\n"
      "msgstr[0] \"Datei\"\n"
      "msgstr[1] \"Dateien\"\n"
      "\n"
      "msgid \"untranslated\"\n"
      "msgstr \"\"\n"
      "msgid \"no blank line before\"\n"
      "msgstr \"ohne Leerzeile\"\r\n"
      "msgid \"broken\n"
      "msgstr \"kaputt\"\n"
      "garbage line\n"
      "msgid \"last\"\n"
      "msgstr \"letzte\"";
  int skipped = 0;
  auto cat = Catalog::Parse(po, &skipped);
  auto find = [&](const char* s) {
    const std::string* t = cat->Find(s);
    return t == nullptr ? std::string("<none>") : *t;
  };
  EXPECT_EQ(find("plain"), "schlicht");
  EXPECT_EQ(find("two lines"), "zwei\nZeilen \"A\"");
  EXPECT_EQ(find("fuzzy"), "<none>");
  EXPECT_EQ(find("context"), "<none>");
  EXPECT_EQ(find("file"), "<none>");
  EXPECT_EQ(find("untranslated"), "<none>");
  EXPECT_EQ(find(""), "<none>");
  EXPECT_EQ(find("no blank line before"), "ohne Leerzeile");
  EXPECT_EQ(find("broken"), "<none>");
  EXPECT_EQ(find("last"), "letzte");
  EXPECT_EQ(skipped, 3);
}

TEST(Catalog, ShippedCatalogsCoverEveryResultText) {
  for (const char* lang : {"de", "fr"}) {
    Catalogs catalogs(KDR_LOCALE_DIR);
    const Catalog* c = catalogs.ForLocale(std::string(lang) + "_XX.UTF-8@mod");
    ASSERT_NE(c, nullptr) << lang;
    for (int code : {-1, -2996, -2997, -2998, -2999, -3000, -3001, -3002, -3003, -3004, -3005,
                     -3006, -3007, -3008, -3009, -3010, -3011, -3012, -3013, -3014, -3015, -3016,
                     -3017, -3099}) {
      EXPECT_NE(c->Find(KdrErrorText(code)), nullptr) << lang << " " << code;
    }
  }
  Catalogs none(KDR_LOCALE_DIR);
  EXPECT_EQ(none.ForLocale("xx"), nullptr);
  EXPECT_EQ(none.ForLocale("../de"), nullptr);
}

class VaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "kdrvaultXXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    vault_ = NewLocalVault(dir_ + "/vault");
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Local(const std::string& content) {
    std::string p = dir_ + "/src" + std::to_string(n_++);
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  int Upload(const std::string& guid, const std::string& content, std::string* volume) {
    std::unique_ptr<VaultUpload> up;
    int rc = vault_->BeginUpload(guid, &up);
    if (rc == 0) rc = up->Write(content.data(), content.size());
    if (rc == 0) rc = up->Commit(volume);
    return rc;
  }
  std::string dir_;
  std::unique_ptr<Vault> vault_;
  int n_ = 0;
};

TEST_F(VaultTest, VolumeIdsAreNeverReusedAfterARollBack) {
  std::string v1, v2, v3, removed;
  ASSERT_EQ(vault_->Put("G1", "a/b.txt", Local("one"), &v1), 0);
  ASSERT_EQ(Upload("G1", "two", &v2), 0);
  ASSERT_EQ(vault_->RollBack("G1", v2, &removed), 0);
  EXPECT_EQ(removed, v2);
  ASSERT_EQ(Upload("G1", "3", &v3), 0);
  EXPECT_NE(v3, v2);
  std::shared_ptr<VaultFile> f;
  ASSERT_EQ(vault_->Open("G1", &f), 0);
  EXPECT_EQ(f->Info().version, v3);
  EXPECT_EQ(f->Info().size, 1u);
  EXPECT_EQ(f->Info().name, "a_b.txt");
  EXPECT_EQ(vault_->RollBack("G1", v1, &removed), EPERM);
  EXPECT_EQ(vault_->RollBack("G1", "99999999", &removed), ENOENT);
  EXPECT_EQ(Upload("NEW", "x", &v2), ENOENT);  // uploads go to files that exist
  EXPECT_EQ(vault_->Open("..", &f), EINVAL);
}

TEST_F(VaultTest, AReaderKeepsItsVolumeWhileTheFileChanges) {
  std::string v;
  ASSERT_EQ(vault_->Put("G2", "f", Local("old content"), &v), 0);
  std::shared_ptr<VaultFile> f;
  ASSERT_EQ(vault_->Open("G2", &f), 0);
  ASSERT_EQ(Upload("G2", "new", &v), 0);
  std::unique_ptr<VaultReader> r;
  ASSERT_EQ(f->OpenReader(&r), 0);
  char buf[32];
  size_t n = 0;
  ASSERT_EQ(r->ReadAt(0, buf, sizeof buf, &n), 0);
  EXPECT_EQ(std::string(buf, n), "old content");
}

// A commit whose rename fails reports the error and leaves the vault as it was: the newest
// volume stays the one before, and no temporary name is left behind.
TEST_F(VaultTest, AFailedCommitLeavesThePreviousVolume) {
  std::string v1, v;
  ASSERT_EQ(vault_->Put("G3", "f", Local("first"), &v1), 0);
  // A put renames the name file, the volume counter, then the volume: fail the third.
  kdr::platform::InjectFault(kdr::platform::Sys::kRename, EIO, 2);
  EXPECT_EQ(vault_->Put("G3", "f", Local("second"), &v), EIO);
  // An upload renames the counter, then the volume.
  kdr::platform::InjectFault(kdr::platform::Sys::kRename, EIO, 1);
  EXPECT_EQ(Upload("G3", "third", &v), EIO);
  // Nor is a volume whose bytes cannot be flushed: a power cut would lose it.
  kdr::platform::InjectFault(kdr::platform::Sys::kFsync, EIO, 0);
  EXPECT_EQ(vault_->Put("G3", "f", Local("fourth"), &v), EIO);
  kdr::platform::InjectFault(kdr::platform::Sys::kFsync, EIO, 0);
  EXPECT_EQ(Upload("G3", "fifth", &v), EIO);
  // The first put of a file whose directory cannot be made private leaves no directory that
  // the next put would trust: that one makes it private.
  kdr::platform::InjectFault(kdr::platform::Sys::kChmod, EIO, 0);
  EXPECT_EQ(vault_->Put("G4", "f", Local("first of G4"), &v), EIO);
  kdr::platform::ClearFaults();
  EXPECT_EQ(vault_->Put("G4", "f", Local("first of G4"), &v), 0);
  EXPECT_EQ(std::filesystem::status(dir_ + "/vault/G4").permissions(),
            std::filesystem::perms::owner_all);
  std::shared_ptr<VaultFile> f;
  ASSERT_EQ(vault_->Open("G3", &f), 0);
  EXPECT_EQ(f->Info().version, v1);
  for (const auto& e : std::filesystem::directory_iterator(dir_ + "/vault/G3")) {
    EXPECT_EQ(e.path().filename().string().rfind(".tmp.", 0), std::string::npos) << e.path();
  }
}

// Every file-system step of the whole-file cache passes the fault seam. One failing step of a
// commit or a clean-up loses no copy already handed out (it stays whole and is handed out
// again), and a clear that could not finish says so, so that the next one finishes it.
TEST_F(VaultTest, AFailedStepOfTheWholeFileCacheLosesNoCopy) {
  namespace pf = kdr::platform;
  enum class Op { kLookup, kCommitNext, kTidy, kClear };
  struct Row {
    const char* what;
    pf::Sys call;
    Op op;
    int result;  // of the commit or the clear
  };
  const Row rows[] = {
      {"touching the stamp of a copy handed out", pf::Sys::kUtime, Op::kLookup, 0},
      {"making the next volume's directory", pf::Sys::kMkdir, Op::kCommitNext, EIO},
      {"removing what an earlier attempt left", pf::Sys::kRmdir, Op::kCommitNext, 0},
      {"listing the cache to tidy it", pf::Sys::kOpendir, Op::kTidy, 0},
      {"listing the cache to clear it", pf::Sys::kOpendir, Op::kClear, EIO},
      {"removing a file to clear the cache", pf::Sys::kUnlink, Op::kClear, EIO},
      {"removing a directory to clear the cache", pf::Sys::kRmdir, Op::kClear, EIO},
  };
  auto content = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string files = dir_ + "/files" + std::to_string(n_);
    FileCache cache(files, 0);
    std::string first, path;
    ASSERT_EQ(cache.Commit("G", "1", 10, "doc.txt", Local("volume 1 G"), &first), 0);
    pf::InjectFault(row.call, EIO);
    int rc = 0;
    switch (row.op) {
      case Op::kLookup:
        EXPECT_TRUE(cache.Lookup("G", "1", 10, &path));
        break;
      case Op::kCommitNext:
        rc = cache.Commit("G", "2", 10, "doc.txt", Local("volume 2 G"), &path);
        break;
      case Op::kTidy:
        cache.Tidy();
        break;
      case Op::kClear:
        rc = cache.Clear();
        break;
    }
    EXPECT_EQ(pf::FaultsFired(row.call), 1);
    pf::ClearFaults();
    EXPECT_EQ(rc, row.result);
    if (row.op == Op::kClear) {
      EXPECT_EQ(cache.Clear(), 0);
      EXPECT_FALSE(std::filesystem::exists(files));
      continue;
    }
    std::string again;
    EXPECT_TRUE(cache.Lookup("G", "1", 10, &again));
    EXPECT_EQ(again, first);
    EXPECT_EQ(content(first), "volume 1 G");
    if (row.op == Op::kCommitNext && rc == 0) {
      EXPECT_EQ(content(path), "volume 2 G");
    }
  }
}

// A copy committed before its bytes are on the disk is marked with the boot it was written
// in: vouched for while that boot lasts (a killed server loses nothing of a written file),
// removed once the system restarted (a power cut may have kept the name and lost the bytes),
// and unmarked once flushed, after which a restart keeps it.
TEST_F(VaultTest, ACopyNotYetOnTheDiskOutlivesAKillButNotARestartOfTheSystem) {
  const std::string files = dir_ + "/files-marked";
  auto stampOf = [&] {
    std::ifstream in(files + "/G/v1.stamp");
    std::string line;
    std::getline(in, line);
    return line;
  };
  std::string path, again;
  {
    FileCache cache(files, 0, "boot-A");
    ASSERT_EQ(cache.Commit("G", "1", 10, "doc.txt", Local("volume 1 G"), &path, false), 0);
  }  // a stop flushes it
  EXPECT_EQ(stampOf().find("boot-A"), std::string::npos) << stampOf();
  EXPECT_TRUE(FileCache(files, 0, "boot-B").Lookup("G", "1", 10, &again));
  EXPECT_EQ(again, path);

  // What a server killed before the flush leaves behind.
  const std::string flushed = stampOf();
  const size_t afterVersion = flushed.find(' ');
  const std::string unflushed =
      flushed.substr(0, afterVersion) + " unflushed:boot-B" + flushed.substr(afterVersion) + "\n";
  std::ofstream(files + "/G/v1.stamp", std::ios::trunc) << unflushed;
  {
    FileCache sameBoot(files, 0, "boot-B");
    EXPECT_TRUE(sameBoot.Lookup("G", "1", 10, &again));
    sameBoot.Tidy();  // takes up the flush the killed server did not do
  }
  EXPECT_EQ(stampOf(), flushed);
  std::ofstream(files + "/G/v1.stamp", std::ios::trunc) << unflushed;
  EXPECT_FALSE(FileCache(files, 0, "boot-C").Lookup("G", "1", 10, &again));
  EXPECT_FALSE(std::filesystem::exists(path));

  // A flush the disk failed: the copy's bytes may be lost once out of memory, so it goes, and
  // a client that opened it reads no further.
  const std::string tmp = Local("volume 2 G");
  std::ifstream held(tmp, std::ios::binary);
  {
    FileCache cache(files, 0, "boot-C");
    kdr::platform::InjectFault(kdr::platform::Sys::kFsync, EIO);
    ASSERT_EQ(cache.Commit("G", "2", 10, "doc.txt", tmp, &path, false), 0);
  }
  EXPECT_EQ(kdr::platform::FaultsFired(kdr::platform::Sys::kFsync), 1);
  kdr::platform::ClearFaults();
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(held), {}), "");
}

TEST(Ticket, MadeTicketsPassTheLibrarysChecks) {
  for (char type : {'v', 'F', 'M'}) {
    std::string guid = NewGuid(type);
    std::string t = MakeTicket(type, guid);
    ASSERT_FALSE(t.empty());
    EXPECT_TRUE(IsValidTicket(t.c_str()));
    EXPECT_GE(t.size(), 225u);
    EXPECT_EQ(t[64], type);
    std::string back;
    ASSERT_TRUE(TicketGuid(t.c_str(), &back));
    EXPECT_EQ(back, guid);
    EXPECT_NE(MakeTicket(type, guid).substr(0, 64), t.substr(0, 64));  // fresh keys
  }
  EXPECT_EQ(MakeTicket('v', NewGuid('M')), "");  // a GUID of the wrong length
  EXPECT_EQ(MakeTicket('x', NewGuid('v')), "");
}

}  // namespace

TEST(ServerConfig, SizesAreBytesWithBinarySuffixes) {
  struct {
    const char* text;
    bool ok;
    int64_t bytes;
  } cases[] = {{"0", true, 0},          {"4096", true, 4096},    {"64K", true, 64 << 10},
               {"4G", true, 4LL << 30},  {"20GiB", true, 20LL << 30}, {"3MB", true, 3 << 20},
               {"512B", true, 512},      {"", false, 0},         {"G", false, 0},
               {"4X", false, 0},         {"-1", false, 0},       {"1.5G", false, 0},
               {"99999999T", false, 0},  {"4Gb", false, 0}};
  for (const auto& c : cases) {
    int64_t got = -1;
    EXPECT_EQ(kdr::server::ParseByteSize(c.text, &got), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(got, c.bytes) << c.text;
    }
  }
}

TEST(ServerConfig, FlagsInEitherFormAndTheStoreSizeInBytes) {
  auto parse = [](std::vector<const char*> args, ServerConfig* c, std::string* error) {
    args.insert(args.begin(), {"kdrcached", "--cache-dir=/c", "--vault-dir=/v", "--locale-dir=/l"});
    return ParseServerConfig(static_cast<int>(args.size()), args.data(), c, error);
  };
  ServerConfig c;
  std::string error;
  ASSERT_EQ(parse({"--segments=70", "--create", "--log-file", "/x.log", "--files-max=1M"}, &c,
                  &error),
            ConfigOutcome::kRun)
      << error;
  EXPECT_EQ(c.store.segments, 70);
  EXPECT_TRUE(c.create);
  EXPECT_EQ(c.logFile, "/x.log");
  EXPECT_EQ(c.filesMaxBytes, 1 << 20);  // a unique prefix names its option
  // 2G: a full segment file (65535 x 16K), the rest in one extent file.
  ASSERT_EQ(parse({"--store-size", "2G"}, &c, &error), ConfigOutcome::kRun) << error;
  EXPECT_EQ(c.store.segments, 65535);
  EXPECT_EQ(c.store.extentMB, 1024);
  EXPECT_EQ(c.store.extentFiles, 1);
  // Any size: never more than asked for, at least 95 % of it, and file pages for all of it.
  for (const char* size : {"1M", "100M", "1G", "1200M", "1300M", "4G", "100G", "1000G"}) {
    ASSERT_EQ(parse({"--store-size", size}, &c, &error), ConfigOutcome::kRun) << size << error;
    int64_t asked = 0;
    ASSERT_TRUE(kdr::server::ParseByteSize(size, &asked));
    int64_t blocks = c.store.segments + int64_t{c.store.extentFiles} * c.store.extentMB * 64;
    EXPECT_LE(blocks * 16384, asked) << size;
    EXPECT_GE(blocks * 16384, asked / 100 * 95) << size;
    EXPECT_GE(int64_t{c.store.filePages} * 36, blocks) << size;
  }
  EXPECT_EQ(parse({"-V"}, &c, &error), ConfigOutcome::kVersion);
  struct {
    std::vector<const char*> args;
    const char* says;
  } bad[] = {{{"--create=yes"}, "option --create takes no value"},
             {{"--segments"}, "option --segments needs a value"},
             {{"--frob"}, "unknown or ambiguous option --frob"},
             {{"stray"}, "unexpected argument: stray"},
             {{"--store-size=3000G"}, "more than the store can hold"},
             {{"--store-size=1500G"}, "more than the store can hold"},
             {{"--file-pages=3000000"}, "at most 2097151"},
             {{"--log-max-bytes=ten"}, "not a size in bytes"},
             {{"--s3-etag-check=no"}, "on or off"}};
  for (const auto& b : bad) {
    EXPECT_EQ(parse(b.args, &c, &error), ConfigOutcome::kError) << b.says;
    EXPECT_NE(error.find(b.says), std::string::npos) << error;
  }
}

TEST(ServerLog, FileLinesHaveTimeAndLevelAndTheFileRotatesOnce) {
  std::string dir = ::testing::TempDir() + "kdrlog" + std::to_string(kdr::platform::CurrentProcessId());
  std::filesystem::remove_all(dir);
  std::string path = dir + "/log/kdrcached.log";
  std::string error;
  // A missing home is not made for its log; the log's own directory is.
  EXPECT_FALSE(kdr::server::OpenLogFile(path, 400, &error));
  EXPECT_FALSE(std::filesystem::exists(dir));
  std::filesystem::create_directories(dir);
  ASSERT_TRUE(kdr::server::OpenLogFile(path, 400, &error)) << error;
  for (int i = 0; i < 20; ++i) kdr::server::Log(kdr::server::LogLevel::kWarn, "line %d", i);
  kdr::server::LogLines(kdr::server::LogLevel::kError, "\n***ERROR: one\n  two  \n\n");
  kdr::server::CloseLogFile();
  auto read = [](const std::string& p) {
    std::ifstream in(p);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  EXPECT_LE(std::filesystem::file_size(path), 400u);
  EXPECT_LE(std::filesystem::file_size(path + ".1"), 400u);
  EXPECT_FALSE(std::filesystem::exists(path + ".2"));
  std::string older = read(path + ".1"), all = older + read(path);
  // "2026-12-08T14:01:16.812Z kdrcached[<pid>] WARN: line 17"
  EXPECT_EQ(older.size() > 25 ? older.substr(10, 1) + older.substr(23, 2) : "", "TZ ") << older;
  EXPECT_NE(older.find("] WARN: line "), std::string::npos) << older;
  EXPECT_NE(all.find("] WARN: line 19\n"), std::string::npos) << all;
  EXPECT_NE(all.find("] ERROR: ***ERROR: one\n"), std::string::npos) << all;
  EXPECT_NE(all.find("] ERROR:   two  \n"), std::string::npos) << all;
  EXPECT_EQ(all.find("ERROR: \n"), std::string::npos) << "blank lines are dropped";
  std::filesystem::remove_all(dir);
}

// A full disk costs log lines, never the server: the loss is said once on standard error and
// counted in the file once writing works again.
TEST(ServerLog, AFullDiskLosesLinesAndSaysSoOnce) {
  std::string dir = ::testing::TempDir() + "kdrlogfull" + std::to_string(kdr::platform::CurrentProcessId());
  std::filesystem::create_directories(dir);
  std::string path = dir + "/kdrcached.log", error;
  ASSERT_TRUE(kdr::server::OpenLogFile(path, 0, &error)) << error;
  kdr::server::Log(kdr::server::LogLevel::kWarn, "before");
  kdr::platform::InjectFault(kdr::platform::Sys::kWrite, ENOSPC, 0, 3);
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) kdr::server::Log(kdr::server::LogLevel::kWarn, "lost %d", i);
  std::string said = ::testing::internal::GetCapturedStderr();
  kdr::platform::ClearFaults();
  kdr::server::Log(kdr::server::LogLevel::kWarn, "after");
  kdr::server::CloseLogFile();
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(said.find("kdrcached: cannot write the log file " + path + ": No space left on device"), 0u) << said;
  EXPECT_EQ(said.find("cannot write", 20), std::string::npos) << said;
  size_t note = text.find(" log line(s) were lost: No space left on device\n");
  EXPECT_NE(note, std::string::npos) << text;
  EXPECT_LT(text.find("before"), note);
  EXPECT_GT(text.find("after"), note);
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::mask,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  std::filesystem::remove_all(dir);
}

}  // namespace kdr::server
