// Writing and reading methodResponse documents with libtarnu, against
// xmlrpc-c, Python's xmlrpc.client and a bare libxml2 parse of the same text.
//
// Cases (the same values for every peer):
//   mixed: an array of two items, an array of the ints 0..9999 and a struct
//          of 1,000 string members;
//   large: an array of the ints 0..99999 (shows the cost grows linearly).
// Every reader reads the document libtarnu writes. xmlrpc-c and Python time
// themselves in programs of their own (best of several runs); figures and
// ratios are printed after the Google Benchmark table.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <tarnu/xmlrpc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_COMPACT;

void Check(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "bench_xmlrpc: %s failed\n", what);
    std::exit(1);
  }
}

std::string MemberName(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "member%04d", i);
  return name;
}

std::string MemberText(int i) {
  return "string value number " + std::to_string(i);
}

// ---- libtarnu values ----

XmlrpcValue *TarnuInts(int count) {
  XmlrpcArray *xa = nullptr;
  Check(xmlrpc_array_new(&xa) == 0, "xmlrpc_array_new");
  for (int i = 0; i < count; ++i) {
    XmlrpcValue *xv = nullptr;
    Check(xmlrpc_value_new(&xv, XMLRPC_TYPE_INT, &i, sizeof i) == 0, "xmlrpc_value_new");
    Check(xmlrpc_array_add_value(xa, xv) == 0, "xmlrpc_array_add_value");
    xmlrpc_value_ref_dec(&xv);
  }
  XmlrpcValue *wrapped = nullptr;
  Check(xmlrpc_value_new_from_array(&wrapped, xa) == 0, "xmlrpc_value_new_from_array");
  xmlrpc_array_ref_dec(&xa);
  return wrapped;
}

XmlrpcValue *TarnuMixed() {
  XmlrpcStruct *xs = nullptr;
  Check(xmlrpc_struct_new(&xs) == 0, "xmlrpc_struct_new");
  for (int i = 0; i < 1000; ++i) {
    std::string text = MemberText(i), name = MemberName(i);
    XmlrpcValue *xv = nullptr;
    Check(
        xmlrpc_value_new(&xv, XMLRPC_TYPE_STRING, text.data(), static_cast<int>(text.size())) == 0,
        "xmlrpc_value_new");
    Check(xmlrpc_struct_add_member(xs, name.data(), xv) == 0, "xmlrpc_struct_add_member");
    xmlrpc_value_ref_dec(&xv);
  }
  XmlrpcArray *xa = nullptr;
  Check(xmlrpc_array_new(&xa) == 0, "xmlrpc_array_new");
  XmlrpcValue *ints = TarnuInts(10000);
  XmlrpcValue *members = nullptr;
  Check(xmlrpc_value_new_from_struct(&members, xs) == 0, "xmlrpc_value_new_from_struct");
  xmlrpc_struct_ref_dec(&xs);
  for (XmlrpcValue *xv : {ints, members}) {
    Check(xmlrpc_array_add_value(xa, xv) == 0, "xmlrpc_array_add_value");
    xmlrpc_value_ref_dec(&xv);
  }
  XmlrpcValue *wrapped = nullptr;
  Check(xmlrpc_value_new_from_array(&wrapped, xa) == 0, "xmlrpc_value_new_from_array");
  xmlrpc_array_ref_dec(&xa);
  return wrapped;
}

// ---- One case: the values in both libraries and the document we write ----

struct Case {
  XmlrpcResponse *response = nullptr;
  std::string text;
};

std::map<std::string, Case> &Cases() {
  static std::map<std::string, Case> cases;
  return cases;
}

Case &GetCase(const std::string &name) {
  auto found = Cases().find(name);
  if (found != Cases().end()) return found->second;
  Case &c = Cases()[name];
  XmlrpcValue *xv = name == "mixed" ? TarnuMixed() : TarnuInts(100000);
  Check(xmlrpc_response_new(&c.response, const_cast<char *>(""), xv) == 0, "xmlrpc_response_new");
  xmlrpc_value_ref_dec(&xv);
  char *xml = nullptr;
  int length = 0;
  Check(xmlrpc_response_serialize(c.response, &xml, &length) == 0, "xmlrpc_response_serialize");
  c.text.assign(xml, static_cast<std::size_t>(length));
  xmlFree(xml);
  return c;
}

void SetBytes(benchmark::State &state, const Case &c) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(c.text.size()));
}

void TarnuWrite(benchmark::State &state, const std::string &name) {
  Case &c = GetCase(name);
  for (auto _ : state) {
    char *xml = nullptr;
    int length = 0;
    Check(xmlrpc_response_serialize(c.response, &xml, &length) == 0, "serialize");
    benchmark::DoNotOptimize(xml);
    xmlFree(xml);
  }
  SetBytes(state, c);
}

void TarnuRead(benchmark::State &state, const std::string &name) {
  Case &c = GetCase(name);
  for (auto _ : state) {
    XmlrpcResponse *xr = nullptr;
    Check(xmlrpc_response_parse_xml(&xr, c.text.data(), static_cast<int>(c.text.size())) == 0,
          "parse");
    xmlrpc_response_free(&xr);
  }
  SetBytes(state, c);
}

