// The shipped handler modules, loaded with dlopen and driven through the
// module contract the way the daemon drives them.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <orvik/event_p.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sequence.h"
#include "test_files.h"
#include "test_target.h"

namespace {

// What the test host's orvikevtd_event_origin answers for the record being
// handled: nothing set means a record without origin.
struct Origin {
  std::array<unsigned char, 16> stream_id;
  uint64_t sequence;
};
std::mutex origin_mutex;
std::optional<Origin> host_origin;

// Hands the record to the module as the daemon would for a record with that
// origin (or none).
template <typename Module>
int handle_from(Module &module, std::optional<Origin> origin, const EventData &record) {
  {
    std::lock_guard lock(origin_mutex);
    host_origin = origin;
  }
  int result = module.handle(record);
  std::lock_guard lock(origin_mutex);
  host_origin.reset();
  return result;
}

using orvikevtd_test::lines_of;
using orvikevtd_test::read_file;
using orvikevtd_test::TempDir;

// One loaded module; unloaded at the end of the test.
class Module {
 public:
  explicit Module(const char *path) : handle_(dlopen(path, RTLD_NOW)) {
    if (handle_ == nullptr) return;
    init_ = reinterpret_cast<int (*)(char *)>(dlsym(handle_, "module_init"));
    handle_event_ = reinterpret_cast<int (*)(EventData *)>(dlsym(handle_, "handle_event"));
    cleanup_ = reinterpret_cast<int (*)()>(dlsym(handle_, "module_cleanup"));
    committed_ = reinterpret_cast<uint64_t (*)()>(dlsym(handle_, "module_committed"));
  }
  ~Module() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  bool loaded() const { return init_ && handle_event_ && cleanup_; }
  int init(const std::string &args) { return init_(const_cast<char *>(args.c_str())); }
  int init_without_argument() { return init_(nullptr); }
  int handle(EventData record) { return handle_event_(&record); }
  int cleanup() { return cleanup_(); }
  bool reports_commits() const { return committed_ != nullptr; }
  uint64_t committed() { return committed_(); }

