// kdrcached as a process: the protocol as the client library speaks it, and what a hostile or
// dying client does to it.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/pipe_server.h"
#include "platform/process.h"
#include "server/server_fixture.h"
#include "store/kdrc.h"
#include "support/process_wait.h"
#include "support/records.h"

namespace kdr::servertest {
namespace {

namespace pf = kdr::platform;
namespace fs = std::filesystem;

class Server : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    StartServer();
  }

  uint16_t OpenOk(RawClient* c, const std::string& ticket, int64_t* size = nullptr) {
    Reply r = c->Open(ticket);
    EXPECT_EQ(r.typeId, kReplyNormal) << r.ErrorText();
    if (r.payload.size() < 10) return 0xFFFF;
    if (size != nullptr) *size = GetBE64(r.payload.data(), 2);
    return GetBE16(r.payload.data(), 0);
  }

  // Runs a transfer request already sent, answering every progress reply with `status`
  // (from the `answerFrom`-th progress reply on; CONTINUE before). Returns the final reply.
  Reply Converse(RawClient* c, int32_t status, int answerFrom, int* progressCount) {
    *progressCount = 0;
    reports_.clear();
    for (;;) {
      Reply r;
      if (!c->Receive(&r)) return Reply{};
      if (r.typeId != kReplyProgress) return r;
      ++*progressCount;
      EXPECT_EQ(r.payload.size(), 16u);
      if (r.payload.size() == 16u) {
        reports_.emplace_back(GetBE64(r.payload.data(), 0), GetBE64(r.payload.data(), 8));
      }
      c->SendStatus(*progressCount >= answerFrom ? status : 0);
    }
  }

  // (done, total) of the progress replies of the last Converse().
  std::vector<std::pair<int64_t, int64_t>> reports_;

  // Whole files and partial copies in the cache directory (the store's own files aside).
  size_t CacheFiles() {
    return FilesUnder(home_ + "/cache/files") + FilesUnder(home_ + "/cache/.partial");
  }

  size_t FilesUnder(const std::string& dir) {
    size_t n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
      if (it->is_regular_file()) ++n;
    }
    return n;
  }
};

// The pipe name is formed as the library forms it, multi-user suffix included.
TEST_F(ServerFixture, MultiUserModeServesTheSuffixedPipe) {
  master_ = home_ + "/run/KDRClientPipe_ann";
  StartServer("", "KDR_WINDOWS_MULTIUSER=Yes USERNAME=ann VXN_PROXYPIPENAME=");
  EXPECT_FALSE(fs::exists(home_ + "/run/KDRClientPipe"));
  RawClient c;
  Connect(&c);
  EXPECT_EQ(c.Simple(KDR_ECHO_MSG, {}).typeId, kReplyNormal);
}

TEST_F(ServerFixture, FlagsWinOverTheEnvironmentAndBadOnesAreRefused) {
  master_ = home_ + "/run/FromFlag";
  StartServer("--pipe '\\\\.\\pipe\\FromFlag'", "KDRCACHED_PIPE='\\\\.\\pipe\\FromEnv'");
  EXPECT_FALSE(fs::exists(home_ + "/run/FromEnv"));
  EXPECT_EQ(StopServer(), 0);

  // A usage error: exit status 2 and a line that says what is wrong.
  StartServerExpectingExit("--segments lots", 2);
  EXPECT_NE(LogText().find("--segments: not a non-negative number: lots"), std::string::npos)
      << LogText();
}

// kdrvault as a script uses it: the ticket alone on standard output, exit statuses that tell
// a usage error from a missing file.
TEST_F(ServerFixture, VaultToolPutsFilesAndPrintsTickets) {
  auto run = [&](const std::string& args, std::string* out) {
    std::string cmd = "exec env -u KDRCACHED_VAULT_DIR KDR_HOME='" + home_ + "' '" KDRVAULT "' " +
                      args + " >'" + home_ + "/tool.out' 2>'" + home_ + "/tool.err'";
    long pid = 0;
    EXPECT_EQ(pf::SpawnShell(cmd.c_str(), &pid), 0);
    long status = -1;
    WaitForProcessEnd(pid, 5000, &status);
    *out = ReadLocal(home_ + "/tool.out");
    return status;
  };
  std::string local = WriteLocal("report.pdf", "PDF");
  std::string out;
  ASSERT_EQ(run("put '" + local + "' --type M", &out), 0) << ReadLocal(home_ + "/tool.err");
  ASSERT_FALSE(out.empty());
  std::string ticket = out.substr(0, out.size() - 1);
  EXPECT_EQ(out.back(), '\n');
  EXPECT_GE(ticket.size(), 225u);
  EXPECT_EQ(ticket[64], 'M');
  std::string guid = ticket.substr(70, 36);
  EXPECT_EQ(guid[8], '-');

  EXPECT_EQ(run("list", &out), 0);
  EXPECT_NE(out.find(guid), std::string::npos);
  EXPECT_NE(out.find("report.pdf"), std::string::npos);
  EXPECT_EQ(run("ticket " + guid, &out), 0);
  EXPECT_EQ(out.substr(64, 1), "M");
  EXPECT_NE(out.substr(0, 64), ticket.substr(0, 64));
  EXPECT_EQ(run("ticket " + std::string(32, 'B'), &out), 3);
  EXPECT_EQ(run("put '" + home_ + "/missing'", &out), 3);
  EXPECT_EQ(run("put '" + local + "' --guid short", &out), 2);
  EXPECT_EQ(run("", &out), 2);
  EXPECT_EQ(run("frobnicate", &out), 2);
  EXPECT_EQ(run("--help", &out), 0);
  EXPECT_NE(out.find("Usage: kdrvault"), std::string::npos);

  // What it put, the server serves.
  StartServer();
  RawClient c;
  Connect(&c);
  Reply r = c.Open(ticket);
  ASSERT_EQ(r.typeId, kReplyNormal) << r.ErrorText();
  EXPECT_EQ(GetBE64(r.payload.data(), 2), 3);
}

