// Private to orvikevtd: the daemon's one process-wide state record and the
// functions of its parts, each implemented in the file named at its group.
//
// Threads: the main thread runs start-up, the comm loop with the connection
// callback, the loop's wake-up and tick callbacks (where caught signals are
// acted on) and the teardown. The processing thread drains full queues into
// the handler modules. They share data only under the locks below; lock
// order: modmutex before a module's mutex, modmutex before logmutex, modmutex
// before statsmutex. procmutex, inqmutex and outqmutex never nest with
// another lock.
//
// Every function here that takes an EvtServer works on that record alone, so
// tests can run the pieces on records of their own; the program itself uses
// the single record returned by orvikevtd_server().
#ifndef ORVIKEVTD_EVTSERVER_H_
#define ORVIKEVTD_EVTSERVER_H_

#include <comm/comm.h>
#include <orvik/clock.h>
#include <orvik/conffile.h>
#include <orvik/episode.h>
#include <orvik/event_p.h>
#include <orvik/files.h>
#include <pthread.h>
#include <tarnu/attribute.h>
#include <tarnu/slist.h>
#include <tarnu/squeue.h>

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "mutex.h"

namespace orvikevtd {

using orvik::monotonic_ns;

// The project's version, from the build (CMakeLists.txt, also the packages').
inline constexpr const char *kVersion = ORVIKEVTD_VERSION;
// The build compiles in the configuration path of the system it installs for
// (ORVIKEVTD_CONFIG_FILE); a build without one reads the system's own.
#ifdef ORVIKEVTD_CONFIG_FILE
inline constexpr const char *kDefaultConfigFile = ORVIKEVTD_CONFIG_FILE;
#else
inline constexpr const char *kDefaultConfigFile = "/etc/orvik/orvikevtd.conf";
#endif
inline constexpr const char *kDefaultLogFile = "/var/log/orvikevtd.log";
inline constexpr int kDefaultPort = 5011;
inline constexpr long kDefaultQueueSize = 10;
inline constexpr int kInitialQueueCount = 10;
inline constexpr int kPathSize = 256;
inline constexpr int kLogBufferSize = 256;
inline constexpr int kConfigLineSize = 256;
inline constexpr int kConnBufferSize = 4096;
// Room for a peer's numeric address (INET6_ADDRSTRLEN).
inline constexpr int kPeerAddressSize = 46;
// HANDSHAKETIMEOUT's largest value: the comm layer takes microseconds in a
// long, 32 bits on armhf.
inline constexpr double kMaxHandshakeSeconds = 2000;

// flags bits.
inline constexpr unsigned long kFlagFlushLog = 1;
inline constexpr unsigned long kFlagForeground = 2;

// Exit statuses of start-up (orvikevtd(8) lists them). A comm layer that
// cannot be loaded ends it with the layer's own result.
inline constexpr int kExitLogFile = 1;        // the log file cannot be opened
inline constexpr int kExitConfiguration = 2;  // the configuration cannot work
inline constexpr int kExitQueues = 3;         // the event queues cannot be made
inline constexpr int kExitListener = 4;       // the listener cannot be bound
inline constexpr int kExitSetup = 5;          // the comm group or the processing thread failed
inline constexpr int kExitUsage = 255;        // a bad option, or detaching failed

// Default cap of the queue pool when MAXQUEUES is absent: at most this many
// queues, and fewer when they would hold more than kDefaultPoolBytes.
inline constexpr long kDefaultMaxQueues = 1024;
inline constexpr unsigned long long kDefaultPoolBytes = 64ull << 20;

// Default cap of open connections (handshakes included) when
// MAXCONNECTIONS is absent.
inline constexpr long kDefaultMaxConnections = 1024;

// The log's flood guard (log.cc): entries of one kind (the same format, or
// for a text passed through whole, the same text) are written at most
// kLogBurst times per second; the rest of that second's are counted, and
// one line then says how many were left out.
inline constexpr unsigned kLogBurst = 5;
inline constexpr int kLogKinds = 32;
struct LogLimiter {
  struct Kind {
    uint64_t key = 0;                // 0: the slot is free
    int64_t window_start = 0;        // monotonic ns of the first entry of the second
    unsigned written = 0;            // entries written in this second
    unsigned long left_out = 0;      // entries left out in this second
    char last[kLogBufferSize] = {};  // the last one left out
  };
  // Off during start-up, which writes what it must once (a line per module
  // loaded, say), however many there are: log_limit_repeats turns it on.
  bool active = false;
  unsigned burst = kLogBurst;
  Kind kinds[kLogKinds];
};

// The acknowledged protocol: a client that gets this id selected through
// TLS ALPN sends a hello, then records; the daemon answers with frames that
// say how far the stream's records are durable (ack.cc).
inline constexpr const char *kAckProtocol = "orvik-ack/1";
inline constexpr int kHelloSize = 32;
inline constexpr int kAckFrameSize = 16;
inline constexpr int kStreamIdSize = 16;
// Streams the de-duplication table remembers when MAXSTREAMS is absent.
inline constexpr long kDefaultMaxStreams = 100000;
// Status of a frame: 0, or the daemon stops reading the connection.
inline constexpr uint32_t kAckStatusRunning = 0;
inline constexpr uint32_t kAckStatusStopping = 1;

using StreamId = std::array<unsigned char, kStreamIdSize>;

// Where a queued record came from. sequence 0: a client without
// acknowledgements (protocol sequences start at 1).
struct RecordOrigin {
  StreamId stream_id;
  uint64_t sequence;
};

// One queue item: the record as the modules see it, then its origin.
struct QueuedRecord {
  EventData record;
  RecordOrigin origin;
};
static_assert(sizeof(QueuedRecord) == EVENTDATA_SIZE + sizeof(RecordOrigin),
              "the origin follows the record without a gap");

// What the processing thread has handed one module, for the statistics.
struct ModuleCounters {
  uint64_t events = 0;       // records handed over
  uint64_t errors = 0;       // non-zero results
  uint64_t nanoseconds = 0;  // spent in handle_event (with its lock and failure log line)
  uint64_t committed = 0;    // of the events, how many the module made durable
};

// The records one module refused (a non-zero handle_event result), by the
// index of their hand-over (1 for the first record handed). A refused record
// is never retried, so it is settled at once; a module's count of what it
// made durable leaves it out, and the refused records turn that count into
// a position among the records handed (refused_position).
struct RefusedRecords {
  uint64_t settled = 0;          // refused records at or below the last position found
  std::deque<uint64_t> indices;  // above it, ascending
};

// The position of the committed-th record module did not refuse, extended
// over the refused records right behind it; indices it passes are pruned.
uint64_t refused_position(RefusedRecords &refused, uint64_t committed);

// Where the stop stands (stop.cc has the whole machine).
enum class StopStage : int {
  kRunning,     // serving
  kDraining,    // orderly stop: intake stopped, held records handed over
  kCleaningUp,  // orderly stop: every record delivered; module_cleanup runs
  kCleanedUp,   // orderly stop: every module cleaned up and closed
  kEnding,      // the process ends: no module code is called any more
};

// One loaded handler module, owned by EvtServer::modlist.
struct OrvikEHModule {
  char *modulepath = nullptr;  // owned
  char *moduleargs = nullptr;  // owned, null when the MODULE line has no argument
  void *module = nullptr;      // dlopen handle
  int (*module_init)(char *args) = nullptr;
  int (*handle_event)(EventData *event) = nullptr;
  int (*module_cleanup)() = nullptr;
  int (*module_reopen)() = nullptr;          // optional: reopens the module's files
  uint64_t (*module_committed)() = nullptr;  // optional: null commits on return
  Mutex mutex;                               // held around each handle_event call
  RefusedRecords refused;                    // processing thread only, with module_committed
  uint64_t usecondssum = 0;                  // microseconds since the last mean report
  uint64_t eventsprocessed = 0;              // records handed to the module
  ModuleCounters counters;                   // processing thread only
};

struct AckStream;

// How a connection speaks, decided once its handshake is done.
enum ConnMode : int {
  kModeUndecided = 0,  // handshake not finished (calloc's zero)
  kModePlain,          // records only, nothing written back
  kModeHello,          // acknowledged: the hello is being read
  kModeAcked,          // acknowledged: records follow the hello
};

// One client connection's record assembly buffer, given to comm_group_add as
// the channel's argument; zero-filled by calloc. A record that is complete
// but could not be stored (the pool is at its cap) stays here with len ==
// eventsize and stalled set until a queue comes back. Every open
// connection's buffer is on the server's list of connections (main thread
// only), which the orderly stop walks.
struct ConnBuffer {
  int len;
  // The current record is assembled in the first eventsize bytes (the hello
  // in the first kHelloSize); the queued view adds the origin right behind
  // it, so that one copy stores both. It stays zero for plain connections.
  union {
    char buffer[kConnBufferSize];
    EventData record;
    QueuedRecord queued;
  };
  bool stalled;
  // Beyond the record: who the connection is, for log lines and the
  // per-address cap, and when it last delivered a record, for IDLETIMEOUT.
  // Connections are also listed oldest delivery first (EvtServer::idle_oldest).
  char peer[kPeerAddressSize];  // "" when the system could not tell
  int64_t last_record_ns;       // intake_clock_ns at accept or at the last record
  ConnBuffer *older;
  ConnBuffer *newer;
  CommChannel *channel;
  ConnBuffer *prev;
  ConnBuffer *next;
  bool drained;  // the orderly stop took every whole record it held
  // The acknowledged protocol (main thread only).
  ConnMode mode;
  AckStream *stream;       // set after a good hello
  uint64_t next_sequence;  // of the next record on this connection
  uint64_t acknowledged;   // the position last sent
  bool frame_waiting;      // on AckState::waiting
  bool gap_logged;         // one line per connection
};

// One stream of the de-duplication table (main thread only).
struct AckStream {
  StreamId id = {};
  uint64_t highest_read = 0;  // highest sequence read so far
  uint64_t durable = 0;       // every record up to it is durable
  std::vector<ConnBuffer *> connections;
  std::list<AckStream *>::iterator idle_position;  // valid while on_idle_list
  bool on_idle_list = false;
  bool advanced = false;  // while its new position waits to be sent
  uint64_t refused = 0;   // a module refused this record: the position stays below it
};

struct StreamIdHash {
  size_t operator()(const StreamId &id) const noexcept {
    uint64_t a = 0, b = 0;
    __builtin_memcpy(&a, id.data(), 8);
    __builtin_memcpy(&b, id.data() + 8, 8);
    return static_cast<size_t>(a ^ (b * 0x9e3779b97f4a7c15ull));
  }
};

// A stream's new durable position, from the processing thread.
// With refused set, a module refused the record sequence instead: its
// sender is to resend it.
struct DurableUpdate {
  StreamId id;
  uint64_t sequence;
  bool refused = false;
};

// The acknowledged protocol's state.
struct AckState {
  // Main thread.
  long maxstreams = kDefaultMaxStreams;
  std::unordered_map<StreamId, AckStream, StreamIdHash> streams;
  std::list<AckStream *> idle;            // streams without a connection, least recently used first
  std::vector<ConnBuffer *> connections;  // every connection after a good hello
  std::vector<ConnBuffer *> waiting;      // frames that wait for an earlier one to leave
  bool inqcurrent_acked = false;          // the current queue holds acknowledged records
  bool stopping = false;                  // the orderly stop no longer reads
  orvik::OncePerEpisode bad_hello;        // one line per episode of bad hellos
  orvik::OncePerEpisode no_memory;
  orvik::OncePerEpisode refused_record;  // one line per episode of refused records
  uint64_t frames_sent = 0;
  uint64_t duplicates = 0;

