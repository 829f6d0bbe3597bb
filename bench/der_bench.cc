// Encode and decode of one document - a SEQUENCE of 1,000 INTEGERs and 1,000
// short OCTET STRINGs, interleaved - with libtarnu's DER codec, OpenSSL's
// i2d/d2i_ASN1_SEQUENCE_ANY, libtasn1 (SEQUENCE OF CHOICE { INTEGER, OCTET
// STRING }) and a bare loop that writes or walks the same octets (the floor).
// Each encode makes the output buffer and releases it; each decode builds the
// library's tree and releases it. The ratios are printed after the figures.
#include <benchmark/benchmark.h>
// libtasn1's old compatibility names (ASN1_TYPE among them) clash with OpenSSL's.
#define ASN1_DISABLE_DEPRECATED 1
#include <libtasn1.h>
#include <openssl/asn1.h>
#include <openssl/asn1t.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tarnu/der.h"

namespace {

constexpr int kItems = 1000;

void Require(bool condition, const char *what) {
  if (condition) return;
  std::fprintf(stderr, "bench_der: %s\n", what);
  std::exit(1);
}

// The values of the document: INTEGERs of 1, 2 and 4 content octets, and
// strings of 6 to 9 octets.
struct Values {
  std::vector<int> numbers;
  std::vector<std::string> texts;
  Values() {
    for (int i = 0; i < kItems; ++i) {
      int kind = i % 3;
      numbers.push_back(kind == 0 ? i % 100 : kind == 1 ? -i * 31 : i * 100003);
      texts.push_back("item-" + std::to_string(i));
    }
  }
};

const Values &TheValues() {
  static const Values values;
  return values;
}

// ---- libtarnu --------------------------------------------------------------

DERIdentifier *TarnuDocument() {
  DERIdentifier *seq = nullptr;
  Require(der_identifier_new_sequence(&seq) == 0, "sequence");
  for (int i = 0; i < kItems; ++i) {
    DERIdentifier *number = nullptr, *text = nullptr;
    const std::string &s = TheValues().texts[i];
    Require(der_identifier_new_integer(&number, TheValues().numbers[i]) == 0 &&
                der_identifier_child_append(seq, number) == 0,
            "integer");
    Require(der_identifier_new_string(&text, const_cast<char *>(s.data()),
                                      static_cast<int>(s.size())) == 0 &&
                der_identifier_child_append(seq, text) == 0,
            "string");
  }
  return seq;
}

std::vector<uint8_t> TarnuOctets(DERIdentifier *doc) {
  char *data = nullptr;
  int size = 0;
  Require(der_identifier_encode(doc, &data, &size) == 0, "encode");
  std::vector<uint8_t> out(data, data + size);
  std::free(data);
  return out;
}

void BM_Encode_Tarnu(benchmark::State &state) {
  DERIdentifier *doc = TarnuDocument();
  for (auto _ : state) {
    char *data = nullptr;
    int size = 0;
    if (der_identifier_encode(doc, &data, &size) != 0) state.SkipWithError("encode");
    benchmark::DoNotOptimize(data);
    std::free(data);
  }
  der_identifier_chain_free(&doc);
}

void BM_Decode_Tarnu(benchmark::State &state) {
  DERIdentifier *doc = TarnuDocument();
  std::vector<uint8_t> octets = TarnuOctets(doc);
  der_identifier_chain_free(&doc);
  for (auto _ : state) {
    DERIdentifier *tree = nullptr;
    if (der_identifier_decode(&tree, reinterpret_cast<char *>(octets.data()),
                              static_cast<int>(octets.size())) != 0) {
      state.SkipWithError("decode");
    }
    benchmark::DoNotOptimize(tree);
    der_identifier_chain_free(&tree);
  }
}

// ---- the floor: the same octets, written and walked by bare loops ------------

// INTEGER content length as libtarnu chooses it.
size_t IntegerOctets(int value) {
  if (value >= -126 && value <= 127) return 1;
  if (value >= -32766 && value <= 32767) return 2;
  return 4;
}

size_t FloorSize() {
  size_t content = 0;
  for (int i = 0; i < kItems; ++i) {
    content += 2 + IntegerOctets(TheValues().numbers[i]) + 2 + TheValues().texts[i].size();
  }
  return content + 4;  // the SEQUENCE's 0x82 header
}

uint8_t *FloorEncode(size_t size) {
  auto *out = static_cast<uint8_t *>(std::malloc(size));
  uint8_t *p = out;
  size_t content = size - 4;
  *p++ = 0x10;
  *p++ = 0x82;
  *p++ = static_cast<uint8_t>(content >> 8);
  *p++ = static_cast<uint8_t>(content);
  const int *numbers = TheValues().numbers.data();
  const std::string *texts = TheValues().texts.data();
  for (int i = 0; i < kItems; ++i) {
    auto value = static_cast<uint32_t>(numbers[i]);
    size_t n = IntegerOctets(numbers[i]);
    *p++ = 0x02;
    *p++ = static_cast<uint8_t>(n);
    for (size_t k = n; k-- > 0;) *p++ = static_cast<uint8_t>(value >> (8 * k));
    *p++ = 0x04;
    *p++ = static_cast<uint8_t>(texts[i].size());
    std::memcpy(p, texts[i].data(), texts[i].size());
    p += texts[i].size();
  }
  return out;
}

void BM_Encode_Floor(benchmark::State &state) {
  size_t size = FloorSize();
  for (auto _ : state) {
    uint8_t *out = FloorEncode(size);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
    std::free(out);
  }
}

// Walks the document, reading every INTEGER and the bounds of every string.
int64_t FloorWalk(const uint8_t *p, size_t size) {
  const uint8_t *end = p + size;
  p += 4;
  int64_t sum = 0;
  while (p < end) {
    uint8_t tag = p[0];
    size_t length = p[1];
    p += 2;
    if (tag == 0x02) {
      int32_t value = static_cast<int8_t>(p[0]);
      for (size_t k = 1; k < length; ++k) value = static_cast<int32_t>((value << 8) | p[k]);
      sum += value;
    } else {
      sum += static_cast<int64_t>(length) + p[0];
    }
    p += length;
  }
  return sum;
}

void BM_Decode_Floor(benchmark::State &state) {
  size_t size = FloorSize();
  uint8_t *octets = FloorEncode(size);
  for (auto _ : state) benchmark::DoNotOptimize(FloorWalk(octets, size));
  std::free(octets);
}

// ---- OpenSSL ----------------------------------------------------------------

ASN1_SEQUENCE_ANY *OpenSslDocument() {
  ASN1_SEQUENCE_ANY *seq = sk_ASN1_TYPE_new_null();
  for (int i = 0; i < kItems; ++i) {
    ASN1_INTEGER *number = ASN1_INTEGER_new();
    ASN1_INTEGER_set(number, TheValues().numbers[i]);
    ASN1_TYPE *item = ASN1_TYPE_new();
    ASN1_TYPE_set(item, V_ASN1_INTEGER, number);
    sk_ASN1_TYPE_push(seq, item);
    const std::string &s = TheValues().texts[i];
    ASN1_OCTET_STRING *text = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(text, reinterpret_cast<const unsigned char *>(s.data()),
                          static_cast<int>(s.size()));
    item = ASN1_TYPE_new();
    ASN1_TYPE_set(item, V_ASN1_OCTET_STRING, text);
    sk_ASN1_TYPE_push(seq, item);
  }
  return seq;
}

void BM_Encode_OpenSSL(benchmark::State &state) {
  ASN1_SEQUENCE_ANY *seq = OpenSslDocument();
  for (auto _ : state) {
    unsigned char *out = nullptr;
    if (i2d_ASN1_SEQUENCE_ANY(seq, &out) <= 0) state.SkipWithError("i2d");
    benchmark::DoNotOptimize(out);
    OPENSSL_free(out);
  }
  sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
}

void BM_Decode_OpenSSL(benchmark::State &state) {
  ASN1_SEQUENCE_ANY *seq = OpenSslDocument();
  unsigned char *der = nullptr;
  int size = i2d_ASN1_SEQUENCE_ANY(seq, &der);
  sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
  for (auto _ : state) {
    const unsigned char *p = der;
    ASN1_SEQUENCE_ANY *back = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, size);
    if (back == nullptr) state.SkipWithError("d2i");
    benchmark::DoNotOptimize(back);
    sk_ASN1_TYPE_pop_free(back, ASN1_TYPE_free);
  }
  OPENSSL_free(der);
}