// A server that was killed leaves a store that was not closed, and a socket: the next one
// takes the pipe over and starts with a blank store, and the vault still has everything.
TEST_F(ServerFixture, AKilledServersStoreIsRebuiltBlank) {
  std::string content = Pattern(50000, 9);
  std::string ticket = PutFile(content, "r.bin");
  // Opens the file on a new connection and reads all of it into *got.
  auto readWhole = [&](std::string* got) {
    RawClient c;
    Connect(&c);
    Reply r = c.Open(ticket);
    ASSERT_EQ(r.typeId, kReplyNormal);
    size_t pieces = 0;
    ASSERT_TRUE(ReadRange(&c, GetBE16(r.payload.data(), 0), 0, 50000, got, &pieces));
  };
  StartServer();
  std::string before;
  readWhole(&before);
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_EQ(pf::KillProcessGroup(pid_), 0);
  WaitForProcessEnd(pid_, 5000);
  StartServer();
  EXPECT_TRUE(WaitForLog("was not closed cleanly", 2000)) << LogText();
  std::string got;
  readWhole(&got);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(got, content);
}

// A second server on the same cache directory, though it serves another pipe, refuses to
// start before it touches the first one's store, and says which server holds the directory.
TEST_F(ServerFixture, ASecondServerOnTheSameCacheDirectoryRefusesToStart) {
  StartServer();
  ASSERT_FALSE(HasFatalFailure());
  std::filesystem::create_directories(home_ + "/run2");
  std::filesystem::permissions(home_ + "/run2", std::filesystem::perms::owner_all);
  std::string cmd = "exec env KDR_HOME='" + home_ + "' KDR_RUNTIME_DIR='" + home_ +
                    "/run2' '" KDRCACHED "' --locale-dir '" KDR_LOCALE_DIR "' 2>'" + home_ +
                    "/second.log'";
  long pid = 0;
  ASSERT_EQ(pf::SpawnShell(cmd.c_str(), &pid), 0);
  long status = WaitForExitStatus(pid, 5000);
  if (status == -1) pf::KillProcessGroup(pid);
  std::string second = ReadLocal(home_ + "/second.log");
  EXPECT_EQ(status, 1) << second;
  EXPECT_NE(second.find("process " + std::to_string(pid_) + ")"), std::string::npos) << second;
  EXPECT_EQ(second.find("rebuilt"), std::string::npos) << second;
  RawClient c;
  Connect(&c);  // the first one serves on
}

TEST_F(Server, VersionCheckAcceptsOnlyTheClientsVersion) {
  RawClient c;
  ASSERT_EQ(c.Connect(master_), pf::kPipeOk);
  const unsigned char other[4] = {0x0A, 0x00, 0x00, 0x0B};
  Reply bad = c.VersionCheck(other);
  EXPECT_EQ(bad.typeId, kReplyError);
  EXPECT_EQ(bad.ErrorCode(), 100);
  EXPECT_NE(bad.ErrorText().find("0A00000B"), std::string::npos) << bad.ErrorText();
  EXPECT_EQ(bad.seq, 0);
  EXPECT_EQ(bad.msgType, KDR_VERSION_CHECK);
  // The refusal does not end the connection; the right version is then accepted.
  Reply ok = c.VersionCheck(kProtocolVersion);
  EXPECT_EQ(ok.typeId, kReplyNormal);
  EXPECT_EQ(ok.seq, 1);
  EXPECT_EQ(c.Simple(KDR_ECHO_MSG, {}).typeId, kReplyNormal);
}

TEST_F(Server, OpenRefusesBadTicketsAndUnknownFiles) {
  RawClient c;
  Connect(&c);
  std::string guid;
  std::string ticket = PutFile("abc", "a.txt", &guid);

  Reply shortTicket = c.Open(ticket.substr(0, 224));
  EXPECT_EQ(shortTicket.typeId, kReplyError);
  EXPECT_EQ(shortTicket.ErrorCode(), -3005);

  std::string wrongType = ticket;
  wrongType[64] = 'x';
  EXPECT_EQ(c.Open(wrongType).ErrorCode(), -3005);

  std::string traversal = ticket;
  traversal.replace(70, 4, "../.");
  EXPECT_EQ(c.Open(traversal).ErrorCode(), -3005);

  std::string unknown = ticket;
  unknown.replace(70, 32, std::string(32, 'A'));
  Reply missing = c.Open(unknown);
  EXPECT_EQ(missing.typeId, kReplyError);
  EXPECT_EQ(missing.ErrorCode(), -3003);
  EXPECT_EQ(missing.ErrorText(), "File " + std::string(32, 'A') + " is not in the vault");

  // A ticket with a NUL inside is not a ticket.
  Bytes withNul = Text(ticket, true);
  withNul[100] = 0;
  ASSERT_TRUE(c.Send2(KDR_OPEN_MSG, {}, withNul));
  Reply r;
  ASSERT_TRUE(c.Receive(&r));
  EXPECT_EQ(r.typeId, kReplyError);

  int64_t size = -1;
  uint16_t h = OpenOk(&c, ticket, &size);
  EXPECT_LT(h, 0x8000);
  EXPECT_EQ(size, 3);
}