  // From the processing thread to the main thread.
  Mutex mutex;
  std::vector<DurableUpdate> updates GUARDED_BY(mutex);

  // Processing thread: acknowledged records handed to the modules and not
  // yet durable, in delivery order. An entry is a run of one stream's
  // records handed one after the other with consecutive sequences: once
  // the first N records handed are durable, so is every sequence of the
  // run whose record was handed among them.
  struct Pending {
    uint64_t first_handed;
    uint64_t first_sequence;
    uint64_t last_handed;
    uint64_t last_sequence;
    StreamId id;
  };
  std::deque<Pending> pending;
  std::vector<DurableUpdate> outgoing;  // found durable, not yet published
  // Streams with a refused record whose resend has not come yet: nothing
  // of theirs from it on is acknowledged until the resend is handed.
  std::vector<DurableUpdate> held;
  bool tracking_failed = false;  // no memory: nothing is acknowledged any more
  int64_t next_poll = 0;         // monotonic ns
};

struct EvtServer {
  CommModule *cm = nullptr;
  Attribute *modattrib = nullptr;
  CommChannel *ccs = nullptr;
  CommGroup *cg = nullptr;
  Mutex modmutex;
  SList *modlist GUARDED_BY(modmutex) = nullptr;
  int serverport = kDefaultPort;
  unsigned long flags = 0;
  unsigned long conncount = 0;
  char config_file[kPathSize] = {};
  char log_file[kPathSize] = {};
  pthread_attr_t threadattr = {};
  Mutex procmutex;
  CondVar proccond;
  pthread_t evtproc_threadid = {};
  int eventsize = EVENTDATA_SIZE;
  Mutex logmutex;
  char logbuffer[kLogBufferSize] GUARDED_BY(logmutex) = {};
  FILE *logfile GUARDED_BY(logmutex) = nullptr;
  LogLimiter loglimiter GUARDED_BY(logmutex);
  // log_file made absolute when it is opened, for reopening it after the
  // daemon has changed its folder.
  std::string log_path;  // main thread only
  // Kept wider than int so that a configured size is checked in full.
  long queuesize = kDefaultQueueSize;
  int queuecount = kInitialQueueCount;
  Mutex inqmutex;
  SList *inqlist GUARDED_BY(inqmutex) = nullptr;
  SQueue *inqcurrent = nullptr;  // main thread only
  Mutex outqmutex;
  SList *outqlist GUARDED_BY(outqmutex) = nullptr;

