// A handler module for the daemon's tests: appends "<tag> <host> <object>
// <timestamp>" for each event to a file shared by several instances (built
// under different names with different tags), so tests see the order in
// which records reached each module. Its argument is
// "path[,delay_us[,cleanup_us[,cleanup_rc[,exit_us]]]]": each call busy-waits
// delay_us microseconds, and module_cleanup sleeps cleanup_us before it
// records itself (a module whose backend is slow to take its last batch) and
// returns cleanup_rc. It returns 7 for the object "fail7", and writes
// "<tag> cleanup" at module_cleanup, or "<tag> called-after-cleanup" if
// handle_event ever runs after it.
//
// Its exit hook (a static destructor, run by exit() or dlclose) behaves like
// a store-and-forward module's: it releases a call in progress (which then
// returns at once) and waits 500 ms for it to leave, then sleeps exit_us (a
// slow close). A call after the hook writes "<tag> called-after-exit".
#include <fcntl.h>
#include <orvik/event_p.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#ifndef RECORDER_TAG
#error "RECORDER_TAG names the instance"
#endif

namespace {

int output = -1;
long delay_us = 0;
long cleanup_us = 0;
int cleanup_rc = 0;
long exit_us = 0;
bool cleaned_up = false;
std::atomic<bool> exiting{false};
std::atomic<bool> in_call{false};

void append(const std::string &line) {
  // One write per line on an O_APPEND descriptor: lines of several
  // instances never mix.
  if (write(output, line.data(), line.size()) < 0) std::perror("recorder");
}

std::string text(const char (&field)[EVENTDATA_TEXT_SIZE]) {
  return std::string(field, strnlen(field, sizeof(field)));
}

// Ends early when the exit hook releases the call.
void busy_wait(long microseconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
  while (std::chrono::steady_clock::now() < until && !exiting.load()) {
  }
}

struct ExitHook {
  ~ExitHook() {
    if (output < 0) return;
    exiting.store(true);
    if (in_call.load()) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (exit_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(exit_us));
  }
} exit_hook;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int module_init(char *args) {
  if (args == nullptr) return EINVAL;
  // The loader may keep the module mapped between loads: start afresh.
  cleaned_up = false;
  delay_us = 0;
  cleanup_us = 0;
  cleanup_rc = 0;
  exit_us = 0;
  exiting.store(false);
  std::string path = args;
  if (auto comma = path.find(','); comma != std::string::npos) {
    const char *rest = path.c_str() + comma;
    for (long *field : {&delay_us, &cleanup_us, static_cast<long *>(nullptr), &exit_us}) {
      if (*rest != ',') break;
      char *end = nullptr;
      long value = std::strtol(rest + 1, &end, 10);
      if (field != nullptr) {
        *field = value;
      } else {
        cleanup_rc = static_cast<int>(value);
      }
      rest = end;
    }
    path.resize(comma);
  }
  output = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (output < 0) return errno;
  append(std::string(RECORDER_TAG) + " init " + args + "\n");
  return 0;
}

__attribute__((visibility("default"))) int handle_event(EventData *event) {
  if (cleaned_up) {
    append(std::string(RECORDER_TAG) + " called-after-cleanup\n");
    return 0;
  }
  if (exiting.load()) {
    append(std::string(RECORDER_TAG) + " called-after-exit\n");
    return 0;
  }
  in_call.store(true);
  if (delay_us > 0) busy_wait(delay_us);
  append(std::string(RECORDER_TAG) + " " + text(event->hostname) + " " + text(event->object) + " " +
         std::to_string(event->timestamp) + "\n");
  in_call.store(false);
  return text(event->object) == "fail7" ? 7 : 0;
}

__attribute__((visibility("default"))) int module_cleanup(void) {
  if (cleanup_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(cleanup_us));
  append(std::string(RECORDER_TAG) + " cleanup\n");
  cleaned_up = true;
  return cleanup_rc;
}

}  // extern "C"
