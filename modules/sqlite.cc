// orvik_sqlite: a handler module that stores every event as a row of an
// SQLite database, which other programs can query while the daemon writes.
//
// MODULE /usr/lib/orvikevtd/orvik_sqlite.so /var/lib/orvik/events.db?max_rows=1000000
//
// The argument is the database file (created if missing), optionally followed
// by "?name=value&name=value". Settings (all whole numbers unless noted):
//   batch      events per transaction                  (default 1000)
//   flush_ms   longest wait of an event for its commit  (default 200)
//   buffer     events held in memory at most            (default 4 x batch)
//   max_rows   keep at most this many rows, 0 = all     (default 0)
//   max_age    keep rows received in the last this many seconds, 0 = all
//   index      on|off: the index on (hostname, received)  (default on)
//   max_pages  PRAGMA max_page_count, 0 = SQLite's own  (default 0)
//   cleanup_s  how long module_cleanup waits for the writes  (default 10)
//
// Rows go in through the sink runtime (sink.h): one transaction per batch,
// written by its thread. Host names and objects are stored as TEXT with their
// exact bytes up to the first zero byte (at most 64): they are not checked
// to be UTF-8. Each row's id is its arrival order; the next id is kept in the
// table orvik_state and committed with the batch, so that a retried batch
// whose earlier commit did succeed is recognised and not inserted again.
// Retention deletes the oldest rows, a bounded number per transaction, between
// batches and while idle.
//
// A record that came with an origin (event_origin.h) stores its stream id and
// sequence number in the columns origin and seq; a UNIQUE index on them makes
// a record that a sender resends after the daemon died without acknowledging
// it land once: the insert skips a row whose (origin, seq) is stored already
// (its id stays unused). Records without an origin have NULL there and are
// never skipped; the index is partial, so they cost nothing in it. A
// database of schema version 1 gets the two columns and the index at start.
//
// module_committed reports the events committed so far. The database file is
// looked at before each batch and while idle: one that was removed (its
// folder too) or replaced while open is logged, and a new one is made at the
// configured path, retried while the folder is missing, with the batches
// not yet committed kept.
#include <orvik/clock.h>
#include <orvik/event_p.h>
#include <orvik/files.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <tarnu/strfuncs.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sink.h"

namespace {

using orvikevt::sink::Sink;
using orvikevt::sink::SinkBackend;
using orvikevt::sink::SinkOptions;
using orvikevt::sink::SinkRecord;

constexpr char kModuleName[] = "orvik_sqlite";
constexpr int kSchemaVersion = 2;
// How long a statement waits for another connection's lock before the batch
// counts as failed and is retried after the runtime's back-off.
constexpr int kBusyTimeoutMs = 100;

struct Settings {
  std::string path;
  size_t batch = 1000;
  uint64_t flush_ms = 200;
  size_t buffer = 0;  // 0: four batches
  int64_t max_rows = 0;
  int64_t max_age_s = 0;
  bool index = true;
  int64_t max_pages = 0;
  uint64_t cleanup_s = 10;
};

void log_line(const std::string &message) {
  orvikevt::sink::LogLine(kModuleName, message);
}

bool parse_number(std::string_view text, uint64_t low, uint64_t high, uint64_t &value) {
  const char *end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && stop == end && value >= low && value <= high;
}

// Applies one "name=value"; an error text when the name or value is bad.
std::string apply_setting(std::string_view name, std::string_view value, Settings &settings) {
  struct Numeric {
    std::string_view name;
    uint64_t low, high;
  };
  static constexpr Numeric kNumeric[] = {
      {"batch", 1, 100000},        {"flush_ms", 1, 60000},     {"buffer", 1, 10000000},
      {"max_rows", 0, 1ull << 62}, {"max_age", 0, 1ull << 40}, {"max_pages", 0, 4294967294ull},
      {"cleanup_s", 0, 86400},
  };
  if (name == "index") {
    if (value != "on" && value != "off") return "setting index wants on or off";
    settings.index = value == "on";
    return "";
  }
  for (const Numeric &numeric : kNumeric) {
    if (name != numeric.name) continue;
    uint64_t number = 0;
    if (!parse_number(value, numeric.low, numeric.high, number)) {
      return "setting " + std::string(name) + " wants a whole number from " +
             std::to_string(numeric.low) + " to " + std::to_string(numeric.high);
    }
    if (name == "batch") settings.batch = number;
    if (name == "flush_ms") settings.flush_ms = number;
    if (name == "buffer") settings.buffer = number;
    if (name == "max_rows") settings.max_rows = static_cast<int64_t>(number);
    if (name == "max_age") settings.max_age_s = static_cast<int64_t>(number);
    if (name == "max_pages") settings.max_pages = static_cast<int64_t>(number);
    if (name == "cleanup_s") settings.cleanup_s = number;
    return "";
  }
  return "unknown setting '" + std::string(name) + "'";
}

// Owns a strnsplit result.
struct Fields {
  char **array = nullptr;
  int count = 0;
  ~Fields() {
    if (array != nullptr) strarray_free(&array);
  }
  int Split(std::string_view text, char delimiter, int most) {
    count = most;
    return strnsplit(text.data(), static_cast<int>(text.size()), delimiter, &array, &count);
  }
};

// Reads the "name=value&..." settings after the '?'.
std::string parse_settings(std::string_view query, Settings &settings) {
  Fields pairs;
  if (pairs.Split(query, '&', 64) != 0) return "cannot read the settings";
  if (pairs.count == 64) return "too many settings";
  std::vector<std::string> seen;
  for (int i = 0; i < pairs.count; ++i) {
    std::string_view pair(pairs.array[i]);
    size_t equals = pair.find('=');
    if (equals == 0) return "setting without a name: '" + std::string(pair) + "'";
    std::string_view name = pair.substr(0, equals);
    if (equals == std::string_view::npos || equals + 1 == pair.size()) {
      return "setting " + std::string(name) + " has no value";
    }
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
      return "setting " + std::string(name) + " given twice";
    }
    seen.emplace_back(name);
    std::string error = apply_setting(name, pair.substr(equals + 1), settings);
    if (!error.empty()) return error;
  }
  return "";
}

