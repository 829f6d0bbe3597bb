// Encoding and decoding a packet of 100,000 mixed elements (16/32/64-bit
// integers, floats, short strings), against msgpack-c packing and unpacking
// the same values; and the caching decoder in its reuse cycle against the
// plain decoder. Prints each rate and the ratios of the stated goals.
#include <benchmark/benchmark.h>
#include <msgpack.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tarnu/ser.h"

namespace {

constexpr int kElements = 100000;

struct Value {
  int kind;  // 0: 16-bit, 1: 32-bit, 2: 64-bit, 3: float, 4: string
  int64_t integer;
  float real;
  std::string text;
};

const std::vector<Value> &Values() {
  static const std::vector<Value> values = [] {
    std::vector<Value> v;
    v.reserve(kElements);
    for (int i = 0; i < kElements; ++i) {
      Value value{i % 5, int64_t{i} * 7919 - 300000, static_cast<float>(i) * 0.37f, {}};
      if (value.kind == 4) value.text = "name-" + std::to_string(i % 1000);
      v.push_back(std::move(value));
    }
    return v;
  }();
  return values;
}

void Check(int status) {
  if (status != 0) {
    std::fprintf(stderr, "serialization call failed: %d\n", status);
    std::abort();
  }
}

// Builds the packet of all values through the public constructors.
SERPacket *BuildPacket() {
  SERPacket *sp = nullptr;
  Check(ser_packet_new(&sp));
  for (const Value &v : Values()) {
    SERElement *se = nullptr;
    switch (v.kind) {
      case 0:
        Check(ser_element_new_int16(&se, static_cast<int16_t>(v.integer)));
        break;
      case 1:
        Check(ser_element_new_int32(&se, static_cast<int32_t>(v.integer)));
        break;
      case 2:
        Check(ser_element_new_int64(&se, v.integer * 1000003));
        break;
      case 3:
        Check(ser_element_new_float(&se, v.real));
        break;
      default:
        Check(ser_element_new_string(&se, v.text.c_str()));
        break;
    }
    Check(ser_packet_append(sp, se));
  }
  return sp;
}

std::vector<uint8_t> Encoded() {
  SERPacket *sp = BuildPacket();
  uint32_t length = 0;
  Check(ser_packet_length(sp, &length));
  std::vector<uint8_t> wire(length);
  int len = static_cast<int>(length);
  Check(ser_packet_serialize(sp, wire.data(), &len));
  Check(ser_packet_free(&sp));
  return wire;
}

void PackAll(msgpack_packer *pk) {
  msgpack_pack_array(pk, kElements);
  for (const Value &v : Values()) {
    switch (v.kind) {
      case 0:
        msgpack_pack_int16(pk, static_cast<int16_t>(v.integer));
        break;
      case 1:
        msgpack_pack_int32(pk, static_cast<int32_t>(v.integer));
        break;
      case 2:
        msgpack_pack_int64(pk, v.integer * 1000003);
        break;
      case 3:
        msgpack_pack_float(pk, v.real);
        break;
      default:
        msgpack_pack_str_with_body(pk, v.text.data(), v.text.size());
        break;
    }
  }
}

void Items(benchmark::State &state) {
  state.SetItemsProcessed(state.iterations() * kElements);
}

// Packet to bytes: the encoder proper.
void BM_SerEncode(benchmark::State &state) {
  SERPacket *sp = BuildPacket();
  std::vector<uint8_t> out(Encoded().size());
  for (auto _ : state) {
    int len = static_cast<int>(out.size());
    Check(ser_packet_serialize(sp, out.data(), &len));
    benchmark::DoNotOptimize(out.data());
  }
  Items(state);
  Check(ser_packet_free(&sp));
}

// Values to bytes: building the packet with the constructors, then encoding.
void BM_SerBuildAndEncode(benchmark::State &state) {
  std::vector<uint8_t> out(Encoded().size());
  for (auto _ : state) {
    SERPacket *sp = BuildPacket();
    int len = static_cast<int>(out.size());
    Check(ser_packet_serialize(sp, out.data(), &len));
    benchmark::DoNotOptimize(out.data());
    Check(ser_packet_free(&sp));
  }
  Items(state);
}

void BM_MsgpackPack(benchmark::State &state) {
  msgpack_sbuffer sbuf;
  msgpack_sbuffer_init(&sbuf);
  msgpack_packer pk;
  msgpack_packer_init(&pk, &sbuf, msgpack_sbuffer_write);
  for (auto _ : state) {
    msgpack_sbuffer_clear(&sbuf);  // keeps the grown buffer, as the encoder's is reused
    PackAll(&pk);
    benchmark::DoNotOptimize(sbuf.data);
  }
  Items(state);
  msgpack_sbuffer_destroy(&sbuf);
}

// The decoders rewrite number fields to host order in place; the packet has
// no arrays, so the same buffer stays decodable and is reused unchanged in
// size and shape from one iteration to the next.
void BM_SerDecodePlain(benchmark::State &state) {
  std::vector<uint8_t> wire = Encoded();
  for (auto _ : state) {
    SERPacket *sp = nullptr;
    Check(ser_packet_deserialize(&sp, wire.data(), static_cast<int>(wire.size())));
    Check(ser_packet_free(&sp));
  }
  Items(state);
}

void BM_SerDecodeReuse(benchmark::State &state) {
  std::vector<uint8_t> wire = Encoded();
  SERPacket *sp = nullptr;
  Check(ser_packet_new(&sp));
  Check(ser_packet_deserialize_c(sp, wire.data(), static_cast<int>(wire.size())));
  for (auto _ : state) {
    Check(ser_packet_clear_c(sp));
    Check(ser_packet_deserialize_c(sp, wire.data(), static_cast<int>(wire.size())));
  }
  Items(state);
  Check(ser_packet_free(&sp));
}

void BM_MsgpackUnpack(benchmark::State &state) {
  msgpack_sbuffer sbuf;
  msgpack_sbuffer_init(&sbuf);
  msgpack_packer pk;
  msgpack_packer_init(&pk, &sbuf, msgpack_sbuffer_write);
  PackAll(&pk);
  msgpack_unpacked result;
  msgpack_unpacked_init(&result);
  for (auto _ : state) {
    size_t offset = 0;
    if (msgpack_unpack_next(&result, sbuf.data, sbuf.size, &offset) != MSGPACK_UNPACK_SUCCESS) {
      std::abort();
    }
    benchmark::DoNotOptimize(result.data.via.array.ptr);
  }
  Items(state);
  msgpack_unpacked_destroy(&result);
  msgpack_sbuffer_destroy(&sbuf);
}

BENCHMARK(BM_SerEncode)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_SerBuildAndEncode)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_MsgpackPack)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_SerDecodePlain)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_SerDecodeReuse)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_MsgpackUnpack)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// Keeps each benchmark's element rate for the ratios printed at the end.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    // The machine is shared, so each benchmark is repeated and its median
    // rate is the one compared.
    for (const Run &run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
      auto it = run.counters.find("items_per_second");
      if (it != run.counters.end()) rates_[run.run_name.function_name] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatio(const char *what, const std::string &a, const std::string &b, double goal) {
    if (rates_.count(a) == 0 || rates_.count(b) == 0) return;
    double ratio = rates_[a] / rates_[b];
    std::printf("%-52s %7.2f  (goal >= %.2f: %s)\n", what, ratio, goal,
                ratio >= goal ? "met" : "NOT met");
  }

  void PrintRates() {
    for (const auto &[name, rate] : rates_) {
      std::printf("%-28s %9.1f million elements/s (median of 5)\n", name.c_str(), rate / 1e6);
    }
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  reporter.PrintRates();
  std::printf("\n");
  reporter.PrintRatio("encode (packet to bytes) / msgpack pack", "BM_SerEncode", "BM_MsgpackPack",
                      0.5);
  reporter.PrintRatio("build + encode (values to bytes) / msgpack pack", "BM_SerBuildAndEncode",
                      "BM_MsgpackPack", 0.5);
  reporter.PrintRatio("reuse-cycle decode / msgpack unpack", "BM_SerDecodeReuse",
                      "BM_MsgpackUnpack", 1.0);
  reporter.PrintRatio("reuse-cycle decode / plain decode", "BM_SerDecodeReuse", "BM_SerDecodePlain",
                      2.0);
  benchmark::Shutdown();
  return 0;
}
