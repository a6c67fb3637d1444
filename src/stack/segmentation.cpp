#include "stack/segmentation.hpp"

#include <algorithm>
#include <utility>

#include "stack/datagram.hpp"

namespace ferromesh::stack {

SendSegStart SendSegState::create(Bytes data, std::uint8_t service_choice, std::uint8_t invoke_id,
                                  const BacnetAddr& dest, std::size_t segment_size, double now) {
  SendSegState state;
  state.total_segments = (data.size() + segment_size - 1) / segment_size;
  state.data = std::move(data);
  state.segment_size = segment_size;
  state.last_activity = now;
  state.dest = dest;
  state.service_choice = service_choice;
  state.invoke_id = invoke_id;
  std::vector<Bytes> first_window = state.window_frames();
  return {std::move(state), std::move(first_window)};
}

Bytes SendSegState::build_frame(std::size_t index) const {
  const std::size_t begin = index * segment_size;
  const std::size_t end = std::min(data.size(), begin + segment_size);
  const apdu::SegmentHeader segment{index + 1 < total_segments, static_cast<std::uint8_t>(index % kMaxSegments),
                                    window_size};
  return datagram::confirmed_request(
      apdu::ConfirmedRequestHeader{invoke_id, service_choice, 0, apdu::kMaxApduCode1476, segment, true},
      std::span<const std::uint8_t>(data).subspan(begin, end - begin));
}

std::vector<Bytes> SendSegState::window_frames() const {
  const std::size_t end = std::min(total_segments, window_start + window_size);
  std::vector<Bytes> frames;
  if (end > window_start) frames.reserve(end - window_start);
  for (std::size_t i = window_start; i < end; ++i) frames.push_back(build_frame(i));
  return frames;
}

std::vector<Bytes> SendSegState::move_window(std::size_t start, std::uint8_t size, double now) {
  window_start = start;
  window_size = size;
  last_activity = now;
  activity_since_tick = true;
  window_resends = 0;
  return window_frames();
}

RecvSegState RecvSegState::create(std::size_t max_buffer, std::uint8_t window_size) noexcept {
  RecvSegState state;
  state.max_buffer = max_buffer;
  state.window_size = window_size;
  return state;
}

FragmentOutcome RecvSegState::accept_fragment(std::uint8_t sequence_number, bool more_follows,
                                              std::uint8_t proposed_window_size, Bytes payload,
                                              std::uint8_t invoke_id, double now) {
  const std::size_t s = sequence_number;
  if (fragments.size() <= s) fragments.resize(s + 1);
  if (!fragments[s]) {
    buffered += payload.size();
    if (buffered > max_buffer) return outcome::Abort{kLocalAbortReason};
    fragments[s] = std::move(payload);
  }
  last_activity = now;
  activity_since_tick = true;
  window_size = proposed_window_size;

  if (more_follows) {
    // Segment 0 is always acknowledged: a device sends nothing more until that
    // SegmentACK tells it our window. Later segments wait for a full window,
    // except a straggler that fills the last gap after the final segment came:
    // the device has seen that final segment acknowledged and sends nothing
    // more, so waiting would only lose an answer that is whole.
    const bool window_full = s == 0 || window_start + std::size_t{proposed_window_size} - 1 <= s;
    if (!window_full && !all_arrived()) return outcome::Pending{};
  } else {
    total_segments = s + 1;
  }

  if (all_arrived()) {
    // Acknowledge the final segment, whichever segment completed the set.
    const auto last = static_cast<std::uint8_t>(*total_segments - 1);
    return outcome::Complete{datagram::segment_ack({false, false, invoke_id, last, proposed_window_size}),
                             join_fragments()};
  }
  window_start = s + 1;
  return outcome::Ack{datagram::segment_ack({false, false, invoke_id, sequence_number, proposed_window_size})};
}

bool RecvSegState::all_arrived() const noexcept {
  return total_segments && fragments.size() == *total_segments &&
         std::all_of(fragments.begin(), fragments.end(), [](const auto& f) { return f.has_value(); });
}

Bytes RecvSegState::join_fragments() {
  Bytes joined;
  joined.reserve(buffered);
  for (const auto& fragment : fragments) append_bytes(joined, *fragment);
  return joined;
}

}  // namespace ferromesh::stack
