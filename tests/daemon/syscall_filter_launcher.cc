// Runs a program under a system call allow list, as systemd's
// SystemCallFilter= does for a service: every call not on the list kills
// the process with SIGSYS, and only the native architecture's calls are
// allowed (SystemCallArchitectures=native).
//   syscall_filter_launcher LIST PROGRAM [ARG...]
// LIST holds one system call name a line; names this architecture does not
// have are skipped, as systemd skips them. Exit status 125 when the filter
// cannot be made, 127 when the program cannot be started.
#include <seccomp.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

namespace {

struct FilterDeleter {
  void operator()(scmp_filter_ctx filter) const { seccomp_release(filter); }
};
using Filter = std::unique_ptr<void, FilterDeleter>;

bool allow_listed(const char *list_path, scmp_filter_ctx filter) {
  std::ifstream list(list_path);
  if (!list) return false;
  for (std::string name; std::getline(list, name);) {
    if (name.empty()) continue;
    int number = seccomp_syscall_resolve_name(name.c_str());
    if (number == __NR_SCMP_ERROR) continue;
    if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, number, 0) != 0) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s LIST PROGRAM [ARG...]\n", argv[0]);
    return 125;
  }
  Filter filter(seccomp_init(SCMP_ACT_KILL_PROCESS));
  if (!filter || !allow_listed(argv[1], filter.get()) || seccomp_load(filter.get()) != 0) {
    std::fprintf(stderr, "%s: cannot apply the system call list %s\n", argv[0], argv[1]);
    return 125;
  }
  filter.reset();
  execv(argv[2], argv + 2);
  std::perror(argv[2]);
  return 127;
}