// Reads "PATH[?name=value&...]" into settings, the defaults that hang on
// other settings included however the argument is written; an error text
// when it cannot.
std::string parse_argument(const char *argument, Settings &settings) {
  if (argument == nullptr || argument[0] == '\0' || argument[0] == '?') {
    return "needs the database file as its argument";
  }
  std::string_view text(argument);
  size_t query_at = text.find('?');
  settings.path = std::string(text.substr(0, query_at));
  if (query_at != std::string_view::npos && query_at + 1 < text.size()) {
    if (std::string error = parse_settings(text.substr(query_at + 1), settings); !error.empty()) {
      return error;
    }
  }
  if (settings.buffer == 0) settings.buffer = settings.batch * 4;
  if (settings.buffer < settings.batch) return "setting buffer must be at least batch";
  return "";
}

using orvik::wall_clock_us;

size_t text_length(const char (&field)[EVENTDATA_TEXT_SIZE]) {
  return strnlen(field, sizeof(field));
}

struct StatementDeleter {
  void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

struct DatabaseCloser {
  void operator()(sqlite3 *db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS events (\n"
    "  id        INTEGER PRIMARY KEY,\n"
    "  received  INTEGER NOT NULL,\n"
    "  timestamp INTEGER NOT NULL,\n"
    "  flags     INTEGER NOT NULL,\n"
    "  rc        INTEGER NOT NULL,\n"
    "  hostname  TEXT    NOT NULL,\n"
    "  object    TEXT    NOT NULL,\n"
    "  data      BLOB    NOT NULL,\n"
    "  origin    BLOB,\n"
    "  seq       INTEGER\n"
    ");\n"
    "CREATE TABLE IF NOT EXISTS orvik_state (next_id INTEGER NOT NULL);\n"
    "INSERT INTO orvik_state SELECT (SELECT coalesce(max(id), 0) + 1 FROM events)\n"
    "  WHERE NOT EXISTS (SELECT 1 FROM orvik_state);\n";

// From schema version 1: the origin of each record, NULL for the rows before.
constexpr char kAddOrigin[] =
    "ALTER TABLE events ADD COLUMN origin BLOB;\n"
    "ALTER TABLE events ADD COLUMN seq INTEGER;\n";

constexpr char kOriginIndex[] =
    "CREATE UNIQUE INDEX IF NOT EXISTS events_origin_seq ON events(origin, seq)\n"
    "  WHERE origin IS NOT NULL;\n";

// The file a connection has open, to notice when its path names another.
struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileId &) const = default;
};

// The file at path now; nothing when there is none (or its folder is gone).
// Other failures (no permission to look) say nothing about the file.
std::optional<FileId> file_at(const std::string &path, const FileId &otherwise) {
  struct stat status = {};
  if (stat(path.c_str(), &status) == 0) return FileId{status.st_dev, status.st_ino};
  if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
  return otherwise;
}

// The database behind the sink. Used on one thread at a time: module_init's
// check, then the writer thread, then module_cleanup's destruction.
class SqliteStore : public SinkBackend {
 public:
  explicit SqliteStore(const Settings &settings) : settings_(settings) {}

