// The end-to-end harness shared by the daemon's tests: test certificates,
// the built orvikevtd in the foreground (-D) with its configuration, log and
// output in a temporary folder on a free port of 127.0.0.1, and a TLS client
// through the comm layer. Programs that use it add Certificates as a global
// test environment and define ORVIKEVTD_BINARY. The daemon runs on the
// build's target (through its emulator on a cross build) and every wait is
// scaled for it (test_target.h); start the tools with
// orvik_test::target_command().
#ifndef ORVIKEVTD_TEST_DAEMON_HARNESS_H_
#define ORVIKEVTD_TEST_DAEMON_HARNESS_H_

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client.h"
#include "test_files.h"
#include "test_target.h"

namespace orvikevtd_test {

using namespace std::chrono_literals;

// Polls until condition holds or timeout (scaled for the target) passes; the
// condition's last value.
inline bool wait_for(const std::function<bool()> &condition,
                     std::chrono::milliseconds timeout = 20s) {
  auto deadline = std::chrono::steady_clock::now() + orvik_test::scaled(timeout);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

inline int run(const std::string &command) {
  return std::system(command.c_str());
}

// A port of 127.0.0.1 that nothing listens on right now.
inline int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// A port of 127.0.0.1 that nothing listens on, below the system's range of
// ephemeral ports: a client that keeps trying a port of that range may, by
// chance, get it as its own source port and connect to itself, which would
// also keep a daemon from binding it later.
inline int quiet_port() {
  int low = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
  static unsigned seed = static_cast<unsigned>(getpid());
  for (int attempt = 0; attempt < 1000; ++attempt) {
    int port = 10000 + static_cast<int>(rand_r(&seed) % static_cast<unsigned>(low - 10000));
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool free = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    if (free) return port;
  }
  return free_port();
}

// Certificates shared by every test: a CA, a server certificate and a
// client certificate it signed, and a self-signed client certificate.
class Certificates : public ::testing::Environment {
 public:
  static inline std::string dir;
  void SetUp() override {
    folder_ = std::make_unique<orvikevtd_test::TempDir>("orvikevtd_certs");
    dir = folder_->path();
    std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    std::string quiet = " >/dev/null 2>&1";
    auto path = [](const char *name) { return dir + "/" + name; };
    ASSERT_EQ(run("openssl req -x509" + ec + "-keyout " + path("ca.key") + " -out " +
                  path("ca.pem") + " -days 2 -subj /CN=orvik-test-ca" + quiet),
              0);
    for (const char *name : {"server", "client"}) {
      std::string key = path(name) + std::string(".key");
      std::string csr = path(name) + std::string(".csr");
      std::string pem = path(name) + std::string(".pem");
      std::string ext = path(name) + std::string(".ext");
      std::ofstream(ext) << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
      ASSERT_EQ(run("openssl req -new" + ec + "-keyout " + key + " -out " + csr +
                    " -subj /CN=" + name + quiet),
                0);
      ASSERT_EQ(
          run("openssl x509 -req -in " + csr + " -CA " + path("ca.pem") + " -CAkey " +
              path("ca.key") + " -CAcreateserial -days 2 -extfile " + ext + " -out " + pem + quiet),
          0);
    }
    ASSERT_EQ(run("openssl req -x509" + ec + "-keyout " + path("stranger.key") + " -out " +
                  path("stranger.pem") + " -days 2 -subj /CN=stranger" + quiet),
              0);
    // An RSA server certificate, for the ECDHE-RSA and static RSA suites.
    ASSERT_EQ(run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + path("rsa-server.key") +
                  " -out " + path("rsa-server.pem") +
                  " -days 2 -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1" + quiet),
              0);
  }
  void TearDown() override { folder_.reset(); }

 private:
  std::unique_ptr<orvikevtd_test::TempDir> folder_;
};

inline std::string cert(const char *name) {
  return Certificates::dir + "/" + name;
}

// One daemon process in the foreground, with its own folder.
class Daemon {
 public:
  Daemon() : dir_("orvikevtd_e2e"), port_(free_port()) {}
  ~Daemon() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  std::string file(const std::string &name) const { return dir_.file(name); }
  int port() const { return port_; }
  // The daemon's process (the emulator's on a cross build); 0 once it ended.
  pid_t pid() const { return pid_; }
  // An environment variable for the daemon process only.
  void set_env(const std::string &name, const std::string &value) {
    environment_.emplace_back(name, value);
  }
  void set_port(int port) { port_ = port; }
  // Words that start the daemon (a program of ours and its arguments, the
  // daemon's path and arguments appended).
  void set_launcher(std::vector<std::string> words) { launcher_ = std::move(words); }

