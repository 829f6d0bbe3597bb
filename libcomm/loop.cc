// Groups and the event loop: level-triggered epoll, an eventfd for
// wake-ups, deadlines for handshakes, resting listeners and ticks.
//
// One loop turn waits for events, calls the callback for each ready
// channel, and then for each channel still owed a callback because bytes
// stay buffered in the layer or inside the session (the socket is quiet
// then, so epoll would not report it). A connection gets at most
// kCallbacksPerTurn callbacks per turn, so one busy peer cannot starve the
// others. A channel whose callback removes (and frees) it is never touched
// again: removal clears it from the turn's event list and ready lists.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <new>

#include "comm_p.h"

namespace comm {
namespace {

bool WaitsToWrite(const CommChannel *channel) {
  return channel->write_needed || (channel->accept_pending && channel->handshake_wants_write);
}

bool ReadsPaused(const CommChannel *channel) {
  return channel->group != nullptr && channel->group->paused &&
         channel->kind != ChannelKind::kListener && !channel->accept_pending;
}

// True when the channel must be called back although its socket may be
// quiet (or out of the epoll set): bytes wait in the layer or in the
// session, or its end or failure has not been read yet.
bool Owed(CommChannel *channel) {
  if (channel->kind == ChannelKind::kListener || ReadsPaused(channel)) return false;
  if (channel->begin < channel->end) return true;
  if (channel->terminal != 0) return !channel->terminal_reported;
  // A session that must write first waits for writability, not for turns.
  if (WaitsToWrite(channel)) return false;
  return !channel->starved && channel->session != nullptr && channel->session->HasPending();
}

// The epoll events the channel needs now; 0 takes it out of the epoll set
// (HUP and ERR would otherwise be reported forever for a socket nobody
// reads).
uint32_t DesiredEvents(const CommChannel *channel) {
  if (channel->fd < 0 || channel->terminal != 0) return 0;
  constexpr uint32_t kIn = EPOLLIN, kOut = EPOLLOUT;
  if (channel->kind == ChannelKind::kListener) return channel->accept_suspended ? 0 : kIn;
  // Bytes kept by comm_send go out as the socket takes them, paused or not.
  uint32_t sending = channel->outgoing.empty() ? 0 : kOut;
  // Paused connections get no callbacks at all: each would lead to a read.
  if (ReadsPaused(channel)) return sending;
  // While the session waits to write, readability would only spin the loop.
  return (WaitsToWrite(channel) ? kOut : kIn) | sending;
}

// Calls the callback for one channel, again while it stays owed and makes
// progress, at most kCallbacksPerTurn times.
void Dispatch(CommGroup *group, CommChannel *channel, int iotype) {
  group->current = channel;
  group->current_gone = false;
  channel->turn = group->turn;
  for (int calls = 1;; ++calls) {
    uint64_t progress_before = channel->progress;
    group->callback(channel, iotype, channel->arg);
    if (group->current_gone || !Owed(channel)) break;
    // A callback that did not read is not called again until its socket
    // reports something: repeating it would spin.
    if (channel->progress == progress_before) break;
    if (calls >= kCallbacksPerTurn) {
      MakeReady(channel);
      break;
    }
    iotype = COMM_IO_READ;
  }
  group->current = nullptr;
}

// Writes kept bytes when the socket can take them; true when the event also
// calls for the channel's callback (it can read, or its owner or its
// handshake waits for writability).
bool CallbackWanted(CommChannel *channel, uint32_t events) {
  if ((events & EPOLLOUT) != 0 && !channel->outgoing.empty()) FlushOutgoing(channel);
  if (ReadsPaused(channel)) return false;
  if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) return true;
  return (events & EPOLLOUT) != 0 && WaitsToWrite(channel);
}

void ExpireHandshakes(CommGroup *group, int64_t now) {
  CommChannel *channel = group->handshaking.front();
  while (channel != nullptr) {
    CommChannel *next = channel->timer.next;
    if (now - channel->accepted_at_us >= group->handshake_timeout_us) {
      FailHandshake(channel, ETIMEDOUT);
    }
    channel = next;
  }
}

void ResumeListeners(CommGroup *group, int64_t now) {
  CommChannel *channel = group->resting.front();
  while (channel != nullptr) {
    CommChannel *next = channel->timer.next;
    if (now >= channel->accept_resume_us) {
      group->resting.Remove(channel);
      channel->accept_suspended = false;
      UpdateInterest(channel);
    }
    channel = next;
  }
}

void Housekeeping(CommGroup *group) {
  int64_t now = NowUs();
  if (!group->handshaking.empty()) ExpireHandshakes(group, now);
  if (!group->resting.empty()) ResumeListeners(group, now);
  if (group->tick_callback != nullptr && now >= group->next_tick_us) {
    group->next_tick_us = now + group->tick_interval_us;
    group->tick_callback(group, group->tick_arg);
  }
}

// Milliseconds the next wait may last: up to the loop timeout, less when a
// deadline comes sooner, 0 when callbacks are owed.
int WaitTimeoutMs(CommGroup *group) {
  if (!group->ready.empty()) return 0;
  int64_t now = NowUs();
  int64_t wait = group->loop_timeout_us;
  auto earlier = [&](int64_t deadline) {
    if (deadline - now < wait) wait = deadline - now;
  };
  // Handshakes are listed oldest first and share one timeout.
  if (!group->handshaking.empty()) {
    earlier(group->handshaking.front()->accepted_at_us + group->handshake_timeout_us);
  }
  for (CommChannel *c = group->resting.front(); c != nullptr; c = c->timer.next) {
    earlier(c->accept_resume_us);
  }
  if (group->tick_callback != nullptr) earlier(group->next_tick_us);
  if (wait <= 0) return 0;
  int64_t ms = (wait + 999) / 1000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void DrainWakeups(CommGroup *group) {
  uint64_t count;
  ssize_t n;
  do {
    n = read(group->wake_fd, &count, sizeof count);
  } while (n < 0 && errno == EINTR);
}

// One turn of the loop: 0, or the errno of a failed wait.
int RunTurn(CommGroup *group) {
  int n = epoll_wait(group->epoll_fd, group->events, kMaxEventsPerTurn, WaitTimeoutMs(group));
  if (n < 0) {
    if (errno != EINTR) return errno;
    n = 0;
  }
  ++group->turn;
  group->serving.TakeAll(group->ready);
  group->event_count = n;
  group->event_index = 0;
  bool woken = false;
  while (group->event_index < group->event_count) {
    const epoll_event &event = group->events[group->event_index++];
    if (event.data.ptr == group) {
      woken = true;
      continue;
    }
    auto *channel = static_cast<CommChannel *>(event.data.ptr);
    if (channel == nullptr) continue;  // removed during this turn
    if (!CallbackWanted(channel, event.events)) continue;
    if ((event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) channel->starved = false;
    group->serving.Remove(channel);
    Dispatch(group, channel, (event.events & EPOLLOUT) != 0 ? COMM_IO_WRITE : COMM_IO_READ);
  }
  group->event_count = 0;
  while (!group->serving.empty()) {
    CommChannel *channel = group->serving.front();
    group->serving.Remove(channel);
    if (channel->turn != group->turn && Owed(channel)) Dispatch(group, channel, COMM_IO_READ);
  }
  if (woken) {
    DrainWakeups(group);
    if (group->wake_callback != nullptr) group->wake_callback(group, group->wake_arg);
  }
  Housekeeping(group);
  return 0;
}

}  // namespace

int UpdateInterest(CommChannel *channel) {
  CommGroup *group = channel->group;
  if (group == nullptr) return 0;
  uint32_t wanted = DesiredEvents(channel);
  if (wanted == channel->registered) return 0;
  epoll_event event{};
  event.events = wanted;
  event.data.ptr = channel;
  int op = wanted == 0 ? EPOLL_CTL_DEL : channel->registered == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
  if (epoll_ctl(group->epoll_fd, op, channel->fd, &event) != 0) {
    int error = errno;
    if (op == EPOLL_CTL_DEL) channel->registered = 0;
    return error;
  }
  channel->registered = wanted;
  return 0;
}

void MakeReady(CommChannel *channel) {
  CommGroup *group = channel->group;
  if (group == nullptr || group->ready.Contains(channel)) return;
  group->serving.Remove(channel);
  group->ready.PushBack(channel);
}

void HandshakeFinished(CommChannel *channel) {
  channel->accept_pending = false;
  channel->handshake_wants_write = false;
  if (channel->group != nullptr) channel->group->handshaking.Remove(channel);
}

void FailHandshake(CommChannel *channel, int result) {
  HandshakeFinished(channel);
  channel->terminal = result;
  UpdateInterest(channel);  // out of the epoll set before the descriptor goes
  channel->session.reset();
  CloseFd(channel->fd);
  channel->fd = -1;
  MakeReady(channel);
}

void SuspendAccept(CommChannel *listener) {
  listener->accept_suspended = true;
  listener->accept_resume_us = NowUs() + kAcceptBackoffUs;
  UpdateInterest(listener);
  CommGroup *group = listener->group;
  if (group != nullptr && !group->resting.Contains(listener)) group->resting.PushBack(listener);
}

void DetachFromGroup(CommChannel *channel) {
  CommGroup *group = channel->group;
  if (group == nullptr) return;
  if (channel->registered != 0) {
    epoll_ctl(group->epoll_fd, EPOLL_CTL_DEL, channel->fd, nullptr);
    channel->registered = 0;
  }
  group->channels.Remove(channel);
  group->ready.Remove(channel);
  group->serving.Remove(channel);
  group->handshaking.Remove(channel);
  group->resting.Remove(channel);
  for (int i = group->event_index; i < group->event_count; ++i) {
    if (group->events[i].data.ptr == channel) group->events[i].data.ptr = nullptr;
  }
  if (group->current == channel) group->current_gone = true;
  channel->group = nullptr;
  channel->arg = nullptr;
}

}  // namespace comm

using comm::ChannelKind;

extern "C" {

COMM_EXPORT int comm_group_new(CommGroup **group, CommIOCallback callback) {
  if (group == nullptr || callback == nullptr) return EINVAL;
  *group = nullptr;
  auto *created = new (std::nothrow) CommGroup;
  if (created == nullptr) return ENOMEM;
  created->callback = callback;
  created->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  created->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  int rc = 0;
  if (created->epoll_fd < 0 || created->wake_fd < 0) rc = errno;
  if (rc == 0) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = created;  // the group itself marks the wake-up descriptor
    if (epoll_ctl(created->epoll_fd, EPOLL_CTL_ADD, created->wake_fd, &event) != 0) rc = errno;
  }
  if (rc != 0) {
    comm::CloseFd(created->epoll_fd);
    comm::CloseFd(created->wake_fd);
    delete created;
    return rc;
  }
  *group = created;
  return 0;
}

COMM_EXPORT int comm_group_free(CommGroup **group) {
  if (group == nullptr || *group == nullptr) return EINVAL;
  CommGroup *g = *group;
  if (g->in_loop) return EBUSY;
  while (!g->channels.empty()) comm::DetachFromGroup(g->channels.front());
  comm::CloseFd(g->epoll_fd);
  comm::CloseFd(g->wake_fd);
  delete g;
  *group = nullptr;
  return 0;
}

COMM_EXPORT int comm_group_add(CommGroup *group, CommChannel *channel, void *ccarg, int events) {
  if (group == nullptr || channel == nullptr || events < 0) return EINVAL;
  if (channel->group != nullptr) return EEXIST;
  channel->group = group;
  channel->arg = ccarg;
  group->channels.PushBack(channel);
  if (channel->accept_pending) group->handshaking.PushBack(channel);
  if (channel->accept_suspended) group->resting.PushBack(channel);
  int rc = comm::UpdateInterest(channel);
  if (rc != 0) {
    comm::DetachFromGroup(channel);
    return rc;
  }
  if (comm::Owed(channel)) comm::MakeReady(channel);
  return 0;
}

COMM_EXPORT int comm_group_remove(CommGroup *group, CommChannel *channel) {
  if (group == nullptr || channel == nullptr) return EINVAL;
  if (channel->group != group) return ENOENT;
  comm::DetachFromGroup(channel);
  return 0;
}

COMM_EXPORT int comm_group_set_option(CommGroup *group, int option, long value) {
  if (group == nullptr || value <= 0) return EINVAL;
  switch (option) {
    case COMM_OPT_LOOP_TIMEOUT_US:
      group->loop_timeout_us = value;
      return 0;
    case COMM_OPT_HANDSHAKE_TIMEOUT_US:
      group->handshake_timeout_us = value;
      return 0;
    default:
      return EINVAL;
  }
}

COMM_EXPORT int comm_group_loop(CommGroup *group) {
  if (group == nullptr) return EINVAL;
  if (group->in_loop) return EBUSY;
  group->in_loop = true;
  group->stopping = false;
  if (group->tick_callback != nullptr)
    group->next_tick_us = comm::NowUs() + group->tick_interval_us;
  int rc = 0;
  while (!group->stopping && rc == 0) rc = comm::RunTurn(group);
  group->in_loop = false;
  return rc;
}

COMM_EXPORT int comm_group_stop(CommGroup *group) {
  if (group == nullptr) return EINVAL;
  group->stopping = true;
  return 0;
}

COMM_EXPORT int comm_group_wakeup(CommGroup *group) {
  if (group == nullptr) return EINVAL;
  // Runs in signal handlers: only write(2), and errno as it was.
  int saved_errno = errno;
  uint64_t one = 1;
  ssize_t n;
  do {
    n = write(group->wake_fd, &one, sizeof one);
  } while (n < 0 && errno == EINTR);
  // EAGAIN: the counter is saturated, so a wake-up is pending anyway.
  int rc = n < 0 && errno != EAGAIN ? errno : 0;
  errno = saved_errno;
  return rc;
}

COMM_EXPORT int comm_group_set_wakeup_callback(CommGroup *group, CommLoopCallback callback,
                                               void *arg) {
  if (group == nullptr) return EINVAL;
  group->wake_callback = callback;
  group->wake_arg = arg;
  return 0;
}

COMM_EXPORT int comm_group_set_tick_callback(CommGroup *group, CommLoopCallback callback, void *arg,
                                             long interval_us) {
  if (group == nullptr || (callback != nullptr && interval_us <= 0)) return EINVAL;
  group->tick_callback = callback;
  group->tick_arg = arg;
  group->tick_interval_us = interval_us;
  group->next_tick_us = comm::NowUs() + interval_us;
  return 0;
}

COMM_EXPORT int comm_group_pause_reads(CommGroup *group, int paused) {
  if (group == nullptr) return EINVAL;
  group->paused = paused != 0;
  int rc = 0;
  for (CommChannel *c = group->channels.front(); c != nullptr; c = c->all.next) {
    int update = comm::UpdateInterest(c);
    if (rc == 0) rc = update;
    if (!group->paused && comm::Owed(c)) comm::MakeReady(c);
  }
  return rc;
}

}  // extern "C"