  // Beyond the basic record: the pool's cap and the flush timer.
  long maxqueues = -1;              // -1 until configured or defaulted; 0 = no cap
  double queueflush = 0;            // seconds; 0 = never
  std::atomic<long> queuetotal{0};  // queues in existence
  // Full queues handed over and not yet taken; the processing thread decides
  // whether to wait by this count, which the main thread raises under the
  // same lock before signalling, so no wake-up is lost.
  unsigned long procpending GUARDED_BY(procmutex) = 0;
  bool procwaiting GUARDED_BY(procmutex) = false;
  // Intake is paused while a complete record has no queue to go to.
  std::atomic<bool> intake_paused{false};
  // SIGUSR1: the processing thread calls every module_reopen before its
  // next record; raised by the main thread, which then wakes it.
  std::atomic<bool> modules_reopen_due{false};
  std::vector<ConnBuffer *> stalled;  // main thread only, oldest first
  AckState ack;
  ConnBuffer *connections = nullptr;  // main thread only: every open connection
  int64_t inqcurrent_since = 0;       // monotonic ns of the current queue's first record; 0: none

  // The stop (stop.cc). SHUTDOWNDRAIN: on SIGTERM or SIGINT the main thread
  // hands every held record over and waits; the processing thread delivers
  // them, then runs the modules' cleanup.
  double shutdowndrain = 0;  // seconds; 0 = stop at once
  std::atomic<StopStage> stop_stage{StopStage::kRunning};
  // Set when the last held record has been handed over: once the full
  // queues are drained, the processing thread cleans the modules up.
  bool drain_intake_done GUARDED_BY(procmutex) = false;
  std::atomic<int> cleanup_failures{0};  // modules whose module_cleanup failed
  // Wakes the main thread while it stops: posted by the processing thread
  // for each queue it gives back and when the cleanup is done, and by the
  // signal handler.
  Semaphore stop_wakeup;