void BareParse(benchmark::State &state, const std::string &name, int options) {
  Case &c = GetCase(name);
  for (auto _ : state) {
    xmlDocPtr doc =
        xmlReadMemory(c.text.data(), static_cast<int>(c.text.size()), nullptr, nullptr, options);
    Check(doc != nullptr, "xmlReadMemory");
    xmlFreeDoc(doc);
  }
  SetBytes(state, c);
}

// Keeps the mean processor time per iteration of every run, in milliseconds
// (the machine may be shared, so wall-clock figures would measure the load).
class Recorder : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      ms_[run.benchmark_name()] = run.GetAdjustedCPUTime() / 1e6;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double ms(const std::string &name) const {
    auto found = ms_.find(name);
    return found == ms_.end() ? 0 : found->second;
  }

 private:
  std::map<std::string, double> ms_;
};

struct PeerFigures {
  double write_ms = 0;
  double read_ms = 0;
};

// Runs a peer that times itself and prints "<case> <write ms> <read ms>"
// lines; empty when it cannot run.
std::map<std::string, PeerFigures> RunPeer(const std::string &command) {
  std::map<std::string, PeerFigures> figures;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return figures;
  char name[32];
  double write_ms = 0, read_ms = 0;
  while (std::fscanf(pipe, "%31s %lf %lf", name, &write_ms, &read_ms) == 3) {
    figures[name] = {write_ms, read_ms};
  }
  pclose(pipe);
  return figures;
}

// xmlrpc-c exports functions of the same names as libtarnu, so it runs in a
// program of its own, reading the documents libtarnu wrote.
std::map<std::string, PeerFigures> RunXmlrpcC() {
  std::string command = "'" XMLRPC_C_PEER "'";
  std::vector<std::string> files;
  for (const char *name : {"mixed", "large"}) {
    char path[] = "/tmp/bench_xmlrpc_XXXXXX";
    int fd = mkstemp(path);
    Check(fd >= 0, "mkstemp");
    const std::string &text = GetCase(name).text;
    Check(write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()), "write");
    close(fd);
    files.push_back(path);
    command += std::string(" ") + name + " " + path;
  }
  std::map<std::string, PeerFigures> figures = RunPeer(command);
  for (const std::string &file : files) unlink(file.c_str());
  return figures;
}

void PrintSummary(const Recorder &recorder) {
  std::map<std::string, PeerFigures> python =
      RunPeer("python3 '" XMLRPC_PEER_SCRIPT "' 2>/dev/null");
  std::map<std::string, PeerFigures> peer = RunXmlrpcC();
  std::printf("\nprocessor ms per document (ratio = libtarnu / peer; below 1: libtarnu faster)\n");
  for (const char *name : {"mixed", "large"}) {
    std::string n = name;
    double write = recorder.ms("tarnu_write/" + n), read = recorder.ms("tarnu_read/" + n);
    double peer_write = peer[n].write_ms, peer_read = peer[n].read_ms;
    double bare = recorder.ms("bare_parse/" + n);
    double bare_same = recorder.ms("bare_parse_same_options/" + n);
    std::printf("%s (%zu bytes):\n", name, GetCase(n).text.size());
    std::printf("  write: libtarnu %.3f  xmlrpc-c %.3f (ratio %.2f)", write, peer_write,
                write / peer_write);
    if (python.count(n) != 0) {
      std::printf("  python %.3f (ratio %.3f)", python[n].write_ms, write / python[n].write_ms);
    }
    std::printf("\n  read:  libtarnu %.3f  xmlrpc-c %.3f (ratio %.2f)", read, peer_read,
                read / peer_read);
    if (python.count(n) != 0) {
      std::printf("  python %.3f (ratio %.3f)", python[n].read_ms, read / python[n].read_ms);
    }
    std::printf(
        "\n  bare xmlReadMemory+xmlFreeDoc %.3f (ratio %.2f), with the reader's options "
        "%.3f (ratio %.2f)\n",
        bare, read / bare, bare_same, read / bare_same);
  }
  double values_ratio = 100000.0 / 11000.0;
  std::printf("linear cost: large/mixed holds %.1fx the values; write took %.1fx, read %.1fx\n",
              values_ratio, recorder.ms("tarnu_write/large") / recorder.ms("tarnu_write/mixed"),
              recorder.ms("tarnu_read/large") / recorder.ms("tarnu_read/mixed"));
  if (python.empty()) std::printf("python3 not available: no Python figures\n");
  if (peer.empty()) std::printf("xmlrpc-c peer did not run: no xmlrpc-c figures\n");
}

}  // namespace

int main(int argc, char **argv) {
  xmlInitParser();
  for (const char *name : {"mixed", "large"}) {
    std::string n = name;
    benchmark::RegisterBenchmark(("tarnu_write/" + n).c_str(), TarnuWrite, n);
    benchmark::RegisterBenchmark(("tarnu_read/" + n).c_str(), TarnuRead, n);
    benchmark::RegisterBenchmark(("bare_parse/" + n).c_str(), BareParse, n, 0);
    benchmark::RegisterBenchmark(("bare_parse_same_options/" + n).c_str(), BareParse, n,
                                 kParseOptions);
  }
  benchmark::Initialize(&argc, argv);
  Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  PrintSummary(recorder);
  benchmark::Shutdown();
  return 0;
}