  // Keys, port and prompt log flushing, then extra lines.
  std::string standard_config(const std::string &extra = "") const {
    return "PUBLICKEY " + cert("server.pem") + "\nPRIVATEKEY " + cert("server.key") +
           "\nEVENTPORT " + std::to_string(port_) + "\nFLUSHLOG yes\n" + extra;
  }
  void write_config(const std::string &text) { std::ofstream(file("conf")) << text; }

#ifdef RECORDER_A
  // Where the recorder modules of start_with_recorder write.
  std::string records_file() const {
    return file("records");
  }
  // Starts with the standard configuration, extra lines and the recorder
  // module A (with ",delay_us" when given).
  bool start_with_recorder(const std::string &extra, const std::string &delay = "") {
    return start(
        standard_config(extra + "MODULE " + RECORDER_A + " " + records_file() + delay + "\n"));
  }
#endif

  // Starts orvikevtd -D -f conf -l log plus args; stdout and stderr go to
  // files of the folder.
  void spawn(const std::vector<std::string> &extra_args = {}, bool standard_args = true) {
    std::vector<std::string> args = launcher_;
    args.push_back(ORVIKEVTD_BINARY);
    if (standard_args) args.insert(args.end(), {"-D", "-f", file("conf"), "-l", file("log")});
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    args = orvik_test::target_argv(args);
    std::string out = file("stdout"), err = file("stderr");
    pid_ = fork();
    if (pid_ == 0) {
      freopen(out.c_str(), "w", stdout);
      freopen(err.c_str(), "w", stderr);
      for (const auto &[name, value] : environment_) setenv(name.c_str(), value.c_str(), 1);
      std::vector<char *> argv;
      for (std::string &arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
  }

  // Starts and waits for "System ready."; false if it exited or timed out.
  // The pid is that of the emulator on a cross build: it passes signals on
  // and exits with the daemon's status.
  bool start(const std::string &config) {
    write_config(config);
    spawn();
    return wait_for(
               [this] { return log().find("System ready.\n") != std::string::npos || exited(); }) &&
           !exited();
  }

  bool exited() {
    if (pid_ <= 0) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = 0;
      status_ = status;
      return true;
    }
    return false;
  }

  // The exit status, waiting at most timeout; -1 if it did not end.
  int wait_exit(std::chrono::milliseconds timeout = 10s) {
    if (!wait_for([this] { return exited(); }, timeout)) return -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }

  void signal(int sig) {
    kill(pid_, sig);
  }
  std::string log() const {
    return read_file(file("log"));
  }
  std::vector<std::string> messages() const {
    return messages_of(log());
  }
  std::string out() const {
    return read_file(file("stdout"));
  }
  std::string err() const {
    return read_file(file("stderr"));
  }
  long peak_memory_kb() const {
    std::string status = read_file("/proc/" + std::to_string(pid_) + "/status");
    std::smatch match;
    if (!std::regex_search(status, match, std::regex(R"(VmHWM:\s+(\d+) kB)"))) return -1;
    return std::stol(match[1]);
  }

 private:
  orvikevtd_test::TempDir dir_;
  std::vector<std::pair<std::string, std::string>> environment_;
  std::vector<std::string> launcher_;
  int port_ = 0;
  pid_t pid_ = 0;
  int status_ = 0;
};

// A TLS client through the comm layer.
class Client {
 public:
  explicit Client(int port, bool with_certificate = false) {
    options_.port = port;
    options_.ca_file = cert("ca.pem");
    if (with_certificate) {
      options_.cert_file = cert("client.pem");
      options_.key_file = cert("client.key");
    }
  }
  Client(int port, const std::string &cert_file, const std::string &key_file) : Client(port) {
    options_.cert_file = cert_file;
    options_.key_file = key_file;
  }
  ~Client() { close(); }

  bool connect() {
    return transport_.Load("test", options_) == 0 &&
           transport_.Connect("test", options_, &channel_) == 0;
  }
  bool write(const void *bytes, size_t size) {
    return orvikevt::WriteAll("test", channel_, static_cast<const char *>(bytes), size) == 0;
  }
  bool send(const std::vector<EventData> &records) {
    return write(records.data(), records.size() * sizeof(EventData));
  }
  // Closes with the TLS goodbye.
  void close() { orvikevt::Disconnect(&channel_); }
  // Drops the connection without a goodbye.
  void vanish() {
    if (channel_ != nullptr) comm_close(&channel_, 0);
  }

 private:
  orvikevt::ConnectionOptions options_;
  orvikevt::Transport transport_;
  CommChannel *channel_ = nullptr;
};

inline EventData record(const std::string &host, const std::string &object, uint64_t timestamp,
                        const std::string &data = "payload") {
  orvikevt::EventFields fields;
  fields.host = host;
  fields.object = object;
  fields.timestamp = timestamp;
  fields.flags = 0x01020304;
  fields.rc = 0x0a0b0c0d;
  fields.data = data;
  EventData built;
  orvikevt::BuildRecord(fields, &built);
  return built;
}

inline std::vector<EventData> records(const std::string &host, const std::string &object,
                                      uint64_t from, uint64_t count) {
  std::vector<EventData> result;
  for (uint64_t i = from; i < from + count; ++i) result.push_back(record(host, object, i));
  return result;
}

}  // namespace orvikevtd_test

#endif  // ORVIKEVTD_TEST_DAEMON_HARNESS_H_