// ---- libtasn1 -------------------------------------------------------------

asn1_node TasnDefinitions() {
  static asn1_node definitions = [] {
    asn1_node defs = nullptr;
    char error[ASN1_MAX_ERROR_DESCRIPTION_SIZE];
    Require(asn1_parser2tree(DER_BENCH_ASN1_FILE, &defs, error) == ASN1_SUCCESS, error);
    return defs;
  }();
  return definitions;
}

asn1_node TasnDocument() {
  asn1_node doc = nullptr;
  Require(asn1_create_element(TasnDefinitions(), "DerBench.Document", &doc) == ASN1_SUCCESS,
          "asn1_create_element");
  for (int i = 0; i < kItems; ++i) {
    auto value = static_cast<uint32_t>(TheValues().numbers[i]);
    size_t n = IntegerOctets(TheValues().numbers[i]);
    unsigned char be[4];
    for (size_t k = 0; k < n; ++k) be[k] = static_cast<unsigned char>(value >> (8 * (n - 1 - k)));
    const std::string &s = TheValues().texts[i];
    bool ok =
        asn1_write_value(doc, "", "NEW", 1) == ASN1_SUCCESS &&
        asn1_write_value(doc, "?LAST", "number", 1) == ASN1_SUCCESS &&
        asn1_write_value(doc, "?LAST.number", be, static_cast<int>(n)) == ASN1_SUCCESS &&
        asn1_write_value(doc, "", "NEW", 1) == ASN1_SUCCESS &&
        asn1_write_value(doc, "?LAST", "text", 1) == ASN1_SUCCESS &&
        asn1_write_value(doc, "?LAST.text", s.data(), static_cast<int>(s.size())) == ASN1_SUCCESS;
    Require(ok, "asn1_write_value");
  }
  return doc;
}