TEST_F(Server, DataComesInPiecesOfAtMostOneBlock) {
  std::string content = Pattern(100000, 1);
  RawClient c;
  Connect(&c);
  uint16_t h = OpenOk(&c, PutFile(content, "big.bin"));
  std::string got;
  size_t pieces = 0;
  // Unaligned start: the first piece runs to the end of its block.
  ASSERT_TRUE(ReadRange(&c, h, 1000, 50000, &got, &pieces));
  EXPECT_EQ(got, content.substr(1000, 50000));
  EXPECT_EQ(pieces, 4u);  // 1000..16384, ..32768, ..49152, ..51000

  // A range past the end: what there is, then an end reply.
  ASSERT_TRUE(ReadRange(&c, h, 90000, 20000, &got, &pieces));
  EXPECT_EQ(got, content.substr(90000));
  ASSERT_TRUE(ReadRange(&c, h, 100000, 10, &got, &pieces));
  EXPECT_TRUE(got.empty());

  Reply neg = c.Data(h, -1, 10);
  EXPECT_EQ(neg.typeId, kReplyError);
  Reply size = c.Simple(KDR_GET_SIZE_MSG, BE16(h));
  ASSERT_EQ(size.typeId, kReplyNormal);
  EXPECT_EQ(GetBE64(size.payload.data(), 0), 100000);
  Reply ra = c.Simple(KDR_READ_AHEAD_MSG, Cat({BE16(h), BE64(0), BE32(65536), Text("tst", false)}));
  EXPECT_EQ(ra.typeId, kReplyNormal);

  EXPECT_EQ(c.Simple(KDR_CLOSE_MSG, BE16(h)).typeId, kReplyNormal);
  Reply closed = c.Data(h, 0, 10);
  EXPECT_EQ(closed.typeId, kReplyError);
  EXPECT_EQ(closed.ErrorCode(), -3003);
  EXPECT_EQ(c.Simple(KDR_CLOSE_MSG, BE16(h)).typeId, kReplyError);
}

TEST_F(Server, HandleBelongsToTheProcessNotTheConnection) {
  std::string ticket = PutFile("0123456789", "p.txt");
  RawClient first;
  Connect(&first);
  uint16_t h = OpenOk(&first, ticket);
  first.Close();  // an idle pipe closed by the library; the process lives on

  RawClient second;
  Connect(&second);
  std::string got;
  size_t pieces = 0;
  ASSERT_TRUE(ReadRange(&second, h, 2, 5, &got, &pieces));
  EXPECT_EQ(got, "23456");

  // Another process may not use it.
  std::string out = home_ + "/other.handle";
  long pid = 0;
  std::string cmd = std::string("exec '" KDR_KILL_CLIENT "' '") + master_ + "' '" + ticket +
                    "' '" + out + "'";
  ASSERT_EQ(pf::SpawnShell(cmd.c_str(), &pid), 0);
  for (int i = 0; i < 500 && !fs::exists(out); ++i) pf::SleepMs(10);
  ASSERT_TRUE(fs::exists(out));
  uint16_t foreign = static_cast<uint16_t>(std::stoi(ReadLocal(out)));
  EXPECT_NE(foreign, h);
  EXPECT_EQ(second.Data(foreign, 0, 1).ErrorCode(), -3003);
  EXPECT_EQ(second.Simple(KDR_CLOSE_MSG, BE16(foreign)).typeId, kReplyError);
  pf::KillProcessGroup(pid);
}

TEST_F(Server, HandlesOfAKilledClientAreReleased) {
  std::string ticket = PutFile("xyz", "k.txt");
  std::string out = home_ + "/killed.handle";
  long pid = 0;
  std::string cmd = std::string("exec '" KDR_KILL_CLIENT "' '") + master_ + "' '" + ticket +
                    "' '" + out + "'";
  ASSERT_EQ(pf::SpawnShell(cmd.c_str(), &pid), 0);
  for (int i = 0; i < 500 && !fs::exists(out); ++i) pf::SleepMs(10);
  ASSERT_TRUE(fs::exists(out)) << LogText();
  ASSERT_EQ(pf::KillProcessGroup(pid), 0);
  EXPECT_TRUE(WaitForLog("released 1 handle(s) of process " + std::to_string(pid), 5000))
      << LogText();
}

