// Records per second through libcomm's comm_openssl transport into a
// counting callback that reads one 408-byte record per call (as the daemon
// does), against a bare OpenSSL sink (blocking SSL_read of 64 KiB chunks
// into a counter) receiving the same stream from the same client in the
// same run. Prints both rates and their ratio.
#include <benchmark/benchmark.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "comm/comm.h"
#include "comm_bare_sink.h"

namespace {

constexpr int kRecordSize = 408;
constexpr int kRecordsPerWrite = 40;
constexpr int64_t kRecordsPerRun = 1000000;

struct Identity {
  std::string dir, cert, key;
};

// A self-signed EC certificate for 127.0.0.1, written to a temporary
// directory that is removed at exit.
const Identity &BenchIdentity() {
  static Identity identity = [] {
    Identity id;
    char templ[] = "/tmp/bench_comm_XXXXXX";
    if (mkdtemp(templ) == nullptr) std::abort();
    id.dir = templ;
    id.cert = id.dir + "/cert.pem";
    id.key = id.dir + "/key.pem";
    EVP_PKEY *pkey = EVP_EC_gen("prime256v1");
    X509 *x509 = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 1);
    X509_gmtime_adj(X509_getm_notBefore(x509), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509), 86400);
    X509_set_pubkey(x509, pkey);
    X509_NAME *name = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(x509, name);
    X509_sign(x509, pkey, EVP_sha256());
    FILE *f = std::fopen(id.cert.c_str(), "w");
    PEM_write_X509(f, x509);
    std::fclose(f);
    f = std::fopen(id.key.c_str(), "w");
    PEM_write_PrivateKey(f, pkey, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
    X509_free(x509);
    EVP_PKEY_free(pkey);
    // The path outlives the static string, which is destroyed first.
    static char dir[sizeof templ];
    std::memcpy(dir, templ, sizeof templ);
    std::atexit([] {
      std::string command = std::string("rm -rf '") + dir + "'";
      if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cleanup failed\n");
    });
    return id;
  }();
  return identity;
}

CommModule *LoadModule(bool server) {
  Attribute *options = nullptr;
  if (server) {
    options = attribute_add(options, const_cast<char *>("SSLCertificateFile"),
                            const_cast<char *>(BenchIdentity().cert.c_str()));
    options = attribute_add(options, const_cast<char *>("SSLPrivateKeyFile"),
                            const_cast<char *>(BenchIdentity().key.c_str()));
  } else {
    options = attribute_add(options, const_cast<char *>("SSLVerifyPeer"), const_cast<char *>("0"));
  }
  CommModule *module = nullptr;
  if (comm_plugin_load(&module, "comm_openssl", options) != 0) std::abort();
  attribute_freeall(&options);
  return module;
}

// The sending side, the same for both sinks: kRecordsPerRun records, 40 per
// TLS write.
void SendRecords(int port) {
  CommModule *module = LoadModule(false);
  CommChannel *channel = nullptr;
  if (comm_connect(module, &channel, "127.0.0.1", port, 10000) != 0) std::abort();
  std::vector<char> batch(static_cast<size_t>(kRecordSize) * kRecordsPerWrite);
  for (size_t i = 0; i < batch.size(); ++i) batch[i] = static_cast<char>(i * 31);
  for (int64_t sent = 0; sent < kRecordsPerRun; sent += kRecordsPerWrite) {
    int len = static_cast<int>(batch.size());
    if (comm_write(channel, batch.data(), &len) != 0) std::abort();
  }
  comm_shutdown(channel);
  comm_close(&channel, 0);
  comm_plugin_unload(&module);
}

// ---- libcomm sink ----

struct CommSink {
  CommGroup *group = nullptr;
  CommChannel *listener = nullptr;
  int64_t records = 0;
  int len = 0;
  char buffer[4096];
  std::atomic<bool> done{false};
};
CommSink *g_sink = nullptr;

