#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "codec/byte_writer.hpp"
#include "stack/types.hpp"

namespace ferromesh::stack {

// No segment or window is answered for this long: re-send or give up.
inline constexpr double kSegmentTimeoutSecs = 2.0;
// Sequence numbers are 8 bits and are used as indexes without unwrapping.
inline constexpr std::size_t kMaxSegments = 256;
// The abort reason reported when the stack abandons a segmented response itself.
inline constexpr std::uint8_t kLocalAbortReason = 5;

struct SendSegStart;

// One confirmed request cut into segments. The engine moves the window.
struct SendSegState {
  Bytes data;  // the whole service parameters
  std::size_t segment_size = 0;
  std::size_t total_segments = 0;
  std::size_t window_start = 0;
  double last_activity = 0.0;
  BacnetAddr dest;
  std::uint8_t service_choice = 0;
  std::uint8_t invoke_id = 0;
  std::uint8_t window_size = 4;
  // A SegmentACK moved the window since the last Tick, which stamps it.
  bool activity_since_tick = false;
  // Times the current window went out again without being acknowledged.
  std::uint8_t window_resends = 0;

  // Requires 0 < segment_size and a data length of at most
  // kMaxSegments * segment_size.
  static SendSegStart create(Bytes data, std::uint8_t service_choice, std::uint8_t invoke_id, const BacnetAddr& dest,
                             std::size_t segment_size, double now);

  // The datagram of segment `index` (< total_segments).
  Bytes build_frame(std::size_t index) const;
  // The datagrams of the current window, in sequence order.
  std::vector<Bytes> window_frames() const;
  // The peer acknowledged everything before `start` and asked for `size`.
  std::vector<Bytes> move_window(std::size_t start, std::uint8_t size, double now);
};

struct SendSegStart {
  SendSegState state;
  std::vector<Bytes> datagrams;  // the first window
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
  std::uint8_t reason = 0;
  friend bool operator==(const Abort&, const Abort&) = default;
};

}  // namespace outcome

using FragmentOutcome = std::variant<outcome::Pending, outcome::Ack, outcome::Complete, outcome::Abort>;

// One segmented ComplexACK being collected.
struct RecvSegState {
  std::optional<std::size_t> total_segments;  // known once the last segment came
  std::vector<std::optional<Bytes>> fragments;  // indexed by sequence number
  std::size_t window_start = 0;
  double last_activity = 0.0;
  std::size_t max_buffer = 0;
  std::size_t buffered = 0;  // payload octets stored, duplicates not counted
  std::uint8_t window_size = 0;
  BacnetAddr peer;  // where SegmentACKs go
  // A segment arrived since the last Tick, which stamps it.
  bool activity_since_tick = false;

  static RecvSegState create(std::size_t max_buffer, std::uint8_t window_size) noexcept;

  FragmentOutcome accept_fragment(std::uint8_t sequence_number, bool more_follows, std::uint8_t proposed_window_size,
                                  Bytes payload, std::uint8_t invoke_id, double now);

 private:
  bool all_arrived() const noexcept;
  Bytes join_fragments();
};

}  // namespace ferromesh::stack
