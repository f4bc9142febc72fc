// A TCP relay that makes loopback look like a wide-area link: each connection to its port on
// 127.0.0.1 is forwarded to the target, and each direction is delayed by a fixed time and paced
// to a rate (one link per direction, shared by every connection, as a real access link is).
// The kernel here has no netem; the benchmarks put this between the S3 vault and the store.
//
//   s3_relay PORT_FILE TARGET_PORT [DELAY_MS [MBIT]]   (defaults: 10 ms each way, 200 Mbit/s)
//
// Writes the port it listens on into PORT_FILE (whole, by a rename), then relays until killed.
// A direction holds at most kQueueBytes not yet sent, so the sender feels the link's rate
// through TCP's flow control instead of filling the relay's memory.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kPiece = 16 << 10;       // bytes read at once (about 0.6 ms at 200 Mbit/s)
constexpr size_t kQueueBytes = 2u << 20;  // not yet sent, per direction of a connection

// One direction of the link: when the next byte may start on the wire.
struct Link {
  std::mutex mu;
  Clock::time_point free = Clock::now();
  double bytesPerSecond = 0;

  // Books `n` bytes that may leave at `ready` at the earliest; returns when they have left.
  Clock::time_point Book(size_t n, Clock::time_point ready) {
    std::lock_guard<std::mutex> guard(mu);
    Clock::time_point start = std::max(ready, free);
    free = start + std::chrono::duration_cast<Clock::duration>(
                       std::chrono::duration<double>(double(n) / bytesPerSecond));
    return free;
  }
};

Link g_up, g_down;  // client to target, target to client
std::chrono::milliseconds g_delay{10};

bool SendAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}

// Bytes read from `from`, each piece with its time of arrival, sent to `to` after the delay at
// the link's pace. An end of stream is passed on as a half close.
class Direction {
 public:
  Direction(int from, int to, Link* link) : from_(from), to_(to), link_(link) {}

  void Run() {
    std::thread writer([this] { Write(); });
    Read();
    writer.join();
  }

 private:
  struct Piece {
    Clock::time_point arrived;
    std::string bytes;  // empty: end of stream
  };

  void Read() {
    for (;;) {
      std::string buf(kPiece, '\0');
      ssize_t r = ::recv(from_, buf.data(), buf.size(), 0);
      if (r < 0 && errno == EINTR) continue;
      buf.resize(r > 0 ? size_t(r) : 0);
      std::unique_lock<std::mutex> lock(mu_);
      room_.wait(lock, [&] { return queued_ < kQueueBytes || broken_; });
      if (broken_) return;
      queued_ += buf.size();
      bool end = buf.empty();
      queue_.push_back({Clock::now(), std::move(buf)});
      ready_.notify_one();
      if (end) return;
    }
  }

  void Write() {
    for (;;) {
      Piece piece;
      {
        std::unique_lock<std::mutex> lock(mu_);
        ready_.wait(lock, [&] { return !queue_.empty(); });
        piece = std::move(queue_.front());
        queue_.pop_front();
      }
      if (piece.bytes.empty()) {
        ::shutdown(to_, SHUT_WR);
        return;
      }
      std::this_thread::sleep_until(link_->Book(piece.bytes.size(), piece.arrived + g_delay));
      bool sent = SendAll(to_, piece.bytes.data(), piece.bytes.size());
      std::lock_guard<std::mutex> guard(mu_);
      queued_ -= piece.bytes.size();
      room_.notify_one();
      if (!sent) {
        // The receiver is gone: stop reading the sender too.
        broken_ = true;
        ::shutdown(from_, SHUT_RDWR);
        return;
      }
    }
  }

  int from_, to_;
  Link* link_;
  std::mutex mu_;
  std::condition_variable ready_, room_;
  std::deque<Piece> queue_;
  size_t queued_ = 0;
  bool broken_ = false;
};

int ConnectTarget(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void Relay(int client, int targetPort) {
  int target = ConnectTarget(targetPort);
  if (target >= 0) {
    int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(target, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Direction up(client, target, &g_up), down(target, client, &g_down);
    std::thread t([&] { up.Run(); });
    down.Run();
    t.join();
    ::close(target);
  }
  ::close(client);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: s3_relay PORT_FILE TARGET_PORT [DELAY_MS [MBIT]]\n");
    return 2;
  }
  int targetPort = std::atoi(argv[2]);
  g_delay = std::chrono::milliseconds(argc > 3 ? std::atoi(argv[3]) : 10);
  double mbit = argc > 4 ? std::atof(argv[4]) : 200;
  g_up.bytesPerSecond = g_down.bytesPerSecond = mbit * 1e6 / 8;
  std::signal(SIGPIPE, SIG_IGN);

  int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (lfd < 0 || ::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(lfd, 128) != 0 ||
      ::getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::perror("s3_relay: listen");
    return 1;
  }
  std::string tmp = std::string(argv[1]) + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "w");
  if (f == nullptr) return 1;
  std::fprintf(f, "%d\n", ntohs(addr.sin_port));
  std::fclose(f);
  if (std::rename(tmp.c_str(), argv[1]) != 0) return 1;
  for (;;) {
    int c = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::perror("s3_relay: accept");
      return 1;
    }
    std::thread(Relay, c, targetPort).detach();
  }
}
