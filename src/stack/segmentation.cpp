#include "stack/segmentation.hpp"

#include <algorithm>
#include <utility>

#include "stack/datagram.hpp"

namespace ferromesh::stack {

namespace {

// Window sizes outside 1..127 are taken as the nearest one that is not.
std::uint8_t usable_window(std::uint8_t size) noexcept {
  return std::clamp<std::uint8_t>(size, 1, apdu::kLargestWindow);
}

}  // namespace

std::pair<SendSegState, Bytes> SendSegState::create(Bytes data, const BacnetAddr& dest,
                                                    const apdu::ConfirmedRequestHeader& header,
                                                    std::size_t segment_size, double now) {
  SendSegState state;
  state.total_segments = (data.size() + segment_size - 1) / segment_size;
  state.data = std::move(data);
  state.dest = dest;
  state.header = header;
  state.segment_size = segment_size;
  state.last_activity = now;
  // Segment 0 goes alone: the device's SegmentACK to it states its window.
  state.next_to_send = 1;
  Bytes first = state.build_frame(0);
  return {std::move(state), std::move(first)};
}

Bytes SendSegState::build_frame(std::size_t index) const {
  const std::size_t begin = index * segment_size;
  const std::size_t end = std::min(data.size(), begin + segment_size);
  apdu::ConfirmedRequestHeader segment_header = header;
  segment_header.segmentation =
      apdu::SegmentHeader{index + 1 < total_segments, static_cast<std::uint8_t>(index % kMaxSegments), window_size};
  return datagram::confirmed_request(dest, segment_header,
                                     std::span<const std::uint8_t>(data).subspan(begin, end - begin));
}

std::vector<Bytes> SendSegState::frames(std::size_t begin, std::size_t end) const {
  std::vector<Bytes> out;
  if (end > begin) out.reserve(end - begin);
  for (std::size_t i = begin; i < end; ++i) out.push_back(build_frame(i));
  return out;
}

std::vector<Bytes> SendSegState::acknowledge(bool negative, std::uint8_t sequence_number, std::uint8_t size,
                                             double now) {
  // A request has at most 256 segments, so the sequence number is the position.
  const std::size_t acknowledged = std::size_t{sequence_number} + 1;
  if (acknowledged > next_to_send) return {};  // a segment we never sent
  if (acknowledged < window_start) return {};  // older than what was acknowledged since
  if (acknowledged == window_start && (!negative || resent_after_nak == acknowledged)) return {};  // a repeat

  window_start = acknowledged;
  window_size = usable_window(size);
  last_activity = now;
  activity_since_tick = true;
  window_resends = 0;
  if (delivered()) return {};
  const std::size_t end = std::min(total_segments, window_start + window_size);
  // A positive SegmentACK asks for segments not sent yet; a negative one for
  // the window from the gap, sent or not.
  const std::size_t begin = negative ? window_start : std::max(next_to_send, window_start);
  if (negative) resent_after_nak = window_start;
  next_to_send = std::max(next_to_send, end);
  return frames(begin, end);
}

std::vector<Bytes> SendSegState::resend_window(double now) {
  ++window_resends;
  last_activity = now;
  // The device may answer this window with the same negative SegmentACK again.
  resent_after_nak = 0;
  // What went out and is not acknowledged: before the first SegmentACK, segment 0 alone.
  return frames(window_start, next_to_send);
}

RecvSegState RecvSegState::create(std::size_t max_buffer, std::uint8_t invoke_id) noexcept {
  RecvSegState state;
  state.max_buffer = max_buffer;
  state.invoke_id = invoke_id;
  return state;
}

Bytes RecvSegState::segment_ack(bool negative, std::uint8_t sequence_number) {
  last_ack = datagram::segment_ack(peer, {negative, false, invoke_id, sequence_number, window_size});
  return last_ack;
}

FragmentOutcome RecvSegState::accept_fragment(std::uint8_t sequence_number, bool more_follows,
                                              std::uint8_t proposed_window_size, std::span<const std::uint8_t> segment,
                                              double now) {
  last_activity = now;
  activity_since_tick = true;
  reminders = 0;
  auto open_window = [&] {
    window_start = next_index;
    window_size = usable_window(proposed_window_size);
    window_end = next_index + window_size;
  };

  // How far past the next position in order the sequence number lies.
  const std::size_t ahead = static_cast<std::uint8_t>(sequence_number - next_index);
  if (ahead == 0) {
    if (segment.size() > max_buffer - payload.size()) {
      return outcome::Abort{datagram::abort(peer, {false, invoke_id, apdu::kAbortBufferOverflow})};
    }
    append_bytes(payload, segment);
    ++next_index;
    if (!more_follows) {
      window_size = usable_window(proposed_window_size);
      return outcome::Complete{segment_ack(false, sequence_number), std::move(payload)};
    }
    if (next_index < window_end) return outcome::Pending{};
    open_window();
    return outcome::Ack{segment_ack(false, sequence_number)};
  }
  if (ahead < window_end - next_index) {
    // Inside the window, past a gap: answered when the window would end.
    if (more_follows && next_index + ahead + 1 < window_end) return outcome::Pending{};
    open_window();
    return outcome::Ack{segment_ack(true, static_cast<std::uint8_t>(next_index - 1))};
  }
  // Received already, or outside the window. A repeat of the segment we last
  // acknowledged says that our SegmentACK was lost.
  if (window_start > 0 && sequence_number == static_cast<std::uint8_t>(window_start - 1)) {
    return outcome::Ack{segment_ack(false, sequence_number)};
  }
  return outcome::Pending{};
}

}  // namespace ferromesh::stack