TEST_F(Server, DownloadReportsProgressAndCancelLeavesNoPartialFile) {
  std::string content = Pattern(3 << 20, 7);
  std::string guid;
  std::string ticket = PutFile(content, "model.dat", &guid);
  RawClient c;
  Connect(&c);
  uint16_t h = OpenOk(&c, ticket);
  Bytes req = Cat({BE16(h), Text("tst", false)});

  // Cancelled at the first progress reply.
  ASSERT_TRUE(c.Send(KDR_GET_FILE_MSG, req));
  int progress = 0;
  Reply cancelled = Converse(&c, -3016, 1, &progress);
  EXPECT_EQ(progress, 1);
  EXPECT_EQ(cancelled.typeId, kReplyError);
  EXPECT_EQ(cancelled.ErrorCode(), -3016);
  EXPECT_EQ(CacheFiles(), 0u);

  // Failed by the client with its own code.
  ASSERT_TRUE(c.Send(KDR_GET_FILE_MSG, req));
  Reply failed = Converse(&c, -7, 1, &progress);
  EXPECT_EQ(failed.ErrorCode(), -7);
  EXPECT_EQ(CacheFiles(), 0u);

  // Through to the end: progress replies carry the total, start at 0, move at most 4 MiB at a
  // time and end with all of it; the final reply names the file.
  ASSERT_TRUE(c.Send(KDR_GET_FILE_MSG, req));
  Reply done = Converse(&c, 0, 1, &progress);
  ASSERT_EQ(done.typeId, kReplyNormal) << done.ErrorText();
  const int64_t size = static_cast<int64_t>(content.size());
  ASSERT_GE(reports_.size(), 2u);
  EXPECT_EQ(reports_.front(), std::make_pair(int64_t{0}, size));
  EXPECT_EQ(reports_.back(), std::make_pair(size, size));
  for (size_t i = 1; i < reports_.size(); ++i) {
    EXPECT_LE(reports_[i].first - reports_[i - 1].first, int64_t{4} << 20);
  }
  std::string path = done.LengthText();
  EXPECT_EQ(path.rfind(home_ + "/cache/files/" + guid + "/", 0), 0u) << path;
  EXPECT_TRUE(path.ends_with("/model.dat")) << path;
  EXPECT_EQ(ReadLocal(path), content);

  // Cached and unchanged: answered at once, with one report of all the bytes.
  ASSERT_TRUE(c.Send(KDR_GET_FILE_MSG, req));
  Reply again = Converse(&c, 0, 1, &progress);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0], std::make_pair(size, size));
  EXPECT_EQ(again.LengthText(), path);

  // A status that is not the transfer's ends it with an error reply.
  EXPECT_EQ(c.Simple(KDR_CLEAR_CACHE_MSG, {}).typeId, kReplyNormal);
  EXPECT_FALSE(fs::exists(path));
  ASSERT_TRUE(c.Send(KDR_GET_FILE_MSG, req));
  Reply first;
  ASSERT_TRUE(c.Receive(&first));
  ASSERT_EQ(first.typeId, kReplyProgress);
  ASSERT_TRUE(c.Send(KDR_ECHO_MSG, {}));
  Reply wrong;
  ASSERT_TRUE(c.Receive(&wrong));
  EXPECT_EQ(wrong.typeId, kReplyError);
  EXPECT_EQ(CacheFiles(), 0u);
}

TEST_F(Server, DownloadToALocationReplacesTheTargetWhole) {
  std::string content = Pattern(40000, 3);
  RawClient c;
  Connect(&c);
  uint16_t h = OpenOk(&c, PutFile(content, "t.bin"));
  std::string target = WriteLocal("out.bin", "old");
  ASSERT_TRUE(c.Send(KDR_GET_LOCATION_MSG, Cat({BE16(h), Text("tst", false), Text(target, true)})));
  int progress = 0;
  Reply r = Converse(&c, 0, 1, &progress);
  EXPECT_EQ(r.typeId, kReplyNormal) << r.ErrorText();
  EXPECT_EQ(ReadLocal(target), content);

  // Cancelled: the old file stays as it was, and nothing else is left beside it.
  WriteLocal("out.bin", "old");
  ASSERT_TRUE(c.Send(KDR_GET_LOCATION_MSG, Cat({BE16(h), Text("tst", false), Text(target, true)})));
  EXPECT_EQ(Converse(&c, -3016, 1, &progress).ErrorCode(), -3016);
  EXPECT_EQ(ReadLocal(target), "old");
  for (const auto& e : fs::directory_iterator(home_)) {
    EXPECT_EQ(e.path().filename().string().find(".kdrpart"), std::string::npos);
  }

  Reply relative = c.Simple(KDR_GET_LOCATION_MSG, Cat({BE16(h), Text("tst", false), Text("out.bin", true)}));
  EXPECT_EQ(relative.typeId, kReplyError);
}