  // REQUIREMODULES yes: a MODULE line that loads nothing ends start-up.
  bool requiremodules = false;
  // -t: check the configuration as a start would, then exit.
  bool check_only = false;
  // The detached process tells the waiting parent how start-up ended
  // through this pipe (-1: no parent waits).
  int startup_report_fd = -1;

  // The listener's address (empty: every address) and the connection cap.
  char eventaddress[kPathSize] = {};
  long maxconnections = kDefaultMaxConnections;  // 0 = no cap
  long connections_open = 0;                     // main thread: accepted, not yet closed
  bool listener_resting = false;                 // main thread: out of the group at the cap

  // Connections a hostile host cannot exhaust: a cap per client address,
  // and connections that deliver nothing closed after a while.
  long maxperaddress = 0;       // MAXCONNECTIONSPERADDRESS; 0 = no cap
  double idletimeout = 0;       // IDLETIMEOUT seconds; 0 = never
  double handshaketimeout = 0;  // HANDSHAKETIMEOUT seconds; 0 = the comm layer's 10 s
  struct AddressCount {
    long open = 0;          // accepted and not yet closed
    bool refusing = false;  // refused since the last accept: one log line per episode
  };
  // Looked up by the text of an address without making a string of it.
  struct AddressHash {
    using is_transparent = void;
    size_t operator()(std::string_view address) const {
      return std::hash<std::string_view>{}(address);
    }
  };
  std::unordered_map<std::string, AddressCount, AddressHash, std::equal_to<>>
      per_address;                    // main thread, with a cap only
  ConnBuffer *idle_oldest = nullptr;  // main thread
  ConnBuffer *idle_newest = nullptr;  // main thread