int CountingCallback(CommChannel *cc, int iotype, void *) {
  CommSink *sink = g_sink;
  if (cc == sink->listener) {
    CommChannel *accepted = nullptr;
    int rc = comm_accept(cc, &accepted, 0);
    if (rc == 0 || rc == 2 || rc == 3) comm_group_add(sink->group, accepted, sink, 1);
    return rc;
  }
  if (iotype == COMM_IO_WRITE) comm_set_ioneeds(cc, COMM_NEED_DEFAULT);
  int flags = 0;
  comm_get_flags(cc, &flags);
  if ((flags & COMM_FLAG_ACCEPT_PENDING) != 0) return comm_accept_continue(cc);
  int want = kRecordSize - sink->len;
  int rc = comm_read(cc, sink->buffer + sink->len, &want);
  if (rc == 0) {
    sink->len += want;
    if (sink->len == kRecordSize) {
      sink->len = 0;
      if (++sink->records == kRecordsPerRun) {
        sink->done = true;
        comm_group_stop(sink->group);
      }
    }
    return 0;
  }
  if (rc == 3) comm_set_ioneeds(cc, COMM_NEED_WRITE);
  if (rc == 2 || rc == 3 || rc == 11) return 0;
  comm_group_remove(sink->group, cc);
  comm_close(&cc, 0);
  if (!sink->done) comm_group_stop(sink->group);
  return rc;
}

double g_comm_rate = 0;
double g_bare_rate = 0;

void BM_CommTransport(benchmark::State &state) {
  CommModule *module = LoadModule(true);
  for (auto _ : state) {
    CommSink sink;
    g_sink = &sink;
    comm_group_new(&sink.group, CountingCallback);
    if (comm_bind(module, &sink.listener, "127.0.0.1", 0) != 0) std::abort();
    int port = 0;
    comm_get_port(sink.listener, &port);
    comm_group_add(sink.group, sink.listener, nullptr, 1);
    auto start = std::chrono::steady_clock::now();
    std::thread sender(SendRecords, port);
    comm_group_loop(sink.group);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sender.join();
    state.SetIterationTime(seconds);
    if (sink.records != kRecordsPerRun) state.SkipWithError("records lost");
    comm_group_remove(sink.group, sink.listener);
    comm_close(&sink.listener, 0);
    comm_group_free(&sink.group);
  }
  comm_plugin_unload(&module);
  state.counters["records/s"] = benchmark::Counter(
      static_cast<double>(kRecordsPerRun) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}

void BM_BareOpensslSink(benchmark::State &state) {
  for (auto _ : state) {
    BareSink sink(BenchIdentity().cert, BenchIdentity().key,
                  static_cast<int64_t>(kRecordsPerRun) * kRecordSize);
    auto start = std::chrono::steady_clock::now();
    std::thread sender(SendRecords, sink.port());
    int64_t received = sink.Run();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sender.join();
    state.SetIterationTime(seconds);
    if (received != static_cast<int64_t>(kRecordsPerRun) * kRecordSize) {
      state.SkipWithError("bytes lost");
    }
  }
  state.counters["records/s"] = benchmark::Counter(
      static_cast<double>(kRecordsPerRun) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}

BENCHMARK(BM_BareOpensslSink)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CommTransport)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's records/s for the closing ratio.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      auto it = run.counters.find("records/s");
      if (it == run.counters.end()) continue;
      double rate = it->second.value;  // already divided by the measured time
      if (run.benchmark_name().find("CommTransport") != std::string::npos) g_comm_rate = rate;
      if (run.benchmark_name().find("BareOpenssl") != std::string::npos) g_bare_rate = rate;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (g_comm_rate > 0 && g_bare_rate > 0) {
    std::printf("comm_openssl: %.0f records/s; bare OpenSSL sink: %.0f records/s; ratio %.2f\n",
                g_comm_rate, g_bare_rate, g_comm_rate / g_bare_rate);
  }
  benchmark::Shutdown();
  return 0;
}