TEST_F(Server, UploadThenDownloadThenRollBack) {
  std::string before = Pattern(20000, 11);
  std::string after = Pattern(30000, 12);
  std::string ticket = PutFile(before, "doc.bin");
  std::string local = WriteLocal("new.bin", after);
  RawClient c;
  Connect(&c);
  uint16_t h = OpenOk(&c, ticket);

  ASSERT_TRUE(c.Send2(KDR_UPLOAD_MSG, Cat({BE16(h), BE16(static_cast<uint16_t>(local.size()))}),
                      Text(local, false)));
  int progress = 0;
  Reply up = Converse(&c, 0, 1, &progress);
  ASSERT_EQ(up.typeId, kReplyNormal) << up.ErrorText();
  std::string volume = up.LengthText();
  EXPECT_FALSE(volume.empty());

  // A new open sees the uploaded bytes.
  int64_t size = 0;
  uint16_t h2 = OpenOk(&c, ticket, &size);
  EXPECT_EQ(size, 30000);
  std::string got;
  size_t pieces = 0;
  ASSERT_TRUE(ReadRange(&c, h2, 0, 30000, &got, &pieces));
  EXPECT_EQ(got, after);

  // A client that goes between the two writes of a roll-back without a volume id rolls
  // nothing back: its close is the end of the stream, not an empty second write.
  {
    RawClient quitter;
    Connect(&quitter);
    uint16_t hq = OpenOk(&quitter, ticket);
    ASSERT_TRUE(quitter.Send(KDR_ROLLBACK_MSG, Cat({BE16(hq), BE16(0)}), 4));
    quitter.Close();
  }
  pf::SleepMs(100);
  OpenOk(&c, ticket, &size);
  EXPECT_EQ(size, 30000);

  // Only an upload's volume can be rolled back, and only once.
  Reply first = c.Simple(KDR_ROLLBACK_MSG, {});  // malformed: no fields
  EXPECT_EQ(first.typeId, kReplyError);
  ASSERT_TRUE(c.Send2(KDR_ROLLBACK_MSG, Cat({BE16(h), BE16(8)}), Text("00000001", false)));
  Reply notUpload;
  ASSERT_TRUE(c.Receive(&notUpload));
  EXPECT_EQ(notUpload.typeId, kReplyError);
  ASSERT_TRUE(c.Send2(KDR_ROLLBACK_MSG, Cat({BE16(h), BE16(static_cast<uint16_t>(volume.size()))}),
                      Text(volume, false)));
  Reply rb;
  ASSERT_TRUE(c.Receive(&rb));
  EXPECT_EQ(rb.typeId, kReplyNormal) << rb.ErrorText();
  uint16_t h3 = OpenOk(&c, ticket, &size);
  EXPECT_EQ(size, 20000);
  ASSERT_TRUE(ReadRange(&c, h3, 0, 20000, &got, &pieces));
  EXPECT_EQ(got, before);

  // An upload after the roll-back gets a volume id never used before, and a download into the
  // cache then brings its bytes, not the rolled-back ones of the same size.
  std::string again = Pattern(30000, 13);
  WriteLocal("new.bin", again);
  ASSERT_TRUE(c.Send2(KDR_UPLOAD_MSG, Cat({BE16(h), BE16(static_cast<uint16_t>(local.size()))}),
                      Text(local, false)));
  Reply up2 = Converse(&c, 0, 1, &progress);
  ASSERT_EQ(up2.typeId, kReplyNormal);
  EXPECT_NE(up2.LengthText(), volume);
  uint16_t h4 = OpenOk(&c, ticket);
  ASSERT_TRUE(c.Send(KDR_GET_FILE_MSG, Cat({BE16(h4), Text("tst", false)})));
  Reply dl = Converse(&c, 0, 1, &progress);
  ASSERT_EQ(dl.typeId, kReplyNormal);
  EXPECT_EQ(ReadLocal(dl.LengthText()), again);

  // An absent volume id rolls back the newest upload.
  ASSERT_TRUE(c.Send2(KDR_ROLLBACK_MSG, Cat({BE16(h), BE16(0)}), {}));
  Reply rbNewest;
  ASSERT_TRUE(c.Receive(&rbNewest));
  EXPECT_EQ(rbNewest.typeId, kReplyNormal) << rbNewest.ErrorText();
  OpenOk(&c, ticket, &size);
  EXPECT_EQ(size, 20000);

  // A file that cannot be read is refused before anything is stored.
  std::string missing = home_ + "/no-such-file";
  ASSERT_TRUE(c.Send2(KDR_UPLOAD_MSG, Cat({BE16(h), BE16(static_cast<uint16_t>(missing.size()))}),
                      Text(missing, false)));
  EXPECT_EQ(Converse(&c, 0, 1, &progress).typeId, kReplyError);
}

