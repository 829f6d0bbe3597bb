// A TCP relay on 127.0.0.1 for the client library's tests: it carries the
// bytes of each connection to a target port unchanged (TLS stays end to
// end), can hold back what the target sends, and can cut every connection
// with a reset, the way a broken network path ends them.
#ifndef TESTS_CLIENT_TCP_PROXY_H_
#define TESTS_CLIENT_TCP_PROXY_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace clienttest {

class TcpProxy {
 public:
  explicit TcpProxy(int target_port) : target_port_(target_port) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address);
    listen(listener_, 16);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~TcpProxy() {
    uint64_t one = 1;
    stop_ = true;
    (void)!write(wake_, &one, sizeof one);
    thread_.join();
    for (Pair &pair : pairs_) CloseWithReset(pair);
    close(listener_);
    close(wake_);
  }
  TcpProxy(const TcpProxy &) = delete;
  TcpProxy &operator=(const TcpProxy &) = delete;

  int port() const { return port_; }
  int connections() const { return accepted_; }
  // While held, bytes from the target stay in the kernel's buffers.
  void HoldReplies(bool hold) {
    hold_ = hold;
    Poke();
  }
  // Resets every open connection, on both sides.
  void CutAll() {
    cut_ = true;
    Poke();
    while (cut_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

 private:
  struct Pair {
    int client;
    int target;
  };

  static sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
  }
  static void CloseWithReset(const Pair &pair) {
    linger reset = {1, 0};
    for (int fd : {pair.client, pair.target}) {
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      close(fd);
    }
  }
  void Poke() {
    uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
  }
  void Accept() {
    int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    int target = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(target_port_);
    if (connect(target, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
      CloseWithReset({client, target});
      return;
    }
    pairs_.push_back({client, target});
    ++accepted_;
  }
  // Moves what from has to to; false when the connection is over.
  static bool Pump(int from, int to) {
    char buffer[65536];
    ssize_t n = read(from, buffer, sizeof buffer);
    if (n <= 0) return false;
    for (ssize_t done = 0; done < n;) {
      ssize_t put = send(to, buffer + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
      if (put <= 0) return false;
      done += put;
    }
    return true;
  }
  void Run() {
    while (!stop_) {
      if (cut_) {
        for (Pair &pair : pairs_) CloseWithReset(pair);
        pairs_.clear();
        cut_ = false;
      }
      std::vector<pollfd> fds = {{wake_, POLLIN, 0}, {listener_, POLLIN, 0}};
      for (Pair &pair : pairs_) {
        fds.push_back({pair.client, POLLIN, 0});
        fds.push_back({pair.target, static_cast<short>(hold_ ? 0 : POLLIN), 0});
      }
      if (poll(fds.data(), fds.size(), 1000) <= 0) continue;
      if (fds[0].revents != 0) {
        uint64_t value;
        (void)!read(wake_, &value, sizeof value);
      }
      // Only the pairs that were polled have entries in fds: Accept appends
      // new ones after them. fds[2 + 2 * slot] belong to the pair that was
      // at slot when polled; pairs closed below leave their slots behind.
      const size_t polled = pairs_.size();
      if (fds[1].revents != 0) Accept();
      for (size_t i = 0, slot = 0; slot < polled; ++slot) {
        short from_client = fds[2 + 2 * slot].revents;
        short from_target = fds[3 + 2 * slot].revents;
        bool alive = (from_client == 0 || Pump(pairs_[i].client, pairs_[i].target)) &&
                     (from_target == 0 || Pump(pairs_[i].target, pairs_[i].client));
        if (alive) {
          ++i;
          continue;
        }
        CloseWithReset(pairs_[i]);
        pairs_.erase(pairs_.begin() + static_cast<long>(i));
      }
    }
  }

  int target_port_;
  int listener_ = -1;
  int port_ = 0;
  int wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  std::atomic<bool> stop_{false};
  std::atomic<bool> hold_{false};
  std::atomic<bool> cut_{false};
  std::atomic<int> accepted_{0};
  std::vector<Pair> pairs_;  // the relay thread's
  std::thread thread_;
};

}  // namespace clienttest

#endif  // TESTS_CLIENT_TCP_PROXY_H_
