// The frames of the acknowledged protocol and the stream id.
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "client_p.h"

namespace orvikclient {
namespace {

constexpr unsigned char kHelloMagic[4] = {'O', 'V', 'K', '1'};
constexpr unsigned char kAckMagic[4] = {'A', 'C', 'K', '1'};

void PutBigEndian(unsigned char *out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    out[i] = static_cast<unsigned char>(value & 0xff);
    value >>= 8;
  }
}

uint64_t GetBigEndian(const unsigned char *in, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | in[i];
  return value;
}

}  // namespace

std::array<unsigned char, kHelloSize> BuildHello(const StreamId &stream, uint64_t first) {
  std::array<unsigned char, kHelloSize> hello{};
  std::memcpy(hello.data(), kHelloMagic, sizeof kHelloMagic);
  std::memcpy(hello.data() + 4, stream.data(), stream.size());
  PutBigEndian(hello.data() + 20, first, 8);
  PutBigEndian(hello.data() + 28, 0, 4);  // flags
  return hello;
}

bool ParseAck(const unsigned char *frame, uint64_t *position, uint32_t *status) {
  if (std::memcmp(frame, kAckMagic, sizeof kAckMagic) != 0) return false;
  *position = GetBigEndian(frame + 4, 8);
  *status = static_cast<uint32_t>(GetBigEndian(frame + 12, 4));
  return true;
}

int NewStreamId(StreamId *stream) {
  do {
    size_t filled = 0;
    while (filled < stream->size()) {
      ssize_t got = getrandom(stream->data() + filled, stream->size() - filled, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return errno;
      filled += static_cast<size_t>(got);
    }
  } while (std::all_of(stream->begin(), stream->end(), [](unsigned char b) { return b == 0; }));
  return 0;
}

}  // namespace orvikclient
