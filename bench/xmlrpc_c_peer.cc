// The xmlrpc-c side of bench_xmlrpc, in a program of its own because
// xmlrpc-c and libtarnu export functions of the same names.
//
//   xmlrpc_c_bench_peer CASE FILE [CASE FILE ...]
//
// For each case ("mixed" or "large", the values bench_xmlrpc builds) it
// times writing the methodResponse of the values and reading FILE (the
// document libtarnu wrote), and prints "<case> <write ms> <read ms>" in
// processor time: the mean of a batch of runs, best of five batches.
#include <xmlrpc-c/base.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace {

void Check(xmlrpc_env *env, const char *what) {
  if (env->fault_occurred) {
    std::fprintf(stderr, "xmlrpc_c_bench_peer: %s: %s\n", what, env->fault_string);
    std::exit(1);
  }
}

xmlrpc_value *Ints(xmlrpc_env *env, int count) {
  xmlrpc_value *array = xmlrpc_array_new(env);
  for (int i = 0; i < count; ++i) {
    xmlrpc_value *item = xmlrpc_int_new(env, i);
    xmlrpc_array_append_item(env, array, item);
    xmlrpc_DECREF(item);
  }
  return array;
}

xmlrpc_value *Mixed(xmlrpc_env *env) {
  xmlrpc_value *members = xmlrpc_struct_new(env);
  for (int i = 0; i < 1000; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "member%04d", i);
    std::string text = "string value number " + std::to_string(i);
    xmlrpc_value *item = xmlrpc_string_new(env, text.c_str());
    xmlrpc_struct_set_value(env, members, name, item);
    xmlrpc_DECREF(item);
  }
  xmlrpc_value *ints = Ints(env, 10000);
  xmlrpc_value *array = xmlrpc_array_new(env);
  xmlrpc_array_append_item(env, array, ints);
  xmlrpc_array_append_item(env, array, members);
  xmlrpc_DECREF(ints);
  xmlrpc_DECREF(members);
  return array;
}

// Processor time of this process in milliseconds.
double CpuMs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double BestMs(const std::function<void()> &run) {
  double best = 1e300;
  for (int batch = 0; batch < 5; ++batch) {
    int runs = 0;
    double start = CpuMs(), elapsed = 0;
    do {
      run();
      ++runs;
      elapsed = CpuMs() - start;
    } while (elapsed < 200);
    best = std::min(best, elapsed / runs);
  }
  return best;
}

}  // namespace

int main(int argc, char **argv) {
  xmlrpc_env env;
  xmlrpc_env_init(&env);
  xmlrpc_limit_set(XMLRPC_XML_SIZE_LIMIT_ID, 64u << 20);
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    std::ifstream file(argv[i + 1], std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    xmlrpc_value *value = name == "mixed" ? Mixed(&env) : Ints(&env, 100000);
    Check(&env, "building values");
    double write_ms = BestMs([&] {
      xmlrpc_mem_block *out = XMLRPC_MEMBLOCK_NEW(char, &env, 0);
      xmlrpc_serialize_response(&env, out, value);
      Check(&env, "xmlrpc_serialize_response");
      XMLRPC_MEMBLOCK_FREE(char, out);
    });
    double read_ms = BestMs([&] {
      xmlrpc_value *result = nullptr;
      int fault_code = 0;
      const char *fault_string = nullptr;
      xmlrpc_parse_response2(&env, text.data(), text.size(), &result, &fault_code, &fault_string);
      Check(&env, "xmlrpc_parse_response2");
      xmlrpc_DECREF(result);
    });
    xmlrpc_DECREF(value);
    std::printf("%s %.3f %.3f\n", name.c_str(), write_ms, read_ms);
  }
  xmlrpc_env_clean(&env);
  return 0;
}
