// Real nats-server processes for the tests: one server or a JetStream
// cluster on 127.0.0.1, each with its own configuration and file store in a
// temporary folder and free ports, started and ended (by PID) by the test;
// and a client that reads the stream back message by message.
#ifndef ORVIKEVT_TEST_NATS_HARNESS_H_
#define ORVIKEVT_TEST_NATS_HARNESS_H_

#include <nats/nats.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "daemon_harness.h"
#include "test_files.h"

namespace orvikevt_test {

using namespace std::chrono_literals;
using orvikevtd_test::free_port;
using orvikevtd_test::wait_for;

// A limit scaled by the tests' one time factor (test_target.h); wait_for
// scales its own.
inline std::chrono::milliseconds scaled(std::chrono::milliseconds base) {
  return orvik_test::scaled(base);
}

// One nats-server with JetStream. config_extra goes into its configuration
// file (authorization, tls, cluster).
class NatsServer {
 public:
  NatsServer(std::string dir, std::string name, int port)
      : dir_(std::move(dir)), name_(std::move(name)), port_(port) {}
  ~NatsServer() { Kill(); }
  NatsServer(const NatsServer &) = delete;
  NatsServer &operator=(const NatsServer &) = delete;

  void set_extra(std::string extra) { extra_ = std::move(extra); }
  int port() const { return port_; }
  const std::string &name() const { return name_; }
  std::string url() const { return "nats://127.0.0.1:" + std::to_string(port_); }
  std::string log() const { return orvikevtd_test::read_file(path("log")); }
  pid_t pid() const { return pid_; }

  // Starts the server and waits until its client port answers.
  bool Start() {
    WriteConfig();
    std::string conf = path("conf"), log_file = path("log");
    pid_ = fork();
    if (pid_ == 0) {
      freopen(log_file.c_str(), "a", stdout);
      freopen(log_file.c_str(), "a", stderr);
      execl("/usr/sbin/nats-server", "nats-server", "-c", conf.c_str(),
            static_cast<char *>(nullptr));
      _exit(127);
    }
    bool started = wait_for([this] { return Answers() || !Running(); }, 20s) && Running();
    if (!started) ADD_FAILURE() << name_ << " did not start:\n" << log();
    return started;
  }

  // Gives the running server another config_extra: it reads its
  // configuration again (SIGHUP) and applies it to the clients it has.
  void Reload(std::string extra) {
    extra_ = std::move(extra);
    WriteConfig();
    if (pid_ > 0) kill(pid_, SIGHUP);
  }

  // Ends the server at once (SIGKILL), as a crash would.
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

  bool Running() {
    if (pid_ <= 0) return false;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = 0;
    return pid_ > 0;
  }

 private:
  std::string path(const std::string &name) const { return dir_ + "/" + name_ + "." + name; }

  void WriteConfig() const {
    std::ofstream(path("conf")) << "server_name: " << name_ << "\nlisten: 127.0.0.1:" << port_
                                << "\njetstream { store_dir: \"" << path("store") << "\" }\n"
                                << extra_;
  }

  bool Answers() const {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool answered = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    close(fd);
    return answered;
  }

  std::string dir_;
  std::string name_;
  int port_;
  std::string extra_;
  pid_t pid_ = 0;
};

// Servers in one temporary folder: a single server, or a cluster whose
// members route to each other.
class NatsServers {
 public:
  explicit NatsServers(size_t count, const std::string &extra = "") : folder_("orvik_nats") {
    std::vector<int> routes;
    for (size_t i = 0; i < count; ++i) routes.push_back(free_port());
    for (size_t i = 0; i < count; ++i) {
      // Strings are built by appending: GCC 12 at -O3 takes a literal plus a
      // temporary string for an overlapping copy (-Wrestrict, a false alarm
      // that -Werror turns into a failed release build).
      std::string name = "n";
      name += std::to_string(i + 1);
      auto server = std::make_unique<NatsServer>(folder_.path(), name, free_port());
      std::string config = extra;
      if (count > 1) {
        config += "cluster {\n  name: orvik\n  listen: 127.0.0.1:" + std::to_string(routes[i]) +
                  "\n  routes: [";
        for (size_t j = 0; j < count; ++j) {
          if (j != i) config += "\n    nats-route://127.0.0.1:" + std::to_string(routes[j]);
        }
        config += "\n  ]\n}\n";
      }
      server->set_extra(config);
      servers_.push_back(std::move(server));
    }
  }

  bool StartAll() {
    for (auto &server : servers_) {
      if (!server->Start()) return false;
    }
    return true;
  }

  NatsServer &operator[](size_t i) { return *servers_[i]; }
  size_t size() const { return servers_.size(); }
  const std::string &dir() const { return folder_.path(); }
  std::string file(const std::string &name) const { return folder_.file(name); }

  // Every server's URL, comma-separated.
  std::string urls() const {
    std::string list;
    for (const auto &server : servers_) {
      if (!list.empty()) list += ',';
      list += server->url();
    }
    return list;
  }

  NatsServer *ByName(const std::string &name) {
    for (auto &server : servers_) {
      if (server->name() == name) return server.get();
    }
    return nullptr;
  }

