// Containers against their standard peers, measured in the same run:
//  - AVL tree insert and find of 1,000,000 random ints vs std::set<int>;
//  - ring queue enqueue+dequeue of 408-byte records vs memcpy of the same bytes.
// Each benchmark reports "per_op" (time per element operation); the summary at
// the end prints ns/op and the ratios.
#include <benchmark/benchmark.h>
#include <tarnu/avltree.h>
#include <tarnu/squeue.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kElements = 1000000;
constexpr unsigned long kRecordBytes = 408;
constexpr unsigned long kQueueRecords = 1000;

// The inserted ints in insertion order, and the same values in another random
// order for the lookups.
struct Keys {
  std::vector<int> inserted;
  std::vector<int> looked_up;
  Keys() {
    std::mt19937 random(20261207);
    inserted.resize(kElements);
    for (int &key : inserted) key = static_cast<int>(random());
    looked_up = inserted;
    std::shuffle(looked_up.begin(), looked_up.end(), random);
  }
};

const Keys &TheKeys() {
  static const Keys keys;
  return keys;
}

int CompareInts(const void *key, const void *item) {
  int a = *static_cast<const int *>(key);
  int b = *static_cast<const int *>(item);
  return (a > b) - (a < b);
}

void SetPerOp(benchmark::State &state, double ops_per_iteration) {
  state.counters["per_op"] =
      benchmark::Counter(ops_per_iteration, benchmark::Counter::kIsIterationInvariantRate |
                                                benchmark::Counter::kInvert);
}

// Items stay in the caller's array: the tree stores pointers to them.
AVLTree *BuildTree(const std::vector<int> &keys) {
  AVLTree *tree = nullptr;
  avltree_new(&tree, CompareInts, nullptr);
  for (const int &key : keys) avltree_insert(tree, const_cast<int *>(&key));
  return tree;
}

void BM_AvlInsert(benchmark::State &state) {
  const Keys &keys = TheKeys();
  for (auto _ : state) {
    AVLTree *tree = nullptr;
    avltree_new(&tree, CompareInts, nullptr);
    for (const int &key : keys.inserted) {
      benchmark::DoNotOptimize(avltree_insert(tree, const_cast<int *>(&key)));
    }
    state.PauseTiming();
    avltree_free(&tree);
    state.ResumeTiming();
  }
  SetPerOp(state, kElements);
}

void BM_SetInsert(benchmark::State &state) {
  const Keys &keys = TheKeys();
  for (auto _ : state) {
    auto set = std::make_unique<std::set<int>>();
    for (int key : keys.inserted) benchmark::DoNotOptimize(set->insert(key));
    state.PauseTiming();
    set.reset();
    state.ResumeTiming();
  }
  SetPerOp(state, kElements);
}

void BM_AvlFind(benchmark::State &state) {
  const Keys &keys = TheKeys();
  AVLTree *tree = BuildTree(keys.inserted);
  for (auto _ : state) {
    for (const int &key : keys.looked_up) {
      benchmark::DoNotOptimize(avltree_find(tree, const_cast<int *>(&key)));
    }
  }
  avltree_free(&tree);
  SetPerOp(state, kElements);
}

void BM_SetFind(benchmark::State &state) {
  const Keys &keys = TheKeys();
  std::set<int> set(keys.inserted.begin(), keys.inserted.end());
  for (auto _ : state) {
    for (int key : keys.looked_up) benchmark::DoNotOptimize(set.find(key));
  }
  SetPerOp(state, kElements);
}

// The daemon's pattern: fill a queue of records, then drain it.
void BM_QueueRecords(benchmark::State &state) {
  SQueue *queue = nullptr;
  squeue_new(&queue, kRecordBytes, kQueueRecords);
  std::array<unsigned char, kRecordBytes> in{};
  std::array<unsigned char, kRecordBytes> out{};
  std::iota(in.begin(), in.end(), 0);
  for (auto _ : state) {
    for (unsigned long i = 0; i < kQueueRecords; ++i) {
      in[0] = static_cast<unsigned char>(i);
      squeue_item_enqueue(queue, in.data());
    }
    for (unsigned long i = 0; i < kQueueRecords; ++i) {
      squeue_item_dequeue(queue, out.data());
      benchmark::DoNotOptimize(out.data());
    }
    benchmark::ClobberMemory();
  }
  squeue_free(&queue);
  SetPerOp(state, kQueueRecords);
}

// The same bytes moved with memcpy into a buffer of the same size and out.
void BM_MemcpyRecords(benchmark::State &state) {
  std::vector<unsigned char> ring(kRecordBytes * kQueueRecords);
  std::array<unsigned char, kRecordBytes> in{};
  std::array<unsigned char, kRecordBytes> out{};
  std::iota(in.begin(), in.end(), 0);
  for (auto _ : state) {
    for (unsigned long i = 0; i < kQueueRecords; ++i) {
      in[0] = static_cast<unsigned char>(i);
      std::memcpy(ring.data() + i * kRecordBytes, in.data(), kRecordBytes);
      benchmark::ClobberMemory();
    }
    for (unsigned long i = 0; i < kQueueRecords; ++i) {
      std::memcpy(out.data(), ring.data() + i * kRecordBytes, kRecordBytes);
      benchmark::DoNotOptimize(out.data());
    }
    benchmark::ClobberMemory();
  }
  SetPerOp(state, kQueueRecords);
}

BENCHMARK(BM_AvlInsert)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_SetInsert)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_AvlFind)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_SetFind)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_QueueRecords)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_MemcpyRecords)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// Prints the runs as usual and keeps each benchmark's time per operation.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      auto counter = run.counters.find("per_op");
      if (run.error_occurred || counter == run.counters.end()) continue;
      // With repetitions the median stands for the benchmark.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      per_op_ns_[run.run_name.function_name] = counter->second.value * 1e9;
    }
  }
  void PrintSummary() const {
    std::printf("\nCPU time per operation (median of the repetitions):\n");
    for (const auto &[name, ns] : per_op_ns_) std::printf("  %-18s %10.1f ns\n", name.c_str(), ns);
    PrintRatio("AVL insert / std::set insert", "BM_AvlInsert", "BM_SetInsert");
    PrintRatio("AVL find / std::set find", "BM_AvlFind", "BM_SetFind");
    PrintRatio("ring queue / memcpy (408-byte records)", "BM_QueueRecords", "BM_MemcpyRecords");
  }

 private:
  void PrintRatio(const char *label, const std::string &mine, const std::string &peer) const {
    auto a = per_op_ns_.find(mine);
    auto b = per_op_ns_.find(peer);
    if (a == per_op_ns_.end() || b == per_op_ns_.end()) return;
    std::printf("  %-40s %.2f\n", label, a->second / b->second);
  }
  std::map<std::string, double> per_op_ns_;
};

}  // namespace

int main(int argc, char **argv) {
  // Repetitions of the benchmarks run interleaved in random order, so that a
  // burst of load on a shared machine does not hit one side of a ratio only.
  // Later command-line flags override this default.
  std::vector<char *> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintSummary();
  benchmark::Shutdown();
  return 0;
}