  // Statistics. Each count lives with the thread that owns its data, so
  // counting takes no lock: the main thread's intake figures are read by
  // the main thread itself; the processing thread publishes its figures
  // into `published` now and then (stats.cc), and the main thread copies
  // them from there once per interval.
  double statsinterval = 0;        // seconds between log lines; 0 = none
  char statsfile[kPathSize] = {};  // Prometheus text file; empty = none
  struct IntakeCounters {
    uint64_t received = 0;     // complete records read from clients
    int64_t paused_since = 0;  // monotonic ns when intake paused, 0 while it runs
    uint64_t paused_ns = 0;    // ended pauses
  } intake;                    // main thread only
  struct ProcessingCounters {
    // Records that passed the whole module chain. The processing thread,
    // its only writer, counts with a plain load and store (lock-free on
    // both targets, no read-modify-write); the orderly stop reads it from
    // the main thread.
    std::atomic<uint64_t> handled{0};
    uint64_t published = 0;    // handled at the last publication
    int64_t next_publish = 0;  // monotonic ns
    bool lag_open = false;     // a module had not committed all at the last publication
  } processing;                // processing thread only
  struct Published {
    uint64_t handled = 0;
    std::vector<ModuleCounters> modules;  // in load order
  };
  Mutex statsmutex;
  Published published GUARDED_BY(statsmutex);
  struct Reporter {
    std::vector<std::string> module_paths;  // in load order
    Published copy;                         // the last copy taken
    int64_t next_due = 0;                   // monotonic ns
    int64_t last_line_at = 0;
    uint64_t last_received = 0;
    uint64_t last_handled = 0;
    uint64_t last_paused_ns = 0;
    uint64_t last_frames = 0;
    uint64_t last_duplicates = 0;
    orvik::OncePerEpisode file_failure;  // one log line per failure episode
  } reporter;                            // main thread only

