// Base64, CRC-32 and URL figures, with the peers measured in the same run:
// OpenSSL's EVP_EncodeBlock/EVP_DecodeBlock and zlib's crc32 (a reflected
// CRC with another polynomial layout, the same amount of work per byte).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tarnu/globals.h"
#include "tarnu/url.h"
#include "text_paths.h"

namespace {

using tarnu::detail::CodePath;

constexpr std::size_t kMiB = 1 << 20;

const std::vector<unsigned char> &Data() {
  static const std::vector<unsigned char> data = [] {
    std::vector<unsigned char> bytes(kMiB);
    std::mt19937 random(42);
    for (auto &b : bytes) b = static_cast<unsigned char>(random());
    return bytes;
  }();
  return data;
}

// The data as library text (72-character lines) and as OpenSSL's unbroken text.
const std::string &LibraryText() {
  static const std::string text = [] {
    char *out = nullptr;
    int length = 0;
    base64_encode(Data().data(), static_cast<int>(Data().size()), &out, &length);
    std::string result(out, static_cast<std::size_t>(length));
    std::free(out);
    return result;
  }();
  return text;
}

const std::string &OpensslText() {
  static const std::string text = [] {
    std::string out(Data().size() / 3 * 4 + 8, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), Data().data(),
                                       static_cast<int>(Data().size()));
    out.resize(static_cast<std::size_t>(length));
    return out;
  }();
  return text;
}

void Base64Encode(benchmark::State &state, CodePath path) {
  for (auto _ : state) {
    char *out = nullptr;
    int length = 0;
    tarnu::detail::Base64Encode(path, Data().data(), static_cast<int>(Data().size()), &out,
                                &length);
    benchmark::DoNotOptimize(out);
    std::free(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Data().size()));
}

void OpensslEncode(benchmark::State &state) {
  // Allocated per call as well, like the library's result.
  for (auto _ : state) {
    auto *out = static_cast<unsigned char *>(std::malloc(Data().size() / 3 * 4 + 8));
    benchmark::DoNotOptimize(EVP_EncodeBlock(out, Data().data(), static_cast<int>(Data().size())));
    std::free(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Data().size()));
}

void Base64Decode(benchmark::State &state, CodePath path) {
  const std::string &text = LibraryText();
  for (auto _ : state) {
    unsigned char *out = nullptr;
    int length = 0;
    tarnu::detail::Base64Decode(path, text.data(), static_cast<int>(text.size()), &out, &length);
    benchmark::DoNotOptimize(out);
    std::free(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Data().size()));
}

void OpensslDecode(benchmark::State &state) {
  const std::string &text = OpensslText();
  for (auto _ : state) {
    auto *out = static_cast<unsigned char *>(std::malloc(text.size() / 4 * 3 + 8));
    benchmark::DoNotOptimize(EVP_DecodeBlock(
        out, reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size())));
    std::free(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Data().size()));
}

void CrcBuffer(benchmark::State &state) {
  for (auto _ : state) {
    uint32_t crc = 0;
    crc32_buffer(&crc, Data().data(), static_cast<unsigned>(Data().size()));
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Data().size()));
}

void CrcPortable(benchmark::State &state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(tarnu::detail::Crc32(CodePath::kPortable, Data()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Data().size()));
}

void CrcBitwise(benchmark::State &state) {
  for (auto _ : state) {
    uint32_t crc = 0xFFFFFFFF;
    for (unsigned char byte : Data()) crc32_byte(&crc, byte);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Data().size()));
}

void ZlibCrc(benchmark::State &state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(crc32(0, Data().data(), static_cast<uInt>(Data().size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Data().size()));
}

void UrlParseConstruct(benchmark::State &state) {
  char text[] = "https://www.example.org:8443/search/results?q=text&lang=en&page=2&sort=asc";
  for (auto _ : state) {
    Url *url = nullptr;
    url_new_parse(&url, text);
    char *out = nullptr;
    url_construct(url, &out);
    benchmark::DoNotOptimize(out);
    std::free(out);
    url_free(&url);
  }
}

BENCHMARK_CAPTURE(Base64Encode, tarnu, CodePath::kBest)->Name("base64_encode/tarnu");
BENCHMARK_CAPTURE(Base64Encode, portable, CodePath::kPortable)
    ->Name("base64_encode/tarnu_portable");
BENCHMARK(OpensslEncode)->Name("base64_encode/openssl");
BENCHMARK_CAPTURE(Base64Decode, tarnu, CodePath::kBest)->Name("base64_decode/tarnu");
BENCHMARK_CAPTURE(Base64Decode, portable, CodePath::kPortable)
    ->Name("base64_decode/tarnu_portable");
BENCHMARK(OpensslDecode)->Name("base64_decode/openssl");
BENCHMARK(CrcBuffer)->Name("crc32/tarnu");
BENCHMARK(CrcPortable)->Name("crc32/tarnu_portable");
BENCHMARK(CrcBitwise)->Name("crc32/bitwise");
BENCHMARK(ZlibCrc)->Name("crc32/zlib");
BENCHMARK(UrlParseConstruct)->Name("url/parse_construct");

// Keeps the CPU time per iteration of every benchmark for the ratios (CPU
// time, because the machine is shared and wall time swings with its load).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.run_type == Run::RT_Iteration) {
        seconds_[run.benchmark_name()] =
            run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintSummary() const {
    std::printf("\nThroughput over 1 MiB (GB/s) and ratios, this run:\n");
    Throughput("base64_encode/tarnu", "base64_encode/openssl");
    Throughput("base64_encode/tarnu_portable", "base64_encode/openssl");
    Throughput("base64_decode/tarnu", "base64_decode/openssl");
    Throughput("base64_decode/tarnu_portable", "base64_decode/openssl");
    Throughput("crc32/tarnu", "crc32/zlib");
    Throughput("crc32/tarnu", "crc32/bitwise");
    Throughput("crc32/tarnu_portable", "crc32/zlib");
    Throughput("crc32/tarnu_portable", "crc32/bitwise");
    if (auto it = seconds_.find("url/parse_construct"); it != seconds_.end()) {
      std::printf("  url parse + construct: %.0f ns per URL\n", it->second * 1e9);
    }
  }

 private:
  void Throughput(const std::string &ours, const std::string &peer) const {
    const auto a = seconds_.find(ours), b = seconds_.find(peer);
    if (a == seconds_.end() || b == seconds_.end()) return;
    const double gb = static_cast<double>(kMiB) / 1e9;
    std::printf("  %-30s %7.2f GB/s  vs %-22s %7.2f GB/s  ratio %.2fx\n", ours.c_str(),
                gb / a->second, peer.c_str(), gb / b->second, b->second / a->second);
  }

  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintSummary();
  benchmark::Shutdown();
  return 0;
}
