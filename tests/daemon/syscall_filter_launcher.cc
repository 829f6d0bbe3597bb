// Runs a program under the system call restrictions systemd gives a service
// through seccomp, so that a test sees what the service would:
// - SystemCallFilter=: an allow list; every call not on it kills the process
//   with SIGSYS. Only the native architecture's calls are allowed
//   (SystemCallArchitectures=native).
// - RestrictAddressFamilies= (-a): socket() of any other family fails with
//   EAFNOSUPPORT.
// - MemoryDenyWriteExecute= (-w): a mapping both writable and executable,
//   making memory executable afterwards, and executable shared memory fail
//   with EPERM.
//   syscall_filter_launcher [-w] [-a FAMILY,...] LIST PROGRAM [ARG...]
// LIST holds one system call name a line; names this architecture does not
// have are skipped, as systemd skips them; FAMILY is a number (AF_INET is 2).
// Exit status 125 when the filter cannot be made, 127 when the program
// cannot be started.
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

struct FilterDeleter {
  void operator()(scmp_filter_ctx filter) const { seccomp_release(filter); }
};
using Filter = std::unique_ptr<void, FilterDeleter>;

struct Options {
  bool deny_write_execute = false;
  bool restrict_families = false;
  std::set<int> families;
};

// A call restricted by its arguments gets conditional rules below instead
// of being allowed whatever they are.
bool restricted(const Options &options, int number) {
  if (options.restrict_families && number == SCMP_SYS(socket)) return true;
  if (!options.deny_write_execute) return false;
  return number == SCMP_SYS(mmap) || number == SCMP_SYS(mmap2) || number == SCMP_SYS(mprotect) ||
         number == SCMP_SYS(pkey_mprotect) || number == SCMP_SYS(shmat);
}

bool add(scmp_filter_ctx filter, uint32_t action, int number, scmp_arg_cmp condition) {
  return seccomp_rule_add(filter, action, number, 1, condition) == 0;
}

// socket(): the allowed families pass, every other one fails.
bool restrict_families(scmp_filter_ctx filter, const std::set<int> &families) {
  int socket_call = SCMP_SYS(socket);
  for (int family = 0; family < AF_MAX; ++family) {
    uint32_t action = families.count(family) != 0 ? SCMP_ACT_ALLOW : SCMP_ACT_ERRNO(EAFNOSUPPORT);
    if (!add(filter, action, socket_call,
             SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(family)))) {
      return false;
    }
  }
  return add(filter, SCMP_ACT_ERRNO(EAFNOSUPPORT), socket_call, SCMP_A0(SCMP_CMP_GE, AF_MAX));
}

// The protection or flags argument of mmap, mprotect, pkey_mprotect and
// shmat.
constexpr unsigned kFlagsArgument = 2;

// Allows the call while (flags & mask) is not mask, fails it otherwise.
bool deny_all_bits(scmp_filter_ctx filter, int number, scmp_datum_t mask) {
  for (scmp_datum_t bits = 0; bits <= mask; ++bits) {
    if ((bits & ~mask) != 0) continue;
    uint32_t action = bits == mask ? SCMP_ACT_ERRNO(EPERM) : SCMP_ACT_ALLOW;
    scmp_arg_cmp condition = {kFlagsArgument, SCMP_CMP_MASKED_EQ, mask, bits};
    if (!add(filter, action, number, condition)) return false;
  }
  return true;
}

bool deny_write_execute(scmp_filter_ctx filter, const std::set<int> &listed) {
  for (int number : {SCMP_SYS(mmap), SCMP_SYS(mmap2)}) {
    if (listed.count(number) != 0 && !deny_all_bits(filter, number, PROT_WRITE | PROT_EXEC)) {
      return false;
    }
  }
  for (int number : {SCMP_SYS(mprotect), SCMP_SYS(pkey_mprotect)}) {
    if (listed.count(number) != 0 && !deny_all_bits(filter, number, PROT_EXEC)) return false;
  }
  return listed.count(SCMP_SYS(shmat)) == 0 || deny_all_bits(filter, SCMP_SYS(shmat), SHM_EXEC);
}

bool apply(const char *list_path, const Options &options, scmp_filter_ctx filter) {
  std::ifstream list(list_path);
  if (!list) return false;
  std::set<int> listed;
  for (std::string name; std::getline(list, name);) {
    int number = name.empty() ? __NR_SCMP_ERROR : seccomp_syscall_resolve_name(name.c_str());
    if (number == __NR_SCMP_ERROR || !listed.insert(number).second) continue;
    if (restricted(options, number)) continue;
    if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, number, 0) != 0) return false;
  }
  if (options.restrict_families && listed.count(SCMP_SYS(socket)) != 0 &&
      !restrict_families(filter, options.families)) {
    return false;
  }
  return !options.deny_write_execute || deny_write_execute(filter, listed);
}

bool parse_families(const char *text, std::set<int> *families) {
  std::istringstream stream(text);
  for (std::string item; std::getline(stream, item, ',');) {
    char *end = nullptr;
    long family = std::strtol(item.c_str(), &end, 10);
    if (item.empty() || *end != '\0' || family < 0 || family >= AF_MAX) return false;
    families->insert(static_cast<int>(family));
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  for (int option; (option = getopt(argc, argv, "+wa:")) != -1;) {
    if (option == 'w') {
      options.deny_write_execute = true;
    } else if (option == 'a' && parse_families(optarg, &options.families)) {
      options.restrict_families = true;
    } else {
      optind = argc;
      break;
    }
  }
  if (argc - optind < 2) {
    std::fprintf(stderr, "usage: %s [-w] [-a FAMILY,...] LIST PROGRAM [ARG...]\n", argv[0]);
    return 125;
  }
  const char *list = argv[optind];
  Filter filter(seccomp_init(SCMP_ACT_KILL_PROCESS));
  if (!filter || !apply(list, options, filter.get()) || seccomp_load(filter.get()) != 0) {
    std::fprintf(stderr, "%s: cannot apply the system call list %s\n", argv[0], list);
    return 125;
  }
  filter.reset();
  execv(argv[optind + 1], argv + optind + 1);
  std::perror(argv[optind + 1]);
  return 127;
}
