/* The floor for orvik_sqlite: a bare C loop that inserts rows like the ones
 * the module writes for orvikevt-bench's records, with one prepared
 * statement, in transactions of a given size, on a database set up as the
 * module sets it up (WAL, synchronous=NORMAL, the same table and index).
 *
 *   bench_sqlite_bare insert DB ROWS BATCH INDEX(0|1)   prints "bare_rps=N"
 *   bench_sqlite_bare module SO DB ROWS BATCH            loads orvik_sqlite (SO) and
 *       hands it ROWS records from one thread, as the daemon's processing
 *       thread would, until the last row is committed; prints "module_rps=N".
 *       BATCH 0 hands DB to the module as it is, without a batch setting
 *   bench_sqlite_bare wait DB ROWS SECONDS              waits until the events
 *       table holds ROWS rows; prints "waited_s=S", exits 1 on time-out
 */
#include <dlfcn.h>
#include <orvik/event_p.h>
#include <sqlite3.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static double now_s(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static int64_t wall_us(void) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (int64_t)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

static int exec(sqlite3 *db, const char *sql) {
  char *error = NULL;
  if (sqlite3_exec(db, sql, NULL, NULL, &error) != SQLITE_OK) {
    fprintf(stderr, "%s: %s\n", sql, error);
    sqlite3_free(error);
    return 1;
  }
  return 0;
}

static int insert(sqlite3 *db, long rows, long batch, int with_index) {
  static const char host[] = "orvikevt-bench", object[] = "generated";
  static const char data[] =
      "orvikevt-bench record ................................................";
  sqlite3_stmt *statement = NULL;
  if (exec(db,
           "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
           "CREATE TABLE events (id INTEGER PRIMARY KEY, received INTEGER NOT NULL,"
           " timestamp INTEGER NOT NULL, flags INTEGER NOT NULL, rc INTEGER NOT NULL,"
           " hostname TEXT NOT NULL, object TEXT NOT NULL, data BLOB NOT NULL, origin BLOB,"
           " seq INTEGER);"
           "CREATE UNIQUE INDEX events_origin_seq ON events(origin, seq)"
           " WHERE origin IS NOT NULL") ||
      (with_index &&
       exec(db, "CREATE INDEX events_hostname_received ON events(hostname, received)")))
    return 1;
  if (sqlite3_prepare_v3(db,
                         "INSERT INTO events (id, received, timestamp, flags, rc, hostname, object,"
                         " data) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                         -1, SQLITE_PREPARE_PERSISTENT, &statement, NULL) != SQLITE_OK)
    return 1;
  double start = now_s();
  for (long done = 0; done < rows;) {
    if (exec(db, "BEGIN IMMEDIATE")) return 1;
    for (long i = 0; i < batch && done < rows; ++i, ++done) {
      sqlite3_bind_int64(statement, 1, done + 1);
      sqlite3_bind_int64(statement, 2, wall_us());
      sqlite3_bind_int64(statement, 3, done / 4);
      sqlite3_bind_int64(statement, 4, 0x80000000u);
      sqlite3_bind_int64(statement, 5, done % 4);
      sqlite3_bind_text(statement, 6, host, (int)strlen(host), SQLITE_STATIC);
      sqlite3_bind_text(statement, 7, object, (int)strlen(object), SQLITE_STATIC);
      sqlite3_bind_blob(statement, 8, data, (int)strlen(data), SQLITE_STATIC);
      if (sqlite3_step(statement) != SQLITE_DONE) {
        fprintf(stderr, "insert: %s\n", sqlite3_errmsg(db));
        return 1;
      }
      sqlite3_reset(statement);
    }
    if (exec(db, "COMMIT")) return 1;
  }
  double elapsed = now_s() - start;
  sqlite3_finalize(statement);
  printf("bare_rps=%.0f\n", (double)rows / elapsed);
  return 0;
}

static int wait_rows(sqlite3 *db, long rows, double seconds) {
  double start = now_s();
  sqlite3_stmt *statement = NULL;
  sqlite3_busy_timeout(db, 1000);
  while (now_s() - start < seconds) {
    long count = 0;
    /* The ids are the arrival order, so the highest one is the count. */
    if (statement == NULL) {
      sqlite3_prepare_v2(db, "SELECT max(id) FROM events", -1, &statement, NULL);
    }
    if (statement != NULL && sqlite3_step(statement) == SQLITE_ROW) {
      count = (long)sqlite3_column_int64(statement, 0);
    }
    if (statement != NULL) sqlite3_reset(statement);
    if (count >= rows) {
      printf("waited_s=%.3f\n", now_s() - start);
      sqlite3_finalize(statement);
      return 0;
    }
    usleep(5000);
  }
  sqlite3_finalize(statement);
  fprintf(stderr, "wait: fewer than %ld rows after %.0f s\n", rows, seconds);
  return 1;
}

static int feed_module(const char *module_path, const char *db_path, long rows, long batch) {
  void *module = dlopen(module_path, RTLD_NOW);
  if (module == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  int (*init)(char *) = (int (*)(char *))dlsym(module, "module_init");
  int (*handle)(EventData *) = (int (*)(EventData *))dlsym(module, "handle_event");
  int (*cleanup)(void) = (int (*)(void))dlsym(module, "module_cleanup");
  char args[512];
  if (batch > 0) {
    snprintf(args, sizeof(args), "%s%cbatch=%ld", db_path, strchr(db_path, '?') ? '&' : '?', batch);
  } else {
    snprintf(args, sizeof(args), "%s", db_path); /* the argument as given */
  }
  if (init == NULL || handle == NULL || cleanup == NULL || init(args) != 0) return 1;
  static const char data[] =
      "orvikevt-bench record ................................................";
  EventData event;
  memset(&event, 0, sizeof(event));
  strcpy(event.hostname, "orvikevt-bench");
  strcpy(event.object, "generated");
  memcpy(event.data, data, strlen(data));
  event.datalen = (uint32_t)strlen(data);
  event.flags = 0x80000000u;
  double start = now_s();
  for (long i = 0; i < rows; ++i) {
    event.rc = (uint32_t)(i % 4);
    event.timestamp = (uint64_t)(i / 4);
    if (handle(&event) != 0) return 1;
  }
  int status = cleanup(); /* commits the rest and waits for it */
  double elapsed = now_s() - start;
  dlclose(module);
  if (status != 0) return 1;
  printf("module_rps=%.0f\n", (double)rows / elapsed);
  return 0;
}

int main(int argc, char **argv) {
  if (argc == 6 && strcmp(argv[1], "module") == 0) {
    return feed_module(argv[2], argv[3], atol(argv[4]), atol(argv[5]));
  }
  if (argc != 6 && argc != 5) {
    fprintf(
        stderr,
        "usage: %s insert DB ROWS BATCH INDEX | module SO DB ROWS BATCH | wait DB ROWS SECONDS\n",
        argv[0]);
    return 64;
  }
  sqlite3 *db = NULL;
  if (sqlite3_open(argv[2], &db) != SQLITE_OK) {
    fprintf(stderr, "%s: %s\n", argv[2], sqlite3_errmsg(db));
    return 1;
  }
  int status = 64;
  if (strcmp(argv[1], "insert") == 0 && argc == 6) {
    status = insert(db, atol(argv[3]), atol(argv[4]), atoi(argv[5]));
  } else if (strcmp(argv[1], "wait") == 0 && argc == 5) {
    status = wait_rows(db, atol(argv[3]), atof(argv[4]));
  }
  sqlite3_close(db);
  return status;
}