TEST_F(Server, GarbageNeverCrashesTheServer) {
  {
    RawClient c;
    Connect(&c);
    // Not a request: wrong direction, bad type halves, unknown type, lengths that lie.
    Bytes header(12, 0);
    PutRequestHeader(header.data(), 1, KDR_ECHO_MSG, 0);
    header[0] = 2;
    ASSERT_TRUE(c.SendMessage(header));
    Reply r;
    ASSERT_TRUE(c.Receive(&r));
    EXPECT_EQ(r.typeId, kReplyError);
    EXPECT_EQ(r.ErrorCode(), -3002);
    EXPECT_EQ(c.Simple(0x00060006, {}).typeId, kReplyError);
    EXPECT_EQ(c.Simple(MsgTypeOf(77), {}).ErrorCode(), -3099);
    EXPECT_EQ(c.Simple(KDR_GET_SIZE_MSG, {}).typeId, kReplyError);
    ASSERT_TRUE(c.Send(KDR_GET_SIZE_MSG, BE16(1), 40));
    ASSERT_TRUE(c.Receive(&r));
    EXPECT_EQ(r.typeId, kReplyError);
    // A text without its NUL, a locale that would leave the catalog folder.
    ASSERT_TRUE(c.Send2(KDR_LOCALE_MSG, {}, Text("de", false)));
    ASSERT_TRUE(c.Receive(&r));
    EXPECT_EQ(r.typeId, kReplyError);
    ASSERT_TRUE(c.Send2(KDR_LOCALE_MSG, {}, Text("../../etc/passwd", true)));
    ASSERT_TRUE(c.Receive(&r));
    EXPECT_EQ(r.typeId, kReplyError);
    // A message far longer than any request is refused unread.
    ASSERT_TRUE(c.Send(KDR_ECHO_MSG, Bytes(200000, 'x')));
    ASSERT_TRUE(c.Receive(&r));
    EXPECT_EQ(r.typeId, kReplyError);
    // A stray status has no reply of its own: the next request's reply comes next.
    ASSERT_TRUE(c.SendStatus(0));
    EXPECT_EQ(c.Simple(KDR_ECHO_MSG, {}).typeId, kReplyNormal);
  }
  {
    RawClient c;
    Connect(&c);
    ASSERT_TRUE(c.SendMessage({1, 2, 3}));  // shorter than a header: connection closed
    Reply r;
    EXPECT_FALSE(c.Receive(&r));
  }
  {
    RawClient c;
    Connect(&c);
    ASSERT_TRUE(c.SendRaw({0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3}));  // a frame of 4 GiB
    Reply r;
    EXPECT_FALSE(c.Receive(&r));
  }
  {
    RawClient c;
    Connect(&c);
    ASSERT_TRUE(c.SendRaw({0, 0, 0, 50, 1, 0}));  // half a request, then gone
  }
  RawClient c;
  Connect(&c);
  EXPECT_EQ(c.Simple(KDR_ECHO_MSG, {}).typeId, kReplyNormal);
}

TEST_F(Server, LocalizesPerConnection) {
  RawClient de, plain;
  Connect(&de);
  Connect(&plain);
  ASSERT_TRUE(de.Send2(KDR_LOCALE_MSG, {}, Text("de_DE.UTF-8", true)));
  Reply r;
  ASSERT_TRUE(de.Receive(&r));
  ASSERT_EQ(r.typeId, kReplyNormal);

  auto localize = [](RawClient* c, const std::string& text) {
    Reply reply;
    if (c->Send2(KDR_LOCALIZE_MSG, {}, Text(text, true))) c->Receive(&reply);
    EXPECT_EQ(reply.typeId, kReplyNormal) << reply.ErrorText();
    return reply.LengthText();
  };
  EXPECT_EQ(localize(&de, "ERR_KDRCP_CANCELLED"), "Abgebrochen (ERR_KDRCP_CANCELLED).");
  EXPECT_EQ(localize(&de, "The VXN start script is missing or inaccessible.  KDR_HOME may be incorrect."),
            "Das VXN-Startskript fehlt oder ist nicht lesbar.  KDR_HOME ist möglicherweise falsch "
            "gesetzt.");
  EXPECT_EQ(localize(&de, "no such text"), "no such text");
  EXPECT_EQ(localize(&plain, "ERR_KDRCP_CANCELLED"), "ERR_KDRCP_CANCELLED");
}

TEST_F(Server, SigtermStopsCleanlyWhileClientsAreConnected) {
  RawClient idle, busy;
  Connect(&idle);
  Connect(&busy);
  uint16_t h = OpenOk(&busy, PutFile(Pattern(2 << 20, 5), "s.bin"));
  // Leave a transfer waiting for its status.
  ASSERT_TRUE(busy.Send(KDR_GET_FILE_MSG, Cat({BE16(h), Text("tst", false)})));
  Reply p;
  ASSERT_TRUE(busy.Receive(&p));
  ASSERT_EQ(p.typeId, kReplyProgress);

  // And a client that took a secondary pipe name but never came to it.
  pf::PipeHandle stray = pf::kNoPipe;
  ASSERT_EQ(pf::PipeConnect(master_.c_str(), &stray), pf::kPipeOk);
  char name[300];
  uint32_t n = 0;
  ASSERT_EQ(pf::PipeRead(stray, name, sizeof name, &n), pf::kPipeOk);

  int32_t start = pf::MonotonicMs();
  EXPECT_EQ(StopServer(), 0) << LogText();
  EXPECT_LT(pf::MonotonicMs() - start, 5000);
  EXPECT_NE(LogText().find("stopped"), std::string::npos);
  EXPECT_FALSE(fs::exists(master_));
  EXPECT_EQ(CacheFiles(), 0u);
  Reply after;
  EXPECT_FALSE(idle.Receive(&after));
  pf::PipeAbort(stray);
}

