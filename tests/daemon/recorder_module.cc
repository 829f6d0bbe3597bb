// A handler module for the daemon's tests: appends "<tag> <host> <object>
// <timestamp>" for each event to a file shared by several instances (built
// under different names with different tags), so tests see the order in
// which records reached each module. Its argument is
// "path[,delay_us[,cleanup_us]]": each call busy-waits delay_us microseconds,
// and module_cleanup sleeps cleanup_us before it records itself (a module
// whose backend is slow to take its last batch). It returns 7 for the object
// "fail7", and writes "<tag> cleanup" at module_cleanup, or
// "<tag> called-after-cleanup" if handle_event ever runs after it.
#include <fcntl.h>
#include <orvik/event_p.h>
#include <unistd.h>

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
bool cleaned_up = false;

void append(const std::string &line) {
  // One write per line on an O_APPEND descriptor: lines of several
  // instances never mix.
  if (write(output, line.data(), line.size()) < 0) std::perror("recorder");
}

std::string text(const char (&field)[EVENTDATA_TEXT_SIZE]) {
  return std::string(field, strnlen(field, sizeof(field)));
}

void busy_wait(long microseconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
  while (std::chrono::steady_clock::now() < until) {
  }
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int module_init(char *args) {
  if (args == nullptr) return EINVAL;
  // The loader may keep the module mapped between loads: start afresh.
  cleaned_up = false;
  delay_us = 0;
  cleanup_us = 0;
  std::string path = args;
  if (auto comma = path.find(','); comma != std::string::npos) {
    char *rest = nullptr;
    delay_us = std::strtol(path.c_str() + comma + 1, &rest, 10);
    if (*rest == ',') cleanup_us = std::strtol(rest + 1, nullptr, 10);
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
  if (delay_us > 0) busy_wait(delay_us);
  append(std::string(RECORDER_TAG) + " " + text(event->hostname) + " " + text(event->object) + " " +
         std::to_string(event->timestamp) + "\n");
  return text(event->object) == "fail7" ? 7 : 0;
}

__attribute__((visibility("default"))) int module_cleanup(void) {
  if (cleanup_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(cleanup_us));
  append(std::string(RECORDER_TAG) + " cleanup\n");
  cleaned_up = true;
  return 0;
}

}  // extern "C"