 private:
  orvikevtd_test::TempDir folder_;
  std::vector<std::unique_ptr<NatsServer>> servers_;
};

// One message of the stream as stored.
struct StoredMessage {
  uint64_t sequence = 0;
  std::string id;       // Nats-Msg-Id
  std::string records;  // Orvik-Records
  std::string payload;
};

// The NATS library opened for the whole test program and closed after its
// last test, so that its threads and memory are gone before the program
// ends (a global test environment).
class NatsLibrary : public ::testing::Environment {
 public:
  void SetUp() override { nats_Open(-1); }
  void TearDown() override { nats_CloseAndWait(5000); }
};

// A plain client connection for checking what the stream holds.
class StreamClient {
 public:
  explicit StreamClient(const std::string &urls, natsOptions *options = nullptr) {
    natsOptions *own = options;
    if (own == nullptr) natsOptions_Create(&own);
    std::vector<std::string> list;
    for (size_t start = 0, comma; start <= urls.size(); start = comma + 1) {
      comma = urls.find(',', start);
      if (comma == std::string::npos) comma = urls.size();
      list.push_back(urls.substr(start, comma - start));
    }
    std::vector<const char *> pointers;
    for (const std::string &url : list) pointers.push_back(url.c_str());
    natsOptions_SetServers(own, pointers.data(), static_cast<int>(pointers.size()));
    natsOptions_SetMaxReconnect(own, -1);
    natsOptions_SetReconnectWait(own, 100);
    natsStatus status = natsConnection_Connect(&connection_, own);
    if (status != NATS_OK)
      ADD_FAILURE() << "cannot connect to " << urls << ": " << natsStatus_GetText(status);
    natsOptions_Destroy(own);
    if (connection_ != nullptr) natsConnection_JetStream(&context_, connection_, nullptr);
  }
  ~StreamClient() {
    jsCtx_Destroy(context_);
    natsConnection_Destroy(connection_);
  }
  StreamClient(const StreamClient &) = delete;
  StreamClient &operator=(const StreamClient &) = delete;

  bool connected() const { return context_ != nullptr; }

  // The stream's message count and its leader's name; false when the stream
  // cannot be asked right now.
  bool Info(const std::string &stream, uint64_t *messages, std::string *leader = nullptr) {
    jsStreamInfo *info = nullptr;
    jsOptions options;
    jsOptions_Init(&options);
    options.Wait = 2000;
    if (js_GetStreamInfo(&info, context_, stream.c_str(), &options, nullptr) != NATS_OK) {
      return false;
    }
    *messages = info->State.Msgs;
    if (leader != nullptr) {
      *leader =
          info->Cluster != nullptr && info->Cluster->Leader != nullptr ? info->Cluster->Leader : "";
    }
    jsStreamInfo_Destroy(info);
    return true;
  }

  // A stream of file storage taking one subject.
  bool AddStream(const std::string &stream, const std::string &subject) {
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    const char *subjects[] = {subject.c_str()};
    config.Name = stream.c_str();
    config.Subjects = subjects;
    config.SubjectsLen = 1;
    return js_AddStream(nullptr, context_, &config, nullptr, nullptr) == NATS_OK;
  }

  bool DeleteStream(const std::string &stream) {
    return js_DeleteStream(context_, stream.c_str(), nullptr, nullptr) == NATS_OK;
  }

  // Every message of the stream, in stream order (retrying while the stream
  // has no leader). False when it cannot be read within the time.
  bool ReadAll(const std::string &stream, std::vector<StoredMessage> *messages) {
    messages->clear();
    uint64_t count = 0;
    if (!wait_for([&] { return Info(stream, &count); }, 30s)) return false;
    jsOptions options;
    jsOptions_Init(&options);
    options.Wait = 2000;
    for (uint64_t sequence = 1; messages->size() < count; ++sequence) {
      natsMsg *msg = nullptr;
      natsStatus status = NATS_OK;
      jsErrCode code = static_cast<jsErrCode>(0);
      auto give_up = std::chrono::steady_clock::now() + scaled(30s);
      while ((status = js_GetMsg(&msg, context_, stream.c_str(), sequence, &options, &code)) !=
                 NATS_OK &&
             code != JSNoMessageFoundErr) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        std::this_thread::sleep_for(50ms);
      }
      if (status != NATS_OK) continue;  // a gap: no message with this sequence
      StoredMessage stored;
      stored.sequence = sequence;
      const char *value = nullptr;
      if (natsMsgHeader_Get(msg, "Nats-Msg-Id", &value) == NATS_OK) stored.id = value;
      if (natsMsgHeader_Get(msg, "Orvik-Records", &value) == NATS_OK) stored.records = value;
      stored.payload.assign(natsMsg_GetData(msg), static_cast<size_t>(natsMsg_GetDataLength(msg)));
      natsMsg_Destroy(msg);
      messages->push_back(std::move(stored));
    }
    return true;
  }

 private:
  natsConnection *connection_ = nullptr;
  jsCtx *context_ = nullptr;
};

// The records of stored messages, converted to host order, in stream order.
inline std::vector<EventData> RecordsOf(const std::vector<StoredMessage> &messages) {
  std::vector<EventData> records;
  for (const StoredMessage &message : messages) {
    for (size_t at = 0; at + sizeof(EventData) <= message.payload.size(); at += sizeof(EventData)) {
      EventData record;
      std::memcpy(&record, message.payload.data() + at, sizeof(record));
      eventdata_to_hostorder(&record);
      records.push_back(record);
    }
  }
  return records;
}

}  // namespace orvikevt_test

#endif  // ORVIKEVT_TEST_NATS_HARNESS_H_