  // Opens the database, sets it up and prepares the statements; an error
  // text when it cannot.
  std::string Open() {
    if (db_) return "";
    sqlite3 *handle = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    CreatePrivately(settings_.path);
    int result = sqlite3_open_v2(settings_.path.c_str(), &handle, flags, nullptr);
    Database db(handle);
    if (result != SQLITE_OK) return Failure(db.get(), "cannot open");
    if (sqlite3_db_readonly(db.get(), "main") == 1) return settings_.path + " is not writable";
    sqlite3_extended_result_codes(db.get(), 1);
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    if (std::string error = Setup(db.get()); !error.empty()) return error;
    if (std::string error = Prepare(db.get()); !error.empty()) return error;
    open_file_ = file_at(settings_.path, FileId()).value_or(FileId());
    db_ = std::move(db);
    if (remaking_) log_line("made a new " + settings_.path);
    remaking_ = false;
    return "";
  }

  // A new database is made empty with the event data's mode first: SQLite
  // would make it (and, after it, its journals) readable by every user,
  // and writable too under a detached daemon's umask 0. An existing file
  // keeps its mode; a failure here is left to SQLite's open to report.
  static void CreatePrivately(const std::string &path) {
    if (path.empty() || path == ":memory:") return;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, orvik::kPrivateFileMode);
    if (fd >= 0) close(fd);
  }

  // Connections do not survive fork: module_init closes its check's.
  void CloseDatabase() {
    insert_.reset();
    read_next_.reset();
    read_attempt_.reset();
    write_next_.reset();
    trim_rows_.reset();
    trim_age_.reset();
    db_.reset();
  }

  std::string Write(std::span<const SinkRecord> batch) override {
    NoticeRemovedFile();
    if (std::string error = Open(); !error.empty()) return error;
    std::string error = WriteTransaction(batch);
    if (error.empty()) return "";
    int code = sqlite3_extended_errcode(db_.get());
    sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    int primary = code & 0xff;
    if (primary == SQLITE_FULL) {
      Trim();  // retention may make the room
    } else if (primary != SQLITE_BUSY && primary != SQLITE_LOCKED) {
      CloseDatabase();  // after I/O errors a fresh connection reads the file again
    }
    return error;
  }

  // A batch given up is never retried: the next Write is not compared with
  // its attempt.
  void Abandon(std::span<const SinkRecord>) override { retrying_ = false; }

  void Tick() override {
    NoticeRemovedFile();
    bool retention = settings_.max_rows > 0 || settings_.max_age_s > 0;
    if (!retention && !remaking_) return;
    if (Open().empty() && retention) Trim();
  }

  ~SqliteStore() override { CloseDatabase(); }

 private:
  // A connection to a file that was removed or replaced writes where nobody
  // reads: it is closed, and the next Open makes a new file at the path.
  void NoticeRemovedFile() {
    if (!db_ || file_at(settings_.path, open_file_) == open_file_) return;
    log_line(settings_.path + " was removed or replaced while open; making a new one");
    CloseDatabase();
    remaking_ = true;
  }

  std::string Failure(sqlite3 *db, const std::string &what) const {
    const char *message = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    int code = db != nullptr ? sqlite3_extended_errcode(db) : SQLITE_NOMEM;
    return what + " " + settings_.path + ": " + message + " (" + std::to_string(code) + ")";
  }

  // The first column of the first row of a query, "" for none; false when
  // the query fails.
  static bool QueryText(sqlite3 *db, const char *sql, std::string &text) {
    auto read_text = [](void *out, int, char **values, char **) {
      if (values[0] != nullptr) *static_cast<std::string *>(out) = values[0];
      return 0;
    };
    return sqlite3_exec(db, sql, read_text, &text, nullptr) == SQLITE_OK;
  }

