// Notifications to the service manager that started the daemon (a unit of
// Type=notify): ready once the daemon serves, stopping when the stop
// begins, and the watchdog's keep-alive from the main loop. Started any
// other way (no NOTIFY_SOCKET in the environment), every call does nothing.
#include <systemd/sd-daemon.h>

#include <cstdint>

#include "evtserver.h"

namespace orvikevtd {
namespace {

constexpr int64_t kNsPerMicrosecond = 1000;

}  // namespace

void notify_watchdog_prepare(EvtServer &server) {
  uint64_t timeout_us = 0;
  if (sd_watchdog_enabled(0, &timeout_us) <= 0 || timeout_us == 0) return;
  // Twice per timeout, so that one late tick does not count as a hang.
  server.watchdog.interval_ns = static_cast<int64_t>(timeout_us / 2) * kNsPerMicrosecond;
}

double notify_watchdog_seconds(const EvtServer &server) {
  return static_cast<double>(server.watchdog.interval_ns) / 1e9;
}

void notify_ready() {
  sd_notify(0, "READY=1");
}

void notify_stopping() {
  sd_notify(0, "STOPPING=1");
}

void notify_watchdog(EvtServer &server) {
  if (server.watchdog.interval_ns == 0) return;
  int64_t now = monotonic_ns();
  if (now - server.watchdog.last_ping_ns < server.watchdog.interval_ns) return;
  server.watchdog.last_ping_ns = now;
  sd_notify(0, "WATCHDOG=1");
}

}  // namespace orvikevtd
