// The shipped handler modules, loaded with dlopen and driven through the
// module contract the way the daemon drives them.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <orvik/event_p.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "sequence.h"
#include "test_files.h"

namespace {

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
  }
  ~Module() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  bool loaded() const { return init_ && handle_event_ && cleanup_; }
  int init(const std::string &args) { return init_(const_cast<char *>(args.c_str())); }
  int init_without_argument() { return init_(nullptr); }
  int handle(EventData record) { return handle_event_(&record); }
  int cleanup() { return cleanup_(); }

 private:
  void *handle_;
  int (*init_)(char *) = nullptr;
  int (*handle_event_)(EventData *) = nullptr;
  int (*cleanup_)() = nullptr;
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

}  // namespace