// Many connections at once over the same files, with the cache cleared under them: every
// read still returns the file's bytes (the server under ThreadSanitizer in that build).
TEST_F(Server, ManyClientsAtOnce) {
  std::vector<std::string> contents, tickets;
  for (unsigned i = 0; i < 3; ++i) {
    contents.push_back(Pattern(70000 + i * 1000, 40 + i));
    tickets.push_back(PutFile(contents.back(), "m" + std::to_string(i)));
  }
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      RawClient c;
      if (c.Connect(master_) != pf::kPipeOk) return (void)++bad;
      for (int round = 0; round < 5; ++round) {
        size_t i = static_cast<size_t>(t + round) % tickets.size();
        Reply r = c.Open(tickets[i]);
        if (r.typeId != kReplyNormal) return (void)++bad;
        uint16_t h = GetBE16(r.payload.data(), 0);
        std::string got;
        if (!c.Send(KDR_GET_DATA_MSG, Cat({BE16(h), BE64(0), BE32(200000), Text("tst", false)})))
          return (void)++bad;
        for (;;) {
          Reply d;
          if (!c.Receive(&d)) return (void)++bad;
          if (d.typeId == kReplyEnd) break;
          if (d.typeId != kReplyNormal) return (void)++bad;
          got.append(reinterpret_cast<const char*>(d.payload.data() + 12), d.payload.size() - 12);
        }
        if (got != contents[i]) ++bad;
        if (c.Simple(KDR_CLOSE_MSG, BE16(h)).typeId != kReplyNormal) ++bad;
      }
    });
  }
  RawClient admin;
  Connect(&admin);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(admin.Simple(KDR_CLEAR_CACHE_MSG, {}).typeId, kReplyNormal);
    pf::SleepMs(5);
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(Server, BlocksReadGoIntoTheStoreWhereClientsFindThem) {
  std::string guid;
  std::string content = Pattern(40000, 21);
  std::string ticket = PutFile(content, "fast.bin", &guid);
  RawClient c;
  Connect(&c);
  Reply info = c.Simple(KDR_GET_CACHE_INIT_INFO, {});
  ASSERT_EQ(info.typeId, kReplyNormal) << info.ErrorText();
  ASSERT_GE(info.payload.size(), 24u);
  const unsigned char* p = info.payload.data();
  int32_t pages = GetBE32(p, 0), segments = GetBE32(p, 4), hash = GetBE32(p, 8);
  int32_t mb = GetBE32(p, 12), extents = GetBE32(p, 16);
  size_t d = GetBE16(p, 20), m = GetBE16(p, 22);
  ASSERT_EQ(info.payload.size(), 24 + d + m);
  EXPECT_GT(pages, 0);
  EXPECT_GT(segments, 0);
  EXPECT_GT(hash, 0);
  std::string dir(reinterpret_cast<const char*>(p + 24), d);
  std::string map(reinterpret_cast<const char*>(p + 24 + d), m);
  EXPECT_EQ(dir, home_ + "/cache");

  uint16_t h = OpenOk(&c, ticket);
  std::string got;
  size_t pieces = 0;
  ASSERT_TRUE(ReadRange(&c, h, 0, 40000, &got, &pieces));
  ASSERT_EQ(got, content);

  // Attach as the fast cache does, with the parameters the server gave.
  // The named objects live in the server's runtime directory; set back when the test ends.
  struct RestoreEnv {
    std::string old;
    bool had;
    RestoreEnv() : had(std::getenv("KDR_RUNTIME_DIR") != nullptr) {
      if (had) old = std::getenv("KDR_RUNTIME_DIR");
    }
    ~RestoreEnv() { had ? setenv("KDR_RUNTIME_DIR", old.c_str(), 1) : unsetenv("KDR_RUNTIME_DIR"); }
  } restore;
  ASSERT_EQ(setenv("KDR_RUNTIME_DIR", (home_ + "/run").c_str(), 1), 0);
  KDRCIF_OPEN_PARAMS prm{dir.data(), map.data(), pages, segments, hash, mb * extents, mb, extents,
                         0, 0, KDRC_MODE_CLIENT, 0};
  KDRC_FILETOC_T* client = nullptr;
  ASSERT_EQ(KDRCIF_OpenS(&prm, &client), 0);
  auto blocksHeld = [&](std::string* bytes) {
    bytes->clear();
    EXPECT_EQ(KDRCIF_LockCache(client), 0);
    KDRC_PAGE_T* first = nullptr;
    int32_t size[2] = {0, 0};
    int held = 0;
    if (KDRCIF_FindFile(client, guid.c_str(), size, &first) == 0 && first != nullptr) {
      for (int32_t b = 0; b < 3; ++b) {
        std::string block(16384, '\0');
        int32_t n = -1;
        if (KDRCIF_ReadBlock(client, first, b, block.data(), &n) == 0 && n >= 0) {
          ++held;
          bytes->append(block.data(), static_cast<size_t>(n));
        }
      }
    }
    KDRCIF_UnLockCache(client);
    return held;
  };
  std::string cached;
  EXPECT_EQ(blocksHeld(&cached), 3);
  EXPECT_EQ(cached, content);

  // New content through an upload: the old blocks must not be served any more.
  std::string local = WriteLocal("newer.bin", Pattern(40000, 22));
  ASSERT_TRUE(c.Send2(KDR_UPLOAD_MSG, Cat({BE16(h), BE16(static_cast<uint16_t>(local.size()))}),
                      Text(local, false)));
  int progress = 0;
  ASSERT_EQ(Converse(&c, 0, 1, &progress).typeId, kReplyNormal);
  EXPECT_EQ(blocksHeld(&cached), 0);

  // Clearing empties the store in place, with the client attached.
  uint16_t h2 = OpenOk(&c, ticket);
  ASSERT_TRUE(ReadRange(&c, h2, 0, 40000, &got, &pieces));
  EXPECT_EQ(blocksHeld(&cached), 3);
  EXPECT_EQ(cached, Pattern(40000, 22));
  EXPECT_EQ(c.Simple(KDR_CLEAR_CACHE_MSG, {}).typeId, kReplyNormal);
  EXPECT_EQ(blocksHeld(&cached), 0);
  EXPECT_EQ(KDRCIF_Close(&client), 0);

  // A client stopped inside the cache lock: an upload is reported done only once no new
  // attach can find the old blocks, whatever the lock's holder does later; meanwhile a reader
  // of another file does not wait for it.
  ASSERT_TRUE(ReadRange(&c, h2, 0, 40000, &got, &pieces));
  RawClient other;
  Connect(&other);
  const uint16_t ho = OpenOk(&other, PutFile(Pattern(40000, 24), "other.bin"));
  long holder = 0;
  std::string cmd = "exec '" KDR_STORE_LOCK_HELPER "' '" + map + "' stop";
  ASSERT_EQ(pf::SpawnShell(cmd.c_str(), &holder), 0);
  auto stopped = [&] {
    std::ifstream st("/proc/" + std::to_string(holder) + "/stat");
    std::string text((std::istreambuf_iterator<char>(st)), {});
    size_t paren = text.rfind(')');
    return paren != std::string::npos && text.size() > paren + 2 && text[paren + 2] == 'T';
  };
  for (int i = 0; i < 500 && !stopped(); ++i) pf::SleepMs(10);
  ASSERT_TRUE(stopped());
  int32_t readMs = -1;
  std::thread reader([&] {
    pf::SleepMs(500);  // the upload waits for the lock by now
    int32_t start = pf::MonotonicMs();
    std::string data;
    size_t n = 0;
    EXPECT_TRUE(ReadRange(&other, ho, 0, 40000, &data, &n) && data == Pattern(40000, 24));
    readMs = pf::MonotonicMs() - start;
  });
  local = WriteLocal("newest.bin", Pattern(40000, 23));
  EXPECT_TRUE(c.Send2(KDR_UPLOAD_MSG, Cat({BE16(h2), BE16(static_cast<uint16_t>(local.size()))}),
                      Text(local, false)));
  EXPECT_EQ(Converse(&c, 0, 1, &progress).typeId, kReplyNormal);
  reader.join();
  EXPECT_GE(readMs, 0);
  EXPECT_LT(readMs, 3000) << "a read of another file waited for the upload" << LogText();
  pf::KillProcessGroup(holder);
  WaitForProcessEnd(holder, 5000);
  info = c.Simple(KDR_GET_CACHE_INIT_INFO, {});
  ASSERT_EQ(info.typeId, kReplyNormal) << info.ErrorText();
  p = info.payload.data();
  map.assign(reinterpret_cast<const char*>(p + 24 + GetBE16(p, 20)), GetBE16(p, 22));
  prm.mapName = map.data();
  ASSERT_EQ(KDRCIF_OpenS(&prm, &client), 0);
  EXPECT_EQ(blocksHeld(&cached), 0) << "the old blocks are still there for a new open";
  EXPECT_EQ(KDRCIF_Close(&client), 0);
}

