// A handler module for the acknowledged protocol's tests: it commits only
// when told. Its argument is a folder; the file "commit" there says how
// many of the records handed to it are committed ("all", a number, or
// nothing while the file is missing), and module_cleanup commits
// everything. For each record it appends the origin that
// orvikevtd_event_origin reports to "origins" ("<stream id in hex> <seq>",
// or "plain" for a record from a client without acknowledgements). When
// the file "refuse" holds a number N, the N-th call of handle_event refuses
// its record (result 5), which is not counted as committed.
#include <dlfcn.h>
#include <fcntl.h>
#include <orvik/event_p.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

using OriginFn = int (*)(unsigned char stream_id[16], uint64_t *sequence);

std::string folder;
int origins = -1;
uint64_t handed = 0;
uint64_t calls = 0;
bool cleaned_up = false;
OriginFn origin_of = nullptr;

bool refuses_this_call() {
  std::ifstream file(folder + "/refuse");
  uint64_t call = 0;
  return file >> call && call == calls;
}

std::string origin_line() {
  unsigned char id[16] = {};
  uint64_t sequence = 0;
  int rc = origin_of != nullptr ? origin_of(id, &sequence) : -1;
  if (rc == 2) return "plain\n";
  if (rc != 0) return "error " + std::to_string(rc) + "\n";
  std::string line;
  char hex[3];
  for (unsigned char byte : id) {
    std::snprintf(hex, sizeof(hex), "%02x", byte);
    line += hex;
  }
  return line + " " + std::to_string(sequence) + "\n";
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int module_init(char *args) {
  if (args == nullptr) return EINVAL;
  folder = args;
  handed = 0;
  calls = 0;
  cleaned_up = false;
  origin_of = reinterpret_cast<OriginFn>(dlsym(RTLD_DEFAULT, "orvikevtd_event_origin"));
  origins = open((folder + "/origins").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  return origins < 0 ? errno : 0;
}

__attribute__((visibility("default"))) int handle_event(EventData *) {
  std::string line = origin_line();
  if (write(origins, line.data(), line.size()) < 0) return errno;
  ++calls;
  if (refuses_this_call()) return 5;
  ++handed;
  return 0;
}

__attribute__((visibility("default"))) uint64_t module_committed(void) {
  if (cleaned_up) return handed;
  std::ifstream file(folder + "/commit");
  std::string word;
  if (!(file >> word)) return 0;
  if (word == "all") return handed;
  uint64_t count = std::stoull(word);
  return count < handed ? count : handed;
}

__attribute__((visibility("default"))) int module_cleanup(void) {
  cleaned_up = true;
  close(origins);
  return 0;
}

}  // extern "C"