  // The service manager's watchdog (WatchdogSec of the unit), kept alive
  // from the main loop's tick.
  struct Watchdog {
    int64_t interval_ns = 0;  // between two keep-alives; 0 = no watchdog
    int64_t last_ping_ns = 0;
  } watchdog;  // main thread only
};

// The program's record; never destroyed, so that the processing thread may
// still use it while the process exits.
EvtServer &orvikevtd_server();

// ---- log.cc ----
// Opens log_file for appending; false when it cannot be opened.
bool log_open(EvtServer &server);
// Closes the log; later entries are not written.
void log_close(EvtServer &server);
// Writes buffered entries out (before the process forks).
void log_flush(EvtServer &server);
// Opens the log's path again (after it was renamed) and writes on there;
// 0, or the errno of the failed open (the log stays as it was).
int log_reopen(EvtServer &server);
// From now on repeated entries are held to a few a second (once the daemon
// serves).
void log_limit_repeats(EvtServer &server);
// Writes the line that counts the entries left out of a kind whose second
// has passed; called on every loop tick, so a flood that stops is summed up.
void log_summarize_left_out(EvtServer &server);
// Writes one entry: the local time stamp, then the formatted message cut to
// 255 characters and written verbatim. 1 (nothing written) for a null format
// or a closed log, else 0.
int log_entry(EvtServer &server, const char *format, ...) __attribute__((format(printf, 2, 3)));
int log_entry_v(EvtServer &server, const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));
// A start-up failure's detail (which file, and why): logged, and written to
// standard error as "orvikevtd: <message>" so that it reaches the journal
// (a configuration check's log is standard error already).
void log_startup_failure(EvtServer &server, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// Writes the log to stream instead of a file (a configuration check).
void log_use_stream(EvtServer &server, FILE *stream);

// ---- config.cc ----
// Parses the command line. -1: go on with start-up; otherwise the process
// ends with the returned status (usage or version already printed).
int parse_command_line(EvtServer &server, int argc, char **argv);
// Reads every directive and loads the modules (start-up steps 7 and 8).
// 0 when start-up goes on, else the exit status (2) after the failure has
// been logged and the configuration closed. Unknown, lower-case and
// repeated directives, tokens after a value and characters after a number
// are logged as warnings with their line; a numeric value that cannot work
// and, with REQUIREMODULES yes, a module that does not load end start-up.
int read_configuration(EvtServer &server);
// Loads the module named by one MODULE line (cut into tokens in place).
// Empty when it loaded; otherwise what failed, already logged.
std::string load_module_line(EvtServer &server, char *line);
// True when at least one module is loaded.
bool any_module_loaded(EvtServer &server);
// Frees a module record and its strings (not its handle).
void free_module_record(OrvikEHModule *module);
// The pool cap used when MAXQUEUES is absent, for queues of queuesize items
// of item_size bytes (queue_item_size).
long default_max_queues(long queuesize, int item_size);

// ---- queues.cc ----
// Makes the initial queues under inqmutex. 0, or the first failing status:
// 22 for a size of 0 or less, or one whose buffer does not fit the address
// space; 12 when a buffer cannot be allocated.
int queues_allocate(EvtServer &server, long qsize, int qcount);
// Frees every queue in outqlist and inqlist (not inqcurrent).
int queues_deallocate(EvtServer &server);
// Bytes of one queue item: a record and its origin (QueuedRecord).
int queue_item_size(const EvtServer &server);
// Makes one empty queue of the configured size. 0, 22 or 12 as above.
int queue_make(EvtServer &server, SQueue **queue);
// Copies one complete record into the current queue, switching queues when
// it is full. True when the record is stored (or, after a failure already
// logged, lost); false when no queue can take it now because the pool is at
// its cap or a queue could not be made: the caller keeps the record and
// stores it again once a queue comes back.
bool queues_store_record(EvtServer &server, const QueuedRecord *record);
// Hands the current queue, if it holds records, to the processing thread and
// makes the next queue current (or none, when none is available).
void queues_hand_over_current(EvtServer &server);
// The orderly stop: hands the current queue over if it holds records, makes
// no new one, and tells the processing thread that nothing more will come.
void queues_finish_intake(EvtServer &server);
// Processing side: true once queues_finish_intake ran.
bool queues_intake_finished(EvtServer &server);
// Hands over the current queue when its first record is QUEUEFLUSH old.
void queues_flush_if_due(EvtServer &server);
// Processing side: waits until a full queue is handed over and takes it
// (null when the list held none, when wait_ms (-1: no limit) passed first,
// when none is left after the orderly stop finished intake, or when a
// module reopen is due).
// before_wait, when given, is called (holding no lock) before the thread
// would wait.
SQueue *queues_take_full(EvtServer &server, void (*before_wait)(EvtServer &) = nullptr,
                         long wait_ms = -1);
// Processing side: appends a drained queue to inqlist and wakes the main
// thread when intake is waiting for a queue.
void queues_return_empty(EvtServer &server, SQueue *queue);

// ---- intake.cc ----
// Reads up to *len bytes from source into buffer and sets *len to the bytes
// read; 0 when bytes were read, else a comm_read result.
using IntakeReadFn = int (*)(void *source, char *buffer, int *len);
// Reads at most the rest of conn's current record through read (comm_read on
// the connection's channel in the daemon). When that completes the record,
// converts it to host order and stores it, or, with no queue to take it,
// keeps it in conn and pauses intake. Returns read's result; conn is
// unchanged unless it is 0.
int intake_read(EvtServer &server, ConnBuffer *conn, IntakeReadFn read, void *source);
// Stores the records of stalled connections once queues are available again
// and resumes reading when none is left.
void intake_resume(EvtServer &server);
// Main thread, on every loop tick: closes the connections that delivered no
// complete record for IDLETIMEOUT seconds.
void intake_close_idle(EvtServer &server);
// The clock of IDLETIMEOUT: monotonic nanoseconds less the time intake was
// paused (a connection is not idle while the daemon does not read it).
int64_t intake_clock_ns(const EvtServer &server);
// Closes an open connection from outside its own callback (main thread); a
// record it held stalled goes with it.
void intake_close(EvtServer &server, ConnBuffer *conn);
// The orderly stop, after the last socket read: stores every whole record
// that open connections hold already decrypted (their buffers, the comm
// layer's and what TLS read ahead), in each connection's order. True when
// all are stored; false while one waits for a queue (call again once one
// came back). A record not yet complete is left.
bool intake_collect_buffered(EvtServer &server);
// The orderly stop out of time: counts the whole records still held on
// connections (not stored) as received, so that they are counted as not
// handed to the modules.
void intake_count_buffered(EvtServer &server);

// ---- processing.cc ----
// Starts the detached processing thread for server; the thread library's result.
int processing_start(EvtServer &server);
// Hands one record to every module in load order, timing each call and
// counting it; origin (when given) is what orvikevtd_event_origin reports
// meanwhile. Returns the clock reading (monotonic_ns) after the last
// module, 0 when there is none.
int64_t processing_deliver(EvtServer &server, EventData *record,
                           const RecordOrigin *origin = nullptr);
// Main thread: asks the processing thread to call every module's
// module_reopen between two records, and wakes it when it waits.
void processing_request_reopen(EvtServer &server);
// Processing thread: calls module_reopen of every module that has it when
// a reopen is due, under the locks of a delivery.
void processing_reopen_if_due(EvtServer &server);
// Empties modlist under modmutex, then calls each module's module_cleanup and
// closes it: no module is called after its cleanup. A cleanup that fails is
// logged naming its module; returns how many failed. Does nothing once the
// process ends (stop_ending). With committed (only on the processing thread,
// the one that may call module_committed), sets it to how many records every
// module had committed after its cleanup (0 without modules).
int modules_cleanup(EvtServer &server, uint64_t *committed = nullptr);

// ---- signals.cc ----
// Installs signal_handler for SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE and
// SIGUSR1, in that order, and ignores SIGCHLD.
void signals_install();
// Acts on the signals noted since the last call: logs each; a terminating one
// goes to the stop (stop_on_signal), which does not return; SIGUSR1 reopens
// the log and has the modules reopen their files.
void signals_handle_caught(EvtServer &server);
// Wake-up callback of the comm loop: caught signals, then stalled intake.
void on_loop_wakeup(CommGroup *group, void *arg);
// Tick callback: caught signals, the QUEUEFLUSH timer, then statistics.
void on_loop_tick(CommGroup *group, void *arg);

// ---- stop.cc: every way the daemon ends, one state machine ----
// Main thread, for SIGINT, SIGQUIT or SIGTERM (already logged): starts the
// stop, or, during an orderly stop, stops at once.
[[noreturn]] void stop_on_signal(EvtServer &server, int sig);
// Main thread: comm_group_loop returned by itself.
[[noreturn]] void stop_after_loop(EvtServer &server);
// Processing thread: true once the process ends; no module may be called.
bool stop_ending(const EvtServer &server);
// Processing thread: a queue came back; wakes a main thread that stops.
void stop_note_progress(EvtServer &server);
// Processing thread, in the orderly stop, once every record handed over has
// been delivered: cleans the modules up (unless the process ends already).
void stop_clean_up_modules(EvtServer &server);
// Where protocols that talk back to clients join the stop. Each runs on the
// main thread with every connection still open (server.connections, each
// ConnBuffer with its channel); the comm loop no longer dispatches, so they
// write with comm_write, which waits until all is written, or with
// comm_send and then comm_flush (or comm_wait_received, when the bytes must
// reach the peer although the process ends right after) with a time limit:
// what they do counts
// against the stop's bound, so keep it short.
//  (c) the stop has begun, before any other step of it: a terminating
//      signal is acted on (orderly stop or at once), or the comm loop
//      returned by itself.
void stop_hook_begun(EvtServer &server);
//  (a) orderly stop: intake has stopped reading; the listener is closed and
//      no socket is read again (records already decrypted are still handed
//      over after this point).
void stop_hook_intake_stopped(EvtServer &server);
//  (b) orderly stop: every module is cleaned up and closed; the process
//      ends next. Whatever is done here must end by deadline_ns (monotonic).
void stop_hook_modules_cleaned_up(EvtServer &server, int64_t deadline_ns);

// ---- stats.cc ----
// Seconds between two statistics reports: STATSINTERVAL, or 1 when only
// STATSFILE is set; 0 when there are none.
double stats_period(const EvtServer &server);
// Sizes the published figures for the loaded modules (before the
// processing thread starts).
void stats_prepare(EvtServer &server);
// Main thread: intake paused or resumed at the pool's cap.
void stats_intake_paused(EvtServer &server);
void stats_intake_resumed(EvtServer &server);
// Processing thread: publishes its figures when they changed and a
// publication is due (now: monotonic ns, or 0 to read the clock), or at
// once when idle is set (the thread is about to wait).
void stats_publish(EvtServer &server, int64_t now, bool idle);
// Main thread, on every loop tick: the log line and the file when due.
void stats_tick(EvtServer &server);

// ---- check.cc ----
// Loads the comm plug-in with the configured options. Its result; on
// failure the reason is logged first: what the layer refused, or which
// certificate, key or CA file it could not use and why.
int load_comm_layer(EvtServer &server);
// Makes the initial queues; false, with the reason logged, when they
// cannot be made.
bool allocate_queues(EvtServer &server);
// Logs that events are received and discarded when no module is loaded.
void log_if_no_module(EvtServer &server);
// -t: checks the configuration the way a start would (the log file, every
// directive, every module loaded and cleaned up again, the certificate and
// key, the address, the queues), with the log on standard error, and ends
// the process: 0 when a start would go on, 2 when not.
[[noreturn]] void check_and_exit(EvtServer &server);

// ---- notify.cc ----
// Notifications to a service manager that waits for them (NOTIFY_SOCKET);
// without one they do nothing.
// Reads the watchdog's timeout, when the manager set one.
void notify_watchdog_prepare(EvtServer &server);
// Seconds between two keep-alives; 0 without a watchdog.
double notify_watchdog_seconds(const EvtServer &server);
// The daemon serves ("System ready.").
void notify_ready();
// The stop has begun.
void notify_stopping();
// Main loop tick: a keep-alive when one is due.
void notify_watchdog(EvtServer &server);

// ---- ack.cc (main thread) ----
// read_from_connection's result for a refused hello: the connection closes.
inline constexpr int kHelloRefused = -1;
// Decides, once the handshake is done, whether conn speaks the
// acknowledged protocol (its client got it selected) or plain records.
void ack_decide_mode(ConnBuffer *conn, CommChannel *cc);
// Reads at most the rest of the hello; when it is complete, takes it (the
// connection joins its stream) or refuses it (kHelloRefused, logged once per
// episode). Otherwise read's result.
int ack_read_hello(EvtServer &server, ConnBuffer *conn, IntakeReadFn read, void *source);
// A complete record on an acknowledged connection: numbers it and sets its
// origin. False when its stream has read it before: it is dropped.
bool ack_admit_record(EvtServer &server, ConnBuffer *conn);
// After a read on an acknowledged connection: when nothing more is
// buffered, the current queue goes to the processing thread at once.
void ack_burst_end(EvtServer &server, CommChannel *cc);
// The connection is closing: it leaves its stream.
void ack_connection_closed(EvtServer &server, ConnBuffer *conn);
// Takes the processing thread's durable positions and, when send is set,
// sends them.
void ack_apply_updates(EvtServer &server, bool send = true);
// Sends the frames that waited for an earlier one to leave.
void ack_send_waiting(EvtServer &server);
// The orderly stop stops reading: every acknowledged connection is told
// (status 1) with its current position.
void ack_announce_stop(EvtServer &server);
// The orderly stop after the modules' cleanup: every acknowledged
// connection gets its final position (status 1), written by deadline_ns
// (monotonic) at the latest.
void ack_send_final_positions(EvtServer &server, int64_t deadline_ns);

// ---- durable.cc (processing thread) ----
// The origin orvikevtd_event_origin reports (null: none).
void durable_set_origin(const RecordOrigin *origin);
// An acknowledged record has passed every module as the handed-th record.
// refused: a module refused it.
void durable_note_handed(EvtServer &server, const RecordOrigin &origin, uint64_t handed,
                         bool refused);
// module refused the record it was just handed (processing thread).
void durable_note_refused(EvtServer &server, OrvikEHModule *module);
// How many of the records handed to module it has committed (all of them
// for a module without module_committed). Processing thread, modmutex held.
uint64_t module_committed_now(OrvikEHModule *module);
// Asks every module what it committed (counters.committed) and returns the
// number of records durable in all of them; 0 without modules.
uint64_t modules_committed(EvtServer &server);
// The first durable records handed are durable: their positions go to the
// main thread.
void durable_release(EvtServer &server, uint64_t durable);
// True while acknowledged records wait to be found durable.
bool durable_waiting(const EvtServer &server);
// How long the thread may wait for a queue before it asks the modules
// again: -1 (no limit) when nothing waits for them.
long durable_poll_interval_ms(const EvtServer &server);
// Asks the modules and releases what became durable.
void durable_poll(EvtServer &server);

// ---- daemon.cc ----
// The whole program: start-up, then the loop. Returns only through exit.
int orvikevtd_run(int argc, char **argv);

}  // namespace orvikevtd

extern "C" {
// Logs one entry through the program's record (see log_entry).
int orvikevtd_log_entry(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Creates the initial queues of the program's record.
int orvikevtd_queues_allocate(int qsize, int qcount);
// Frees the queues waiting in the program's lists.
int orvikevtd_queues_deallocate();
// The processing thread; arg null means the program's record.
void *orvikevtd_event_processing_thread(void *arg);
// The comm group's I/O callback: accepts on the listener, assembles records
// on connections.
int handle_connection_io(CommChannel *cc, int iotype, void *ccarg);
// Notes the signal and wakes the comm loop; async-signal-safe.
void signal_handler(int sig);
// For modules, inside handle_event: 0 and the record's stream id and
// sequence when it came over the acknowledged protocol; 2 when it came from
// a client without it (or outside handle_event); 22 for null arguments.
int orvikevtd_event_origin(unsigned char stream_id[16], uint64_t *sequence);
}

#endif  // ORVIKEVTD_EVTSERVER_H_