 private:
  void *handle_;
  int (*init_)(char *) = nullptr;
  int (*handle_event_)(EventData *) = nullptr;
  int (*cleanup_)() = nullptr;
  uint64_t (*committed_)() = nullptr;
};

EventData event(const char *host, const char *object, uint32_t flags, uint32_t rc,
                uint64_t timestamp, const std::string &data) {
  EventData record = {};
  std::strncpy(record.hostname, host, sizeof(record.hostname));
  std::strncpy(record.object, object, sizeof(record.object));
  record.flags = flags;
  record.rc = rc;
  record.timestamp = timestamp;
  record.datalen = static_cast<uint32_t>(data.size());
  std::memcpy(record.data, data.data(), data.size());
  return record;
}

// The modules' log lines, collected by the test's orvikevtd_log_entry.
std::mutex log_mutex;
std::string log_text;

std::string logged() {
  std::lock_guard lock(log_mutex);
  return log_text;
}

bool wait_for(const std::function<bool()> &condition,
              std::chrono::seconds timeout = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + orvik_test::scaled(timeout);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

TEST(EventLogModule, WritesOneEscapedLinePerEventAndClosesAtCleanup) {
  TempDir dir;
  Module module(EVENTLOG_MODULE);
  ASSERT_TRUE(module.loaded());
  ASSERT_EQ(module.init(dir.file("events")), 0);
  EXPECT_EQ(module.handle(event("web-1", "disk", 0x10, 7, 42, "91% \"full\"\\\n\t\x7f")), 0);
  EventData full = event("", "", 0, 0, 0, "");
  std::memset(full.hostname, 'h', sizeof(full.hostname));  // no terminating zero
  full.datalen = 1000;                                     // more than the field holds
  std::memset(full.data, 'd', sizeof(full.data));
  EXPECT_EQ(module.handle(full), 0);
  EXPECT_EQ(module.cleanup(), 0);
  std::vector<std::string> lines = lines_of(read_file(dir.file("events")));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(19),
            R"( ts=42 host=web-1 object=disk flags=0x00000010 rc=7 data="91% \"full\"\\\n\t\x7f")");
  EXPECT_EQ(lines[1].substr(19), " ts=0 host=" + std::string(64, 'h') +
                                     " object= flags=0x00000000 rc=0 data=\"" +
                                     std::string(256, 'd') + "\"");
}

TEST(EventLogModule, RefusesAMissingOrUnwritablePath) {
  TempDir dir;
  Module module(EVENTLOG_MODULE);
  ASSERT_TRUE(module.loaded());
  EXPECT_EQ(module.init_without_argument(), EINVAL);
  EXPECT_NE(module.init(dir.file("no/such/folder/events")), 0);
}

TEST(EventLogModule, CommitsTheLinesItSyncedAndAllOfThemAtCleanup) {
  TempDir dir;
  Module module(EVENTLOG_MODULE);
  ASSERT_TRUE(module.loaded() && module.reports_commits());
  ASSERT_EQ(module.init(dir.file("events")), 0);
  for (uint32_t n = 0; n < 3; ++n) ASSERT_EQ(module.handle(event("h", "o", 0, n, n, "")), 0);
  // The flush interval (a second) brings them to disk.
  EXPECT_TRUE(wait_for([&] { return module.committed() == 3; }));
  ASSERT_EQ(module.handle(event("h", "o", 0, 3, 3, "")), 0);
  EXPECT_EQ(module.cleanup(), 0);
  EXPECT_EQ(module.committed(), 4u);
  EXPECT_EQ(lines_of(read_file(dir.file("events"))).size(), 4u);
}

TEST(EventLogModule, AFileThatTakesNothingCommitsNothing) {
  Module module(EVENTLOG_MODULE);
  ASSERT_TRUE(module.loaded() && module.reports_commits());
  ASSERT_EQ(module.init("/dev/full"), 0);
  size_t before = logged().size();
  for (uint32_t n = 0; n < 3; ++n) ASSERT_EQ(module.handle(event("h", "o", 0, n, n, "")), 0);
  ASSERT_TRUE(wait_for([&] {
    return logged().find("orvik_eventlog: cannot write /dev/full: ", before) != std::string::npos;
  }));
  EXPECT_EQ(module.committed(), 0u);
  module.cleanup();
  EXPECT_EQ(module.committed(), 0u);
}

TEST(CountModule, CountsAndChecksEachGeneratedStream) {
  TempDir dir;
  Module module(COUNT_MODULE);
  ASSERT_TRUE(module.loaded());
  ASSERT_EQ(module.init(dir.file("count")), 0);
  EXPECT_NE(read_file(dir.file("count")).find("count=0\n"), std::string::npos);
  const uint32_t sequenced = orvikevt::kSequencedFlag;
  module.handle(event("a", "first", sequenced, 1, 0, "xy"));
  module.handle(event("b", "o", sequenced, 2, 0, ""));
  module.handle(event("a", "o", sequenced, 1, 1, ""));
  module.handle(event("a", "o", sequenced, 1, 3, "abc"));  // 2 is missing
  module.handle(event("b", "o", sequenced, 2, 1, ""));
  module.handle(event("plain", "last", 0, 9, 77, ""));  // not generated: not checked
  EXPECT_EQ(module.cleanup(), 0);
  std::string figures = read_file(dir.file("count"));
  for (const char *expected : {"count=6\n", "data_bytes=5\n", "streams=2\n", "sequence_errors=1\n",
                               "first=a|first|2147483648|1|0\n", "last=plain|last|0|9|77\n"}) {
    EXPECT_NE(figures.find(expected), std::string::npos) << expected << " in\n" << figures;
  }
}

TEST(CountModule, RefusesAMissingOrUnwritablePath) {
  TempDir dir;
  Module module(COUNT_MODULE);
  ASSERT_TRUE(module.loaded());
  EXPECT_EQ(module.init_without_argument(), EINVAL);
  EXPECT_NE(module.init(dir.file("no/such/folder/count")), 0);
}

// ---- orvik_sqlite ----

namespace sqlite_module {

// A connection of the test's own to the module's database.
class Db {
 public:
  explicit Db(const std::string &path) {
    sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_busy_timeout(db_, 5000);
  }
  ~Db() { sqlite3_close_v2(db_); }
  bool exec(const std::string &sql) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  // The first column of every row, as text ("" for NULL); {"error"} when the
  // query fails.
  std::vector<std::string> column(const std::string &sql) {
    std::vector<std::string> values;
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      return {"error: " + std::string(sqlite3_errmsg(db_))};
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
      const unsigned char *text = sqlite3_column_text(statement, 0);
      int length = sqlite3_column_bytes(statement, 0);
      values.emplace_back(text != nullptr ? reinterpret_cast<const char *>(text) : "",
                          static_cast<size_t>(length));
    }
    sqlite3_finalize(statement);
    return values;
  }
  std::string value(const std::string &sql) {
    std::vector<std::string> values = column(sql);
    return values.empty() ? "none" : values[0];
  }