std::vector<uint8_t> TasnOctets(asn1_node doc) {
  int size = 0;
  char error[ASN1_MAX_ERROR_DESCRIPTION_SIZE];
  asn1_der_coding(doc, "", nullptr, &size, error);
  std::vector<uint8_t> out(static_cast<size_t>(size));
  Require(asn1_der_coding(doc, "", out.data(), &size, error) == ASN1_SUCCESS, error);
  out.resize(static_cast<size_t>(size));
  return out;
}

void BM_Encode_Tasn1(benchmark::State &state) {
  asn1_node doc = TasnDocument();
  char error[ASN1_MAX_ERROR_DESCRIPTION_SIZE];
  for (auto _ : state) {
    // Sizing pass and writing pass, as a caller without a size bound does.
    int size = 0;
    asn1_der_coding(doc, "", nullptr, &size, error);
    auto *out = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(size)));
    if (asn1_der_coding(doc, "", out, &size, error) != ASN1_SUCCESS) state.SkipWithError(error);
    benchmark::DoNotOptimize(out);
    std::free(out);
  }
  asn1_delete_structure(&doc);
}

void BM_Decode_Tasn1(benchmark::State &state) {
  asn1_node doc = TasnDocument();
  std::vector<uint8_t> octets = TasnOctets(doc);
  asn1_delete_structure(&doc);
  char error[ASN1_MAX_ERROR_DESCRIPTION_SIZE];
  for (auto _ : state) {
    asn1_node back = nullptr;
    asn1_create_element(TasnDefinitions(), "DerBench.Document", &back);
    if (asn1_der_decoding(&back, octets.data(), static_cast<int>(octets.size()), error) !=
        ASN1_SUCCESS) {
      state.SkipWithError(error);
    }
    benchmark::DoNotOptimize(back);
    asn1_delete_structure(&back);
  }
}

BENCHMARK(BM_Encode_Tarnu)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Encode_OpenSSL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Encode_Tasn1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Encode_Floor)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Decode_Tarnu)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Decode_OpenSSL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Decode_Tasn1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Decode_Floor)->Unit(benchmark::kMicrosecond);

// Remembers the CPU time per iteration of every benchmark for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    // With repetitions the median stands for the benchmark.
    for (const Run &run : runs) {
      bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Iteration || median) {
        times_[run.run_name.function_name] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    // CPU time: the wall clock of a shared machine mostly measures the others.
    std::printf("\nRatios of CPU time (first / second):\n");
    const char *pairs[][2] = {
        {"BM_Encode_OpenSSL", "BM_Encode_Tarnu"}, {"BM_Encode_Tasn1", "BM_Encode_Tarnu"},
        {"BM_Encode_Tarnu", "BM_Encode_Floor"},   {"BM_Decode_OpenSSL", "BM_Decode_Tarnu"},
        {"BM_Decode_Tasn1", "BM_Decode_Tarnu"},   {"BM_Decode_Tarnu", "BM_Decode_Floor"}};
    for (const auto &pair : pairs) {
      auto a = times_.find(pair[0]), b = times_.find(pair[1]);
      if (a == times_.end() || b == times_.end() || b->second <= 0) continue;
      std::printf("  %-18s / %-16s = %7.2f\n", pair[0] + 3, pair[1] + 3, a->second / b->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

// The floor must write exactly what libtarnu writes, or it measures nothing.
void CheckFloorMatchesTarnu() {
  DERIdentifier *doc = TarnuDocument();
  std::vector<uint8_t> tarnu = TarnuOctets(doc);
  der_identifier_chain_free(&doc);
  size_t size = FloorSize();
  uint8_t *floor = FloorEncode(size);
  Require(tarnu.size() == size && std::memcmp(tarnu.data(), floor, size) == 0,
          "the floor writes other octets than libtarnu");
  std::free(floor);
}

}  // namespace

int main(int argc, char **argv) {
  CheckFloorMatchesTarnu();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
