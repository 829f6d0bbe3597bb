// Generated events: how orvikevt-send -n and orvikevt-bench number the
// records they make, so that the counting module can check that each
// sender's records arrive complete and in order.
//
// A generated record carries kSequencedFlag in flags, its stream (one per
// sending connection, unique per run) in rc, and its position in the stream
// (0, 1, 2, ...) in timestamp.
#ifndef ORVIKEVT_SEQUENCE_H_
#define ORVIKEVT_SEQUENCE_H_

#include <cstdint>

namespace orvikevt {

inline constexpr uint32_t kSequencedFlag = 0x80000000u;

}  // namespace orvikevt

#endif  // ORVIKEVT_SEQUENCE_H_
