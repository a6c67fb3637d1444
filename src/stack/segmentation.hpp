#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "codec/apdu.hpp"
#include "codec/byte_writer.hpp"
#include "stack/types.hpp"

namespace ferromesh::stack {

// No segment or window is answered for this long: re-send or give up.
inline constexpr double kSegmentTimeoutSecs = 2.0;
// A request is cut into at most this many segments: its sequence numbers
// then never wrap.
inline constexpr std::size_t kMaxSegments = 256;
// A segmented answer is given up after this many segment timeouts without a
// segment, as the sender re-sends its window once per timeout.
inline constexpr int kStalledTimeouts = 4;
// The abort reason reported when the stack abandons a segmented response itself.
inline constexpr std::uint8_t kLocalAbortReason = 5;
// The window we propose for our segmented requests, until the device states its own.
inline constexpr std::uint8_t kProposedWindow = 4;

// One confirmed request cut into segments, sent the way the device's
// SegmentACKs ask: segment 0 alone, then windows of the size the device
// states. The window only ever moves forward; a segment goes out again only
// when a negative SegmentACK names the one before it or the window times out.
struct SendSegState {
  Bytes data;  // the whole service parameters
  apdu::ConfirmedRequestHeader header;  // of every segment; its segment fields are set per segment
  std::size_t segment_size = 0;
  std::size_t total_segments = 0;
  std::size_t window_start = 0;  // the first segment not acknowledged
  std::size_t next_to_send = 0;  // the first segment never sent
  // The segment a negative SegmentACK last made us send again from, so that
  // a repeat of that SegmentACK sends nothing.
  std::size_t resent_after_nak = 0;
  double last_activity = 0.0;
  BacnetAddr dest;  // where the segments go
  std::uint8_t window_size = kProposedWindow;  // the device's, from its first SegmentACK on
  // A SegmentACK moved the window since the last Tick, which stamps it.
  bool activity_since_tick = false;
  // Times the current window went out again without being acknowledged.
  std::uint8_t window_resends = 0;

  // Requires 0 < segment_size and a data length of more than one and at
  // most kMaxSegments segments. Returns the state and segment 0.
  static std::pair<SendSegState, Bytes> create(Bytes data, const BacnetAddr& dest,
                                               const apdu::ConfirmedRequestHeader& header, std::size_t segment_size,
                                               double now);

  // The datagram of segment `index` (< total_segments).
  Bytes build_frame(std::size_t index) const;
  // A SegmentACK from the device: the datagrams it asks for, none when it
  // acknowledges nothing new (a duplicate, an old one, or one for a segment
  // never sent). A window size of 0 counts as 1, above 127 as 127.
  std::vector<Bytes> acknowledge(bool negative, std::uint8_t sequence_number, std::uint8_t window_size, double now);
  // The window timed out: the segments of it sent so far, again.
  std::vector<Bytes> resend_window(double now);
  // The device acknowledged the last segment.
  bool delivered() const noexcept { return window_start == total_segments; }

 private:
  std::vector<Bytes> frames(std::size_t begin, std::size_t end) const;
};

namespace outcome {

struct Pending {
  friend bool operator==(const Pending&, const Pending&) = default;
};
struct Ack {
  Bytes datagram;  // the SegmentACK to send
  friend bool operator==(const Ack&, const Ack&) = default;
};
struct Complete {
  Bytes datagram;  // the SegmentACK to send
  Bytes payload;   // all segments joined
  friend bool operator==(const Complete&, const Complete&) = default;
};
struct Abort {
  Bytes datagram;  // the Abort PDU that tells the device to stop
  friend bool operator==(const Abort&, const Abort&) = default;
};

}  // namespace outcome

using FragmentOutcome = std::variant<outcome::Pending, outcome::Ack, outcome::Complete, outcome::Abort>;

// One segmented ComplexACK being collected, in order. Positions are counted
// from segment 0 without wrapping, so that an answer of any number of
// segments is placed right: a sequence number names the one position of
// that number inside the window expected next. A segment past a gap is
// dropped, and the window's end answered with a negative SegmentACK naming
// the last segment received in order, from which the device sends again.
struct RecvSegState {
  Bytes payload;  // the segments received in order, joined
  std::size_t next_index = 0;    // the position of the next segment in order
  std::size_t window_start = 0;  // the first position after our last SegmentACK
  std::size_t window_end = 1;    // segment 0 comes alone, then windows of window_size
  std::size_t max_buffer = 0;
  double last_activity = 0.0;
  BacnetAddr peer;  // where SegmentACKs and an Abort go
  std::uint8_t invoke_id = 0;
  std::uint8_t window_size = 1;  // granted in our last SegmentACK
  Bytes last_ack;  // the SegmentACK we sent last, said again while nothing arrives
  int reminders = 0;  // times last_ack went again since the last segment
  // A segment arrived since the last Tick, which stamps it.
  bool activity_since_tick = false;

  static RecvSegState create(std::size_t max_buffer, std::uint8_t invoke_id) noexcept;

  FragmentOutcome accept_fragment(std::uint8_t sequence_number, bool more_follows, std::uint8_t proposed_window_size,
                                  std::span<const std::uint8_t> segment, double now);

 private:
  Bytes segment_ack(bool negative, std::uint8_t sequence_number);
};

}  // namespace ferromesh::stack