  std::string Setup(sqlite3 *db) const {
    std::string mode;
    if (!QueryText(db, "PRAGMA journal_mode=WAL", mode)) return Failure(db, "cannot use WAL for");
    if (mode != "wal")
      return "cannot use WAL for " + settings_.path + " (journal mode " + mode + ")";
    std::string version;
    if (!QueryText(db, "PRAGMA user_version", version)) return Failure(db, "cannot read");
    if (std::stoi(version) > kSchemaVersion) {
      return settings_.path + " has schema version " + version + ", newer than " +
             std::to_string(kSchemaVersion);
    }
    std::string pragmas = "PRAGMA synchronous=NORMAL;\n";
    if (settings_.max_pages > 0) {
      pragmas += "PRAGMA max_page_count=" + std::to_string(settings_.max_pages) + ";\n";
    }
    bool upgraded = false;
    if (sqlite3_exec(db, pragmas.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK ||
        !SetUpTables(db, upgraded)) {
      std::string error = Failure(db, "cannot set up");
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      return error;
    }
    if (upgraded) {
      log_line("upgraded " + settings_.path + " from schema version " + version + " to " +
               std::to_string(kSchemaVersion) + " (columns origin and seq)");
    }
    return "";
  }

  // Makes or upgrades the tables and indexes in one transaction, left open
  // on failure. upgraded: the table of events lacked the origin columns.
  bool SetUpTables(sqlite3 *db, bool &upgraded) const {
    std::string has_origin;
    if (sqlite3_exec(db, (std::string("BEGIN IMMEDIATE;\n") + kSchema).c_str(), nullptr, nullptr,
                     nullptr) != SQLITE_OK ||
        !QueryText(db, "SELECT count(*) FROM pragma_table_info('events') WHERE name = 'origin'",
                   has_origin)) {
      return false;
    }
    upgraded = has_origin == "0";
    if (upgraded && sqlite3_exec(db, kAddOrigin, nullptr, nullptr, nullptr) != SQLITE_OK) {
      return false;
    }
    std::string rest = kOriginIndex;
    rest +=
        settings_.index
            ? "CREATE INDEX IF NOT EXISTS events_hostname_received ON events(hostname, received);\n"
            : "DROP INDEX IF EXISTS events_hostname_received;\n";
    rest += "PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";\nCOMMIT;\n";
    return sqlite3_exec(db, rest.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }

  std::string Prepare(sqlite3 *db) {
    struct Wanted {
      Statement &statement;
      const char *sql;
    };
    Wanted wanted[] = {
        {insert_,
         "INSERT INTO events (id, received, timestamp, flags, rc, hostname, object, data, "
         "origin, seq) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
         "ON CONFLICT (origin, seq) WHERE origin IS NOT NULL DO NOTHING"},
        {read_next_, "SELECT next_id FROM orvik_state"},
        {read_attempt_,
         "SELECT id, timestamp, flags, rc, hostname, object, data FROM events "
         "WHERE id BETWEEN ? AND ? ORDER BY id"},
        {write_next_, "UPDATE orvik_state SET next_id = ?"},
        {trim_rows_,
         "DELETE FROM events WHERE id IN (SELECT id FROM events WHERE id <= "
         "(SELECT max(id) FROM events) - ?1 ORDER BY id LIMIT ?2)"},
        {trim_age_,
         "DELETE FROM events WHERE id IN (SELECT id FROM events ORDER BY id LIMIT ?2) "
         "AND received < ?1"},
    };
    for (Wanted &one : wanted) {
      sqlite3_stmt *statement = nullptr;
      if (sqlite3_prepare_v3(db, one.sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
          SQLITE_OK) {
        return Failure(db, "cannot prepare statements for");
      }
      one.statement.reset(statement);
    }
    return "";
  }

  std::string WriteTransaction(std::span<const SinkRecord> batch) {
    sqlite3 *db = db_.get();
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
      return Failure(db, "cannot write to");
    }
    int64_t next_id = 0;
    if (sqlite3_step(read_next_.get()) == SQLITE_ROW) {
      next_id = sqlite3_column_int64(read_next_.get(), 0);
    }
    if (sqlite3_reset(read_next_.get()) != SQLITE_OK || next_id <= 0) {
      return Failure(db, "cannot read the next id from");
    }
    int64_t count = static_cast<int64_t>(batch.size());
    // A failed attempt at this batch may have committed after all (an I/O
    // error reported after the commit reached the file): skipped only when
    // its rows are found where that attempt put them.
    if (retrying_ && next_id == attempt_first_id_ + count && Landed(batch)) {
      retrying_ = false;
      sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
      return "";
    }
    attempt_first_id_ = next_id;
    retrying_ = true;
    sqlite3_stmt *insert = insert_.get();
    for (int64_t i = 0; i < count; ++i) {
      const SinkRecord &record = batch[static_cast<size_t>(i)];
      const EventData &event = record.event;
      uint32_t datalen = std::min<uint32_t>(event.datalen, EVENTDATA_DATA_SIZE);
      sqlite3_bind_int64(insert, 1, next_id + i);
      sqlite3_bind_int64(insert, 2, record.received_us);
      sqlite3_bind_int64(insert, 3, static_cast<int64_t>(event.timestamp));
      sqlite3_bind_int64(insert, 4, event.flags);
      sqlite3_bind_int64(insert, 5, event.rc);
      sqlite3_bind_text(insert, 6, event.hostname, static_cast<int>(text_length(event.hostname)),
                        SQLITE_STATIC);
      sqlite3_bind_text(insert, 7, event.object, static_cast<int>(text_length(event.object)),
                        SQLITE_STATIC);
      sqlite3_bind_blob(insert, 8, event.data, static_cast<int>(datalen), SQLITE_STATIC);
      BindOrigin(insert, record.origin);
      int result = sqlite3_step(insert);
      sqlite3_reset(insert);
      if (result != SQLITE_DONE) return Failure(db, "cannot insert into");
    }
    sqlite3_bind_int64(write_next_.get(), 1, next_id + count);
    int result = sqlite3_step(write_next_.get());
    sqlite3_reset(write_next_.get());
    if (result != SQLITE_DONE) return Failure(db, "cannot update");
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
      return Failure(db, "cannot commit to");
    }
    retrying_ = false;
    return "";
  }

  // A sequence number above 2^63 - 1 is stored as its bits read as signed.
  static void BindOrigin(sqlite3_stmt *insert, const orvikevt::EventOrigin &origin) {
    if (!origin.known) {
      sqlite3_bind_null(insert, 9);
      sqlite3_bind_null(insert, 10);
      return;
    }
    sqlite3_bind_blob(insert, 9, origin.stream_id.data(), static_cast<int>(origin.stream_id.size()),
                      SQLITE_STATIC);
    sqlite3_bind_int64(insert, 10, static_cast<int64_t>(origin.sequence));
  }

  // Whether the rows from attempt_first_id_ on hold this batch's events, as
  // the failed attempt inserted them. Retention may have removed older rows
  // of it since; the newest is there unless all of it has gone. A record
  // with an origin may have no row (the attempt skipped it, stored already),
  // and running the batch again stores it once anyway: the newest record
  // without an origin decides, and a batch of none is run again.
  bool Landed(std::span<const SinkRecord> batch) {
    int64_t newest_plain = -1;
    for (size_t i = 0; i < batch.size(); ++i) {
      if (!batch[i].origin.known) newest_plain = static_cast<int64_t>(i);
    }
    if (newest_plain < 0) return false;
    sqlite3_stmt *read = read_attempt_.get();
    sqlite3_bind_int64(read, 1, attempt_first_id_);
    sqlite3_bind_int64(read, 2, attempt_first_id_ + static_cast<int64_t>(batch.size()) - 1);
    bool newest_found = false;
    bool matches = true;
    while (matches && sqlite3_step(read) == SQLITE_ROW) {
      int64_t offset = sqlite3_column_int64(read, 0) - attempt_first_id_;
      matches = RowHolds(read, batch[static_cast<size_t>(offset)].event);
      newest_found = newest_found || offset == newest_plain;
    }
    sqlite3_reset(read);
    return matches && newest_found;
  }

  // Columns 1 on of read_attempt_'s row against the event they would store.
  static bool RowHolds(sqlite3_stmt *row, const EventData &event) {
    auto same_bytes = [row](int column, const void *bytes, size_t size) {
      const void *stored = sqlite3_column_blob(row, column);
      size_t stored_size = static_cast<size_t>(sqlite3_column_bytes(row, column));
      return stored_size == size && (size == 0 || std::memcmp(stored, bytes, size) == 0);
    };
    return sqlite3_column_int64(row, 1) == static_cast<int64_t>(event.timestamp) &&
           sqlite3_column_int64(row, 2) == event.flags &&
           sqlite3_column_int64(row, 3) == event.rc &&
           same_bytes(4, event.hostname, text_length(event.hostname)) &&
           same_bytes(5, event.object, text_length(event.object)) &&
           same_bytes(6, event.data, std::min<uint32_t>(event.datalen, EVENTDATA_DATA_SIZE));
  }

  // One bounded step of each retention rule, each its own short transaction.
  void Trim() {
    int64_t step = static_cast<int64_t>(settings_.batch) * 2;
    if (settings_.max_rows > 0) {
      sqlite3_bind_int64(trim_rows_.get(), 1, settings_.max_rows);
      sqlite3_bind_int64(trim_rows_.get(), 2, step);
      sqlite3_step(trim_rows_.get());
      sqlite3_reset(trim_rows_.get());
    }
    if (settings_.max_age_s > 0) {
      sqlite3_bind_int64(trim_age_.get(), 1, wall_clock_us() - settings_.max_age_s * 1000000);
      sqlite3_bind_int64(trim_age_.get(), 2, step);
      sqlite3_step(trim_age_.get());
      sqlite3_reset(trim_age_.get());
    }
  }

  const Settings settings_;
  Database db_;
  Statement insert_, read_next_, read_attempt_, write_next_, trim_rows_, trim_age_;
  bool retrying_ = false;  // the last Write failed: the next one is the same batch
  int64_t attempt_first_id_ = 0;
  FileId open_file_;       // the file db_ has open
  bool remaking_ = false;  // the file was removed: Open makes a new one
};

// Made by module_init, deleted by module_cleanup; left alone when the daemon
// ends on a signal.
Sink *sink = nullptr;
std::chrono::seconds cleanup_timeout{10};
// What module_committed says once module_cleanup has deleted the sink.
std::atomic<uint64_t> committed_at_cleanup{0};

// When the daemon ends on a signal, module_cleanup is not called: the writer
// thread is stopped while the process's static objects are destroyed. Rows
// committed so far stay; the database needs no closing.
struct StopWriterAtExit {
  ~StopWriterAtExit() {
    if (sink != nullptr) sink->StopAtExit();
  }
} stop_writer_at_exit;

int init(const char *argument) {
  Settings settings;
  if (std::string error = parse_argument(argument, settings); !error.empty()) {
    log_line(error);
    return EINVAL;
  }
  auto store = std::make_unique<SqliteStore>(settings);
  if (std::string error = store->Open(); !error.empty()) {
    log_line(error);
    return EIO;
  }
  store->CloseDatabase();
  SinkOptions options;
  options.batch_records = settings.batch;
  options.flush_interval = std::chrono::milliseconds(settings.flush_ms);
  options.max_buffered_records = settings.buffer;
  cleanup_timeout = std::chrono::seconds(settings.cleanup_s);
  sink = new Sink(kModuleName, options, std::move(store));
  return 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int module_init(char *args) {
  if (sink != nullptr) return EINVAL;
  try {
    return init(args);
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  } catch (...) {
    return EIO;
  }
}

__attribute__((visibility("default"))) int handle_event(EventData *event) {
  if (event == nullptr || sink == nullptr) return EINVAL;
  return sink->Accept(*event);
}

__attribute__((visibility("default"))) int module_cleanup(void) {
  if (sink == nullptr) return 0;
  int result = sink->Close(std::chrono::steady_clock::now() + cleanup_timeout);
  committed_at_cleanup = sink->Committed();
  orvikevt::sink::DestroyAfterClose(sink);
  sink = nullptr;
  return result;
}

// Events handed to handle_event and kept (sink.h) whose transaction has
// committed, in arrival order.
__attribute__((visibility("default"))) uint64_t module_committed(void) {
  return sink != nullptr ? sink->Committed() : committed_at_cleanup.load();
}

}  // extern "C"