// Blocks the store holds go out straight from its mapping. A small store, three files that do
// not fit it together and readers of whole files (one of them slow, so that the pipe fills and
// the rest of a reply waits) make every reply race with the evictions of the others: each byte
// must still be its file's own.
TEST_F(ServerFixture, RepliesFromTheStoreNeverCarryAnEvictedBlock) {
  StartServer("--segments 256 --extent-files 0 --file-pages 64");
  constexpr int kFiles = 3;
  constexpr int32_t kSize = 3 << 20;
  std::vector<std::string> contents, tickets;
  for (int i = 0; i < kFiles; ++i) {
    contents.push_back(records::Records(static_cast<uint32_t>(i + 1), 1, kSize));
    tickets.push_back(PutFile(contents.back(), "e" + std::to_string(i)));
  }
  std::atomic<int> bad{0}, wrong{0}, replies{0};
  const int32_t until = pf::MonotonicMs() + 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      RawClient c;
      if (c.Connect(master_) != pf::kPipeOk) return (void)++bad;
      for (int round = 0; round < 40 && (round < 1 || pf::MonotonicMs() - until < 0); ++round) {
        const size_t i = static_cast<size_t>(t + round) % kFiles;
        Reply r = c.Open(tickets[i]);
        if (r.typeId != kReplyNormal) return (void)++bad;
        const uint16_t h = GetBE16(r.payload.data(), 0);
        if (!c.Send(KDR_GET_DATA_MSG, Cat({BE16(h), BE64(0), BE32(kSize), Text("tst", false)})))
          return (void)++bad;
        if (t == 0) pf::SleepMs(20);  // the server fills the pipe meanwhile
        for (int64_t at = 0; at < kSize;) {
          Reply d;
          if (!c.Receive(&d) || d.typeId != kReplyNormal || d.payload.size() < 12)
            return (void)++bad;
          const size_t n = d.payload.size() - 12;
          if (at + static_cast<int64_t>(n) > kSize ||
              std::memcmp(d.payload.data() + 12, contents[i].data() + at, n) != 0) {
            ++wrong;
          }
          at += static_cast<int64_t>(n);
          if (t == 0 && at % (1 << 20) == 0) pf::SleepMs(2);
        }
        ++replies;
        if (c.Simple(KDR_CLOSE_MSG, BE16(h)).typeId != kReplyNormal) ++bad;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GE(replies.load(), 3);
  EXPECT_EQ(wrong.load(), 0) << "of " << replies.load() << " whole-file replies";
}

}  // namespace
}  // namespace kdr::servertest
