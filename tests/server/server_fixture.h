// Runs kdrcached as a real process in a temporary KDR_HOME with a private runtime directory,
// and checks when it ends that it stopped cleanly and its log holds no sanitizer report.
#ifndef KDR_TESTS_SERVER_SERVER_FIXTURE_H_
#define KDR_TESTS_SERVER_SERVER_FIXTURE_H_

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/raw_client.h"

namespace kdr::servertest {

class ServerFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the server with extra flags (and extra NAME=VALUE environment words); waits until
  // its master pipe (master_) answers.
  void StartServer(const std::string& extraFlags = "", const std::string& extraEnv = "");
  // Starts the server expecting it to end at once with `status`.
  void StartServerExpectingExit(const std::string& extraFlags, long status);
  // SIGTERM, then waits up to 10 s. Returns the exit status (-1: did not end).
  long StopServer();
  // SIGKILLs the server's process group and waits (up to 5 s) for the server to end: 0, or -1.
  int KillServer();

  // Stores `content` in the vault as a new file `name`; returns a ticket for it.
  std::string PutFile(const std::string& content, const std::string& name,
                      std::string* guid = nullptr);
  // Writes a plain file under home_ and returns its path.
  std::string WriteLocal(const std::string& rel, const std::string& content);
  std::string ReadLocal(const std::string& path);

  std::string LogText() const;
  bool WaitForLog(const std::string& text, int timeoutMs) const;

  // Connected client, version checked.
  void Connect(RawClient* c);

  // Reads a whole range with KDR_GET_DATA_MSG, checking the pieces as the library does.
  // Returns false (with a gtest failure) on a protocol fault.
  bool ReadRange(RawClient* c, uint16_t handle, int64_t offset, int32_t length,
                 std::string* out, size_t* pieces);

  std::string home_;
  std::string master_;   // socket path of the master pipe
  long pid_ = 0;
  bool stopped_ = true;
};

std::string Pattern(size_t n, unsigned seed);

}  // namespace kdr::servertest

#endif  // KDR_TESTS_SERVER_SERVER_FIXTURE_H_
