// Helper of bench_nats: the bare NATS client loop the daemon is compared
// with, and the wait for a stream to hold a number of messages.
//
//   nats_bench bare URLS STREAM REPLICAS RECORDS BATCH MAXPENDING
//     makes STREAM (file storage, REPLICAS copies) and publishes RECORDS
//     generated records, BATCH per message with the module's headers, at most
//     MAXPENDING unacknowledged; prints "RESULT bare_rps=... bare_mbps=...".
//   nats_bench wait URLS STREAM MESSAGES SECONDS
//     waits until STREAM holds MESSAGES messages; exit status 1 on time-out.
#include <endian.h>
#include <nats/nats.h>
#include <orvik/event_p.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client.h"
#include "sequence.h"

namespace {

using Clock = std::chrono::steady_clock;

natsConnection *connect(const char *urls) {
  natsConnection *connection = nullptr;
  if (natsConnection_ConnectTo(&connection, urls) != NATS_OK) {
    std::fprintf(stderr, "nats_bench: cannot connect to %s\n", urls);
    std::exit(69);
  }
  return connection;
}

uint64_t stored_messages(jsCtx *js, const char *stream) {
  jsStreamInfo *info = nullptr;
  if (js_GetStreamInfo(&info, js, stream, nullptr, nullptr) != NATS_OK) return 0;
  uint64_t messages = info->State.Msgs;
  jsStreamInfo_Destroy(info);
  return messages;
}

int bare(const char *urls, const char *stream, int replicas, uint64_t records, uint64_t batch,
         int64_t max_pending) {
  natsConnection *connection = connect(urls);
  jsOptions options;
  jsOptions_Init(&options);
  options.PublishAsync.MaxPending = max_pending;
  jsCtx *js = nullptr;
  natsConnection_JetStream(&js, connection, &options);
  jsStreamConfig config;
  jsStreamConfig_Init(&config);
  std::string subject = std::string("bench.") + stream;
  const char *subjects[] = {subject.c_str()};
  config.Name = stream;
  config.Subjects = subjects;
  config.SubjectsLen = 1;
  config.Storage = js_FileStorage;
  config.Replicas = replicas;
  if (js_AddStream(nullptr, js, &config, nullptr, nullptr) != NATS_OK) {
    std::fprintf(stderr, "nats_bench: cannot make stream %s\n", stream);
    return 69;
  }
  // The records orvikevt-bench sends, in wire order, as the module forwards them.
  std::vector<EventData> payload(batch);
  orvikevt::EventFields fields;
  fields.host = "orvikevt-bench";
  fields.object = "generated";
  fields.flags = orvikevt::kSequencedFlag;
  fields.data = "orvikevt-bench record ................................................";
  for (EventData &record : payload) orvikevt::BuildRecord(fields, &record);
  Clock::time_point start = Clock::now();
  uint64_t sequence = 0;
  for (uint64_t sent = 0; sent < records;) {
    uint64_t count = std::min(batch, records - sent);
    for (uint64_t i = 0; i < count; ++i) payload[i].timestamp = htobe64(sent + i);
    natsMsg *msg = nullptr;
    natsMsg_Create(&msg, subject.c_str(), nullptr, reinterpret_cast<const char *>(payload.data()),
                   static_cast<int>(count * sizeof(EventData)));
    std::string id = "bare-" + std::to_string(++sequence);
    natsMsgHeader_Set(msg, "Nats-Msg-Id", id.c_str());
    natsMsgHeader_Set(msg, "Orvik-Records", std::to_string(count).c_str());
    while (js_PublishMsgAsync(js, &msg, nullptr) != NATS_OK) {
    }
    natsMsg_Destroy(msg);
    sent += count;
  }
  jsPubOptions wait;
  jsPubOptions_Init(&wait);
  wait.MaxWait = 120000;
  if (js_PublishAsyncComplete(js, &wait) != NATS_OK) {
    std::fprintf(stderr, "nats_bench: acknowledgements missing\n");
    return 1;
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("RESULT bare_rps=%.0f bare_mbps=%.1f stored=%llu\n",
              static_cast<double>(records) / seconds,
              static_cast<double>(records * sizeof(EventData)) / seconds / 1e6,
              static_cast<unsigned long long>(stored_messages(js, stream)));
  jsCtx_Destroy(js);
  natsConnection_Destroy(connection);
  return 0;
}

int wait_for(const char *urls, const char *stream, uint64_t messages, int seconds) {
  natsConnection *connection = connect(urls);
  jsCtx *js = nullptr;
  natsConnection_JetStream(&js, connection, nullptr);
  Clock::time_point give_up = Clock::now() + std::chrono::seconds(seconds);
  int status = 1;
  while (Clock::now() < give_up) {
    if (stored_messages(js, stream) >= messages) {
      status = 0;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  jsCtx_Destroy(js);
  natsConnection_Destroy(connection);
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  int status = 64;
  if (argc == 8 && std::strcmp(argv[1], "bare") == 0) {
    status = bare(argv[2], argv[3], std::atoi(argv[4]), std::strtoull(argv[5], nullptr, 10),
                  std::strtoull(argv[6], nullptr, 10), std::atoll(argv[7]));
  } else if (argc == 6 && std::strcmp(argv[1], "wait") == 0) {
    status = wait_for(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10), std::atoi(argv[5]));
  } else {
    std::fprintf(stderr,
                 "usage: nats_bench bare URLS STREAM REPLICAS RECORDS BATCH MAXPENDING\n"
                 "       nats_bench wait URLS STREAM MESSAGES SECONDS\n");
  }
  nats_CloseAndWait(2000);
  return status;
}