 private:
  sqlite3 *db_ = nullptr;
};

// The module, cleaned up at the end of the test even when it fails early
// (its writer thread must end before the module is closed).
class Sqlite {
 public:
  Sqlite() : module_(SQLITE_MODULE) {}
  ~Sqlite() {
    if (running_) module_.cleanup();
  }
  bool loaded() const { return module_.loaded(); }
  int init(const std::string &args) {
    int result = module_.init(args);
    running_ = result == 0;
    return result;
  }
  int handle(const EventData &record) { return module_.handle(record); }
  uint64_t committed() { return module_.committed(); }
  int cleanup() {
    running_ = false;
    return module_.cleanup();
  }

 private:
  Module module_;
  bool running_ = false;
};

EventData numbered(uint64_t n) {
  // Rows of about 300 bytes: a batch of 20 needs more than one page.
  EventData record = event("host", "", 0, 0, n, std::string(256, 'd'));
  std::snprintf(record.object, sizeof(record.object), "object-%llu",
                static_cast<unsigned long long>(n));
  return record;
}

std::string timestamps(Db &db) {
  std::string all;
  for (const std::string &value : db.column("SELECT timestamp FROM events ORDER BY id")) {
    all += value + ",";
  }
  return all;
}

std::string expected_timestamps(uint64_t from, uint64_t to) {
  std::string all;
  for (uint64_t n = from; n < to; ++n) all += std::to_string(n) + ",";
  return all;
}

TEST(SqliteModule, RefusesBadArgumentsWithALineSayingWhich) {
  TempDir dir;
  std::string db = dir.file("events.db");
  struct Case {
    std::string args, line;
  } cases[] = {
      {"", "(orvik_sqlite) needs the database file as its argument\n"},
      {"?batch=10", "(orvik_sqlite) needs the database file as its argument\n"},
      {db + "?bogus=1", "(orvik_sqlite) unknown setting 'bogus'\n"},
      {db + "?batch=0", "(orvik_sqlite) setting batch wants a whole number from 1 to 100000\n"},
      {db + "?flush_ms=2x",
       "(orvik_sqlite) setting flush_ms wants a whole number from 1 to 60000\n"},
      {db + "?max_rows=-1", "(orvik_sqlite) setting max_rows wants a whole number from 0 to "},
      {db + "?index=maybe", "(orvik_sqlite) setting index wants on or off\n"},
      {db + "?batch=10&batch=20", "(orvik_sqlite) setting batch given twice\n"},
      {db + "?max_age", "(orvik_sqlite) setting max_age has no value\n"},
      {db + "?max_age=", "(orvik_sqlite) setting max_age has no value\n"},
      {db + "?=5", "(orvik_sqlite) setting without a name: '=5'\n"},
      {db + "?batch=100&buffer=99", "(orvik_sqlite) setting buffer must be at least batch\n"},
      {dir.file("no/such/folder/events.db"), "(orvik_sqlite) cannot open " +
                                                 dir.file("no/such/folder/events.db") +
                                                 ": unable to open database file (14)\n"},
      {dir.path(), "(orvik_sqlite) cannot open " + dir.path()},
  };
  for (const Case &one : cases) {
    Sqlite module;
    ASSERT_TRUE(module.loaded());
    size_t before = logged().size();
    EXPECT_NE(module.init(one.args), 0) << one.args;
    EXPECT_NE(logged().find(one.line, before), std::string::npos)
        << one.args << " logged " << logged().substr(before);
  }
  EXPECT_FALSE(std::ifstream(db).good());  // nothing made for a bad setting
  if (geteuid() != 0) {                    // root writes anyway
    {
      Db made(db);
      made.exec("CREATE TABLE t (x)");
    }
    chmod(db.c_str(), 0444);
    Sqlite module;
    EXPECT_NE(module.init(db), 0);
    EXPECT_NE(logged().find("(orvik_sqlite) " + db + " is not writable\n"), std::string::npos);
  }
}

TEST(SqliteModule, StoresRowsInTheFixedSchemaInWalModeWithTheIndexUnlessTurnedOff) {
  TempDir dir;
  std::string path = dir.file("events.db");
  {
    Sqlite module;
    ASSERT_TRUE(module.loaded());
    ASSERT_EQ(module.init(path + "?flush_ms=5"), 0);
    for (uint64_t n = 0; n < 5; ++n) EXPECT_EQ(module.handle(numbered(n)), 0);
    Db reader(path);
    // Committed within the flush interval, readable while the module runs.
    EXPECT_TRUE(wait_for([&] { return reader.value("SELECT count(*) FROM events") == "5"; }));
    EXPECT_EQ(module.cleanup(), 0);
  }
  Db db(path);
  EXPECT_EQ(db.value("PRAGMA journal_mode"), "wal");
  EXPECT_EQ(db.value("PRAGMA user_version"), "2");
  EXPECT_EQ(db.column("SELECT name || ' ' || type || ' ' || \"notnull\" || ' ' || pk "
                      "FROM pragma_table_info('events')"),
            (std::vector<std::string>{"id INTEGER 0 1", "received INTEGER 1 0",
                                      "timestamp INTEGER 1 0", "flags INTEGER 1 0",
                                      "rc INTEGER 1 0", "hostname TEXT 1 0", "object TEXT 1 0",
                                      "data BLOB 1 0", "origin BLOB 0 0", "seq INTEGER 0 0"}));
  EXPECT_EQ(db.column("SELECT name FROM pragma_index_info('events_origin_seq')"),
            (std::vector<std::string>{"origin", "seq"}));
  EXPECT_EQ(db.value("SELECT \"unique\" || ' ' || partial FROM pragma_index_list('events') "
                     "WHERE name = 'events_origin_seq'"),
            "1 1");
  EXPECT_EQ(db.column("SELECT name FROM pragma_index_info('events_hostname_received')"),
            (std::vector<std::string>{"hostname", "received"}));
  EXPECT_EQ(db.value("SELECT group_concat(id) FROM events"), "1,2,3,4,5");
  EXPECT_EQ(timestamps(db), expected_timestamps(0, 5));
  {
    Sqlite module;
    ASSERT_EQ(module.init(path + "?index=off&batch=2"), 0);
    for (uint64_t n = 5; n < 8; ++n) EXPECT_EQ(module.handle(numbered(n)), 0);
    EXPECT_EQ(module.cleanup(), 0);  // writes the last partial batch
  }
  EXPECT_EQ(db.value("SELECT group_concat(name) FROM sqlite_master WHERE type = 'index'"),
            "events_origin_seq");
  EXPECT_EQ(db.column("SELECT next_id FROM orvik_state"), std::vector<std::string>{"9"});
  // Ids go on in arrival order after a restart.
  EXPECT_EQ(db.value("SELECT group_concat(id) FROM events"), "1,2,3,4,5,6,7,8");
  EXPECT_EQ(timestamps(db), expected_timestamps(0, 8));
}

// Another connection takes the database's write lock, then events 0 ..
// count-1 go to the module. Returns the log's length before them.
size_t handle_while_locked(Sqlite &module, Db &other, uint64_t count) {
  EXPECT_TRUE(other.exec("BEGIN IMMEDIATE"));
  size_t before = logged().size();
  for (uint64_t n = 0; n < count; ++n) EXPECT_EQ(module.handle(numbered(n)), 0);
  return before;
}

TEST(SqliteModule, WaitsOutAnotherWriterAndLosesNothing) {
  TempDir dir;
  std::string path = dir.file("events.db");
  Sqlite module;
  // The buffer takes every event: handle_event would wait otherwise.
  ASSERT_EQ(module.init(path + "?flush_ms=5&batch=10&buffer=50"), 0);
  Db other(path);
  size_t before = handle_while_locked(module, other, 50);
  ASSERT_TRUE(wait_for([&] {
    std::string lines = logged().substr(before);
    return lines.find("(orvik_sqlite) writing failed, retrying: ") != std::string::npos &&
           lines.find(path + ": database is locked (5)\n") != std::string::npos;
  })) << logged().substr(before);
  ASSERT_TRUE(other.exec("COMMIT"));
  ASSERT_TRUE(wait_for([&] { return other.value("SELECT count(*) FROM events") == "50"; }));
  EXPECT_EQ(module.cleanup(), 0);
  EXPECT_EQ(timestamps(other), expected_timestamps(0, 50));
  EXPECT_NE(logged().find("(orvik_sqlite) writing works again after ", before), std::string::npos);
}

// A database that cannot grow: the module's own page limit set to the pages
// the file has, so that the next row finds no room.
std::string full_database(TempDir &dir, Db &db) {
  std::string path = dir.file("events.db");
  {
    Sqlite module;
    EXPECT_EQ(module.init(path), 0);  // the schema
    EXPECT_EQ(module.cleanup(), 0);
  }
  EXPECT_TRUE(db.exec("CREATE TABLE ballast (b); INSERT INTO ballast VALUES (zeroblob(400000))"));
  return path + "?max_pages=" + db.value("PRAGMA page_count");
}

TEST(SqliteModule, AFullDatabaseKeepsTheBatchUntilRoomIsMade) {
  TempDir dir;
  Db db(dir.file("events.db"));
  std::string args = full_database(dir, db);
  Sqlite module;
  ASSERT_EQ(module.init(args + "&batch=20&flush_ms=5&buffer=100"), 0);
  size_t before = logged().size();
  for (uint64_t n = 0; n < 100; ++n) ASSERT_EQ(module.handle(numbered(n)), 0);
  ASSERT_TRUE(wait_for([&] {
    return logged().find("database or disk is full (13)\n", before) != std::string::npos;
  }));
  EXPECT_EQ(db.value("SELECT count(*) FROM events"), "0");
  ASSERT_TRUE(db.exec("DELETE FROM ballast"));
  ASSERT_TRUE(wait_for([&] { return db.value("SELECT count(*) FROM events") == "100"; }));
  EXPECT_EQ(module.cleanup(), 0);
  EXPECT_EQ(timestamps(db), expected_timestamps(0, 100));
}

// Events 0..19, one batch, whose first attempt fails for want of room; then
// another connection, in one transaction, makes room, puts rows (a SELECT of
// eight columns over i = 0..19) under the ids 1..20 that attempt used, and
// moves the next id on to 21. Returns the log's length before the events.
size_t fail_a_batch_then_fill_its_ids(TempDir &dir, Db &db, Sqlite &module,
                                      const std::string &rows) {
  std::string args = full_database(dir, db);
  EXPECT_EQ(module.init(args + "&batch=20&flush_ms=60000"), 0);
  size_t before = logged().size();
  for (uint64_t n = 0; n < 20; ++n) EXPECT_EQ(module.handle(numbered(n)), 0);
  EXPECT_TRUE(wait_for([&] {
    return logged().find("database or disk is full (13)\n", before) != std::string::npos;
  }));
  EXPECT_TRUE(
      db.exec("BEGIN IMMEDIATE;"
              "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 19) "
              "INSERT INTO events (id, received, timestamp, flags, rc, hostname, object, data) " +
              rows +
              " FROM n;"
              "UPDATE orvik_state SET next_id = 21; DELETE FROM ballast; COMMIT"));
  return before;
}

TEST(SqliteModule, ARetriedBatchThatHadLandedIsNotInsertedAgain) {
  TempDir dir;
  Db db(dir.file("events.db"));
  Sqlite module;
  // The rows a commit whose success its writer did not learn of would have
  // left: the batch's events.
  size_t before =
      fail_a_batch_then_fill_its_ids(dir, db, module,
                                     "SELECT i + 1, 0, i, 0, 0, 'host', 'object-' || i, "
                                     "CAST(replace(hex(zeroblob(256)), '00', 'd') AS BLOB)");
  ASSERT_TRUE(wait_for([&] {
    return logged().find("(orvik_sqlite) writing works again after ", before) != std::string::npos;
  }));
  ASSERT_EQ(module.handle(numbered(20)), 0);
  EXPECT_EQ(module.cleanup(), 0);
  EXPECT_EQ(timestamps(db), expected_timestamps(0, 21));
  EXPECT_EQ(db.value("SELECT count(*) || ' ' || max(id) FROM events"), "21 21");
}

TEST(SqliteModule, ARetriedBatchIsNotSkippedWhenOtherRowsTookItsIds) {
  TempDir dir;
  Db db(dir.file("events.db"));
  Sqlite module;
  // Another writer of the file: only the count matches the failed attempt.
  fail_a_batch_then_fill_its_ids(dir, db, module,
                                 "SELECT i + 1, 0, 1000 + i, 0, 0, 'other', 'other', x''");
  ASSERT_TRUE(wait_for([&] { return db.value("SELECT count(*) FROM events") == "40"; }));
  EXPECT_EQ(module.cleanup(), 0);
  EXPECT_EQ(db.value("SELECT group_concat(timestamp) FROM events WHERE hostname = 'host'"),
            "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19");
  EXPECT_EQ(db.value("SELECT min(id) || ' ' || max(id) FROM events WHERE hostname = 'host'"),
            "21 40");
}

// The shipped configuration names the database alone: the buffer is still
// four batches, so that handle_event does not wait for every commit.
TEST(SqliteModule, TheBufferDefaultHoldsWithoutSettingsInTheArgument) {
  for (const char *suffix : {"", "?"}) {
    TempDir dir;
    std::string path = dir.file("events.db");
    Sqlite module;
    ASSERT_EQ(module.init(path + suffix), 0);
    Db other(path);
    ASSERT_TRUE(other.exec("BEGIN IMMEDIATE"));  // no commit gets through meanwhile
    std::atomic<uint64_t> handled{0};
    std::thread intake([&] {
      for (uint64_t n = 0; n < 3000; ++n) {
        if (module.handle(numbered(n)) != 0) return;
        handled = n + 1;
      }
    });
    bool took_all = wait_for([&] { return handled.load() == 3000; }, std::chrono::seconds(5));
    ASSERT_TRUE(other.exec("COMMIT"));
    intake.join();
    EXPECT_TRUE(took_all) << "argument '" << suffix << "': handle_event waited after "
                          << handled.load() << " events";
    EXPECT_EQ(module.cleanup(), 0);
    EXPECT_EQ(other.value("SELECT count(*) FROM events"), "3000");
  }
}

TEST(SqliteModule, CleanupKeepsItsTimeWhileAnotherWriterHoldsTheDatabase) {
  TempDir dir;
  std::string path = dir.file("events.db");
  Sqlite module;
  ASSERT_EQ(module.init(path + "?cleanup_s=1&batch=10&flush_ms=5&buffer=1000"), 0);
  Db other(path);
  size_t before = handle_while_locked(module, other, 500);
  // Each write waits out the lock for a while: one more for each of the 50
  // batches after the time is up would take seconds.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(module.cleanup(), ETIMEDOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            orvik_test::scaled(std::chrono::milliseconds(2500)));
  EXPECT_NE(logged().find("(orvik_sqlite) 500 events not written by cleanup\n", before),
            std::string::npos)
      << logged().substr(before);
  ASSERT_TRUE(other.exec("COMMIT"));
  EXPECT_EQ(other.value("SELECT count(*) FROM events"), "0");
}

TEST(SqliteModule, RetentionKeepsTheNewestRowsWithinTheLimits) {
  TempDir dir;
  std::string path = dir.file("events.db");
  Db db(path);
  {
    Sqlite module;
    ASSERT_EQ(module.init(path + "?max_rows=100&batch=10&flush_ms=5"), 0);
    for (uint64_t n = 0; n < 1000; ++n) ASSERT_EQ(module.handle(numbered(n)), 0);
    EXPECT_EQ(module.cleanup(), 0);
  }
  EXPECT_EQ(db.value("SELECT count(*) || ' ' || min(id) || ' ' || max(id) FROM events"),
            "100 901 1000");
  EXPECT_EQ(timestamps(db), expected_timestamps(900, 1000));
  Sqlite module;
  ASSERT_EQ(module.init(path + "?max_age=1&flush_ms=5"), 0);
  ASSERT_EQ(module.handle(numbered(1000)), 0);
  // Everything older than a second goes, a step at a time while idle.
  ASSERT_TRUE(wait_for([&] { return db.value("SELECT count(*) FROM events") == "0"; }));
  EXPECT_EQ(module.cleanup(), 0);
}

Origin origin(unsigned char stream, uint64_t sequence) {
  Origin made;
  made.stream_id.fill(stream);
  made.sequence = sequence;
  return made;
}

// The stored origins, "hex(origin):seq" in id order ("-" for none).
std::string origins(Db &db) {
  std::string all;
  for (const std::string &value :
       db.column("SELECT coalesce(hex(origin) || ':' || seq, '-') FROM events ORDER BY id")) {
    all += value + ",";
  }
  return all;
}

TEST(SqliteModule, AResentRecordOfTheSameOriginIsStoredOnceAndCountsAsCommitted) {
  TempDir dir;
  std::string path = dir.file("events.db");
  std::string a(32, 'A'), b(32, 'B');
  {
    Sqlite module;
    ASSERT_EQ(module.init(path + "?batch=3&flush_ms=5"), 0);
    EXPECT_EQ(module.committed(), 0u);
    ASSERT_EQ(handle_from(module, origin(0xaa, 1), numbered(0)), 0);
    ASSERT_EQ(handle_from(module, origin(0xaa, 2), numbered(1)), 0);
    ASSERT_EQ(handle_from(module, origin(0xbb, 1), numbered(2)), 0);
    ASSERT_EQ(handle_from(module, std::nullopt, numbered(3)), 0);
    ASSERT_EQ(handle_from(module, std::nullopt, numbered(4)), 0);
    ASSERT_TRUE(wait_for([&] { return module.committed() == 5; }));
    EXPECT_EQ(module.cleanup(), 0);
  }
  {
    // The daemon died before it acknowledged 0xaa:2 and 0xbb:1: the senders
    // resend them to the next daemon.
    Sqlite module;
    ASSERT_EQ(module.init(path + "?batch=3&flush_ms=5"), 0);
    ASSERT_EQ(handle_from(module, origin(0xaa, 2), numbered(1)), 0);
    ASSERT_EQ(handle_from(module, origin(0xbb, 1), numbered(2)), 0);
    ASSERT_EQ(handle_from(module, origin(0xaa, 3), numbered(5)), 0);
    ASSERT_EQ(handle_from(module, std::nullopt, numbered(6)), 0);
    ASSERT_EQ(handle_from(module, std::nullopt, numbered(6)), 0);  // no origin: never skipped
    ASSERT_EQ(handle_from(module, origin(0xaa, 0xffffffffffffffffull), numbered(7)), 0);
    ASSERT_EQ(handle_from(module, origin(0xaa, 0xffffffffffffffffull), numbered(7)), 0);
    EXPECT_EQ(module.cleanup(), 0);
    EXPECT_EQ(module.committed(), 7u);  // a skipped duplicate is durable too
  }
  Db db(path);
  EXPECT_EQ(timestamps(db), "0,1,2,3,4,5,6,6,7,");
  EXPECT_EQ(origins(db), a + ":1," + a + ":2," + b + ":1,-,-," + a + ":3,-,-," + a + ":-1,");
  EXPECT_EQ(db.value("SELECT count(*) FROM events WHERE typeof(origin) = 'blob' AND "
                     "length(origin) = 16"),
            "5");
}

TEST(SqliteModule, ARetriedBatchWhoseLastRecordWasStoredBeforeIsRecognisedAsLanded) {
  TempDir dir;
  std::string path = dir.file("events.db");
  Db db(path);
  {
    Sqlite earlier;
    ASSERT_EQ(earlier.init(path + "?flush_ms=5"), 0);
    ASSERT_EQ(handle_from(earlier, origin(0xcc, 1), numbered(100)), 0);  // id 1
    EXPECT_EQ(earlier.cleanup(), 0);
  }
  ASSERT_TRUE(db.exec("CREATE TABLE ballast (b); INSERT INTO ballast VALUES (zeroblob(400000))"));
  Sqlite module;
  ASSERT_EQ(module.init(path + "?max_pages=" + db.value("PRAGMA page_count") +
                        "&batch=20&flush_ms=60000"),
            0);
  size_t before = logged().size();
  for (uint64_t n = 0; n < 19; ++n) ASSERT_EQ(module.handle(numbered(n)), 0);
  ASSERT_EQ(handle_from(module, origin(0xcc, 1), numbered(100)), 0);  // resent
  ASSERT_TRUE(wait_for([&] {
    return logged().find("database or disk is full (13)\n", before) != std::string::npos;
  }));
  // What the attempt's commit would have left: ids 2 .. 20 for the first 19,
  // none for the resent record (id 21 stays unused), the next id 22.
  ASSERT_TRUE(
      db.exec("BEGIN IMMEDIATE;"
              "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 18) "
              "INSERT INTO events (id, received, timestamp, flags, rc, hostname, object, data) "
              "SELECT i + 2, 0, i, 0, 0, 'host', 'object-' || i, "
              "CAST(replace(hex(zeroblob(256)), '00', 'd') AS BLOB) FROM n;"
              "UPDATE orvik_state SET next_id = 22; DELETE FROM ballast; COMMIT"));
  ASSERT_TRUE(wait_for([&] {
    return logged().find("(orvik_sqlite) writing works again after ", before) != std::string::npos;
  }));
  EXPECT_EQ(module.cleanup(), 0);
  EXPECT_EQ(timestamps(db), "100," + expected_timestamps(0, 19));
  EXPECT_EQ(db.value("SELECT count(*) || ' ' || max(id) FROM events"), "20 20");
}

TEST(SqliteModule, UpgradesADatabaseOfTheFirstLayoutInPlaceKeepingItsRows) {
  TempDir dir;
  std::string path = dir.file("events.db");
  {
    Db old(path);
    ASSERT_TRUE(
        old.exec("PRAGMA journal_mode=WAL;"
                 "CREATE TABLE events (id INTEGER PRIMARY KEY, received INTEGER NOT NULL, "
                 "timestamp INTEGER NOT NULL, flags INTEGER NOT NULL, rc INTEGER NOT NULL, "
                 "hostname TEXT NOT NULL, object TEXT NOT NULL, data BLOB NOT NULL);"
                 "CREATE TABLE orvik_state (next_id INTEGER NOT NULL);"
                 "CREATE INDEX events_hostname_received ON events(hostname, received);"
                 "INSERT INTO events VALUES (1, 10, 100, 1, 0, 'old-1', 'o', x'01'),"
                 "  (2, 20, 101, 2, 0, 'old-2', 'o', x'02');"
                 "INSERT INTO orvik_state VALUES (3);"
                 "PRAGMA user_version=1;"));
  }
  size_t before = logged().size();
  {
    Sqlite module;
    ASSERT_EQ(module.init(path + "?flush_ms=5"), 0);
    EXPECT_NE(logged().find("(orvik_sqlite) upgraded " + path +
                                " from schema version 1 to 2 (columns origin and seq)\n",
                            before),
              std::string::npos)
        << logged().substr(before);
    ASSERT_EQ(handle_from(module, origin(0x01, 9), numbered(102)), 0);
    ASSERT_EQ(handle_from(module, origin(0x01, 9), numbered(102)), 0);
    ASSERT_EQ(handle_from(module, std::nullopt, numbered(103)), 0);
    EXPECT_EQ(module.cleanup(), 0);
  }
  Db db(path);
  EXPECT_EQ(db.value("PRAGMA user_version"), "2");
  EXPECT_EQ(db.value("SELECT group_concat(id || ':' || hostname || ':' || hex(data)) FROM events "
                     "WHERE id <= 2"),
            "1:old-1:01,2:old-2:02");
  EXPECT_EQ(timestamps(db), "100,101,102,103,");
  std::string ones;
  for (int i = 0; i < 16; ++i) ones += "01";
  EXPECT_EQ(origins(db), "-,-," + ones + ":9,-,");
  EXPECT_EQ(db.value("SELECT \"unique\" || ' ' || partial FROM pragma_index_list('events') "
                     "WHERE name = 'events_origin_seq'"),
            "1 1");
  // The next start finds version 2 and upgrades nothing.
  before = logged().size();
  Sqlite again;
  ASSERT_EQ(again.init(path), 0);
  EXPECT_EQ(logged().find("upgraded", before), std::string::npos);
  EXPECT_EQ(again.cleanup(), 0);
}

TEST(SqliteModule, ADatabaseRemovedWithItsFolderIsMadeAgainWithEveryEventNotYetCommitted) {
  TempDir dir;
  std::string folder = dir.file("data");
  std::string path = folder + "/events.db";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  Sqlite module;
  ASSERT_EQ(module.init(path + "?batch=10&flush_ms=5&buffer=100"), 0);
  for (uint64_t n = 0; n < 10; ++n) ASSERT_EQ(module.handle(numbered(n)), 0);
  ASSERT_TRUE(wait_for([&] { return module.committed() == 10; }));
  size_t before = logged().size();
  ASSERT_EQ(std::system(("rm -rf '" + folder + "'").c_str()), 0);
  for (uint64_t n = 10; n < 60; ++n) ASSERT_EQ(module.handle(numbered(n)), 0);
  ASSERT_TRUE(wait_for([&] {
    std::string lines = logged().substr(before);
    return lines.find("(orvik_sqlite) " + path +
                      " was removed or replaced while open; making a new one\n") !=
               std::string::npos &&
           lines.find("(orvik_sqlite) writing failed, retrying: cannot open " + path +
                      ": unable to open database file (14)\n") != std::string::npos;
  })) << logged().substr(before);
  EXPECT_EQ(module.committed(), 10u);  // nothing lands while the folder is missing
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_TRUE(wait_for([&] { return module.committed() == 60; })) << logged().substr(before);
  EXPECT_NE(logged().find("(orvik_sqlite) made a new " + path + "\n", before), std::string::npos);
  {
    Db db(path);
    EXPECT_EQ(timestamps(db), expected_timestamps(10, 60));
  }
  // A file moved away while idle is noticed without an event, and the new
  // one takes the next events.
  ASSERT_EQ(std::rename(path.c_str(), (folder + "/moved.db").c_str()), 0);
  ASSERT_TRUE(wait_for([&] {
    return orvikevtd_test::count_of(logged().substr(before), "made a new " + path) == 2;
  })) << logged().substr(before);
  ASSERT_EQ(module.handle(numbered(60)), 0);
  EXPECT_EQ(module.cleanup(), 0);
  EXPECT_EQ(module.committed(), 61u);
  Db db(path);
  EXPECT_EQ(timestamps(db), expected_timestamps(60, 61));
}

}  // namespace sqlite_module

}  // namespace

// The daemon's log function, which modules look up at run time: here it
// collects their lines for the tests.
extern "C" __attribute__((visibility("default"))) int orvikevtd_log_entry(const char *format, ...) {
  char message[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  std::lock_guard lock(log_mutex);
  log_text += message;
  return 0;
}

// The daemon's origin function, which modules look up at run time.
extern "C" __attribute__((visibility("default"))) int orvikevtd_event_origin(
    unsigned char stream_id[16], uint64_t *sequence) {
  std::lock_guard lock(origin_mutex);
  if (!host_origin) return 2;
  std::memcpy(stream_id, host_origin->stream_id.data(), 16);
  *sequence = host_origin->sequence;
  return 0;
}
