#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <vector>

#include "stack/stack_test_support.hpp"

// About 100 000 requests outstanding at once across many devices, re-sent
// and timed out by Tick and answered in random order: every request ends in
// exactly one event, and afterwards nothing is left.

namespace ferromesh::stack::test {
namespace {

struct LoadShape {
  const char* name;
  std::size_t peers;
  std::size_t per_peer;
};

void PrintTo(const LoadShape& shape, std::ostream* os) { *os << shape.peers << " peers x " << shape.per_peer; }

// Instrumented and unoptimised builds run the same scenario on fewer devices.
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
constexpr std::size_t kScaleDown = 2;
#else
constexpr std::size_t kScaleDown = 1;
#endif

// 1000 devices with 100 requests each, and 391 with every invoke ID taken.
const LoadShape kShapes[] = {{"ThousandPeers", 1000 / kScaleDown, 100}, {"FullPools", 391 / kScaleDown, 256}};

enum class Ending : std::uint8_t { SimpleAck, ComplexAck, SegmentedAck, Error, Reject, Abort, Stalled, Silence };

struct Request {
  Ending ending = Ending::Silence;
  std::uint8_t answer_window = 0;  // between which ticks the first answer arrives
  std::uint8_t sent = 0;           // request datagrams the stack transmitted
  std::uint8_t ended = 0;          // events that ended it
};

// A step of an answer: its first datagram, or the second segment of a
// segmented one.
struct Delivery {
  std::uint32_t request = 0;
  bool second_segment = false;
};

// The last gives up on the answers stalled since the tick at 12.
constexpr double kTickTimes[] = {3.0, 6.0, 9.0, 12.0, 15.0, 18.0, 21.0};
constexpr std::size_t kAnswerWindows = 4;  // first answers come before the ticks at 3, 6, 9, 12

const Bytes kAckPayload{0x0C, 0x00, 0x00, 0x00, 0x01, 0x19, 0x55, 0x3E, 0x44, 0x42, 0x28, 0x00, 0x00, 0x3F};
const Bytes kFirstPart{0x0C, 0x00, 0x00, 0x00, 0x01, 0x19, 0x55};
const Bytes kSecondPart{0x3E, 0x44, 0x42, 0x28, 0x00, 0x00, 0x3F};

BacnetAddr peer_address(std::size_t peer) {
  return {{10, 20, static_cast<std::uint8_t>(peer >> 8), static_cast<std::uint8_t>(peer)}, kBacnetPort};
}

std::size_t peer_index(const BacnetAddr& a) { return std::size_t{a.addr[2]} << 8 | a.addr[3]; }

// An unsegmented ComplexACK carrying kAckPayload.
Bytes complex_ack(std::uint8_t id) {
  Bytes out{0x81, 0x0A, 0x00, static_cast<std::uint8_t>(9 + kAckPayload.size()), 0x01, 0x00, 0x30, id, 0x0C};
  append_bytes(out, kAckPayload);
  return out;
}

class LoadRun {
 public:
  explicit LoadRun(const LoadShape& shape) : shape_(shape), requests_(shape.peers * 256) {}

  Stack stack;

  void send_all() {
    std::mt19937 random(20240611);
    for (std::size_t n = 0; n < shape_.per_peer; ++n) {
      for (std::size_t p = 0; p < shape_.peers; ++p) {
        const auto ending = static_cast<Ending>(random() % 8);
        // A SimpleACK answers only a write.
        const auto out = stack.process(ending == Ending::SimpleAck
                                           ? write_octets(peer_address(p), 40)
                                           : read_property(peer_address(p), static_cast<std::uint32_t>(n)));
        ASSERT_EQ(kinds(out), "TD");
        ASSERT_EQ(std::get<output::Deadline>(out[1]).deadline, 3.0);
        const std::uint8_t id = invoke_id_of(std::get<output::Transmit>(out[0]).data);
        ASSERT_EQ(id, n);
        Request& r = requests_[p * 256 + id];
        r.sent = 1;
        r.ending = ending;
        r.answer_window = static_cast<std::uint8_t>(random() % kAnswerWindows);
        if (r.ending == Ending::Silence) continue;
        const auto index = static_cast<std::uint32_t>(p * 256 + id);
        windows_[r.answer_window].push_back({index, false});
        if (r.ending == Ending::SegmentedAck) windows_[r.answer_window + 1u].push_back({index, true});
      }
    }
    outstanding_ = shape_.peers * shape_.per_peer;
    ASSERT_EQ(stack.transactions().size(), outstanding_);
    for (auto& window : windows_) std::shuffle(window.begin(), window.end(), random);
  }

  // Answers due before the tick at kTickTimes[w], then that tick.
  void window(std::size_t w) {
    for (const Delivery& d : windows_[w]) deliver(d);
    ASSERT_EQ(stack.transactions().size(), outstanding_);
    tick_at(kTickTimes[w]);
    ASSERT_EQ(stack.transactions().size(), outstanding_);
  }

  void expect_all_ended_once_and_nothing_left() {
    for (std::size_t p = 0; p < shape_.peers; ++p) {
      for (std::size_t id = 0; id < shape_.per_peer; ++id) {
        const Request& r = requests_[p * 256 + id];
        ASSERT_EQ(r.ended, 1) << peer_address(p) << " #" << id;
        // Re-sent at every tick before its answer, never after it.
        const std::size_t resends = r.ending == Ending::Silence ? 3 : r.answer_window;
        ASSERT_EQ(r.sent, 1 + resends) << peer_address(p) << " #" << id;
      }
    }
    EXPECT_EQ(outstanding_, 0u);
    EXPECT_TRUE(stack.transactions().empty());
    EXPECT_TRUE(stack.send_segments().empty());
    EXPECT_TRUE(stack.recv_segments().empty());
    EXPECT_EQ(stack.invoke_pools().size(), shape_.peers);
    for (const auto& [addr, pool] : stack.invoke_pools()) ASSERT_EQ(pool.used_count(), 0u) << addr;
  }

 private:
  void deliver(const Delivery& d) {
    const std::size_t p = d.request / 256;
    const auto id = static_cast<std::uint8_t>(d.request % 256);
    const BacnetAddr peer = peer_address(p);
    Bytes datagram;
    switch (requests_[d.request].ending) {
      case Ending::SimpleAck:
        datagram = device_datagram({0x20, id, 0x0F});
        break;
      case Ending::ComplexAck:
        datagram = complex_ack(id);
        break;
      case Ending::SegmentedAck:
      case Ending::Stalled:
        datagram = d.second_segment ? ack_segment(id, 1, false, 2, kSecondPart)
                                    : ack_segment(id, 0, true, 2, kFirstPart);
        break;
      case Ending::Error:
        datagram = device_datagram({0x50, id, 0x0C, 0x91, 0x02, 0x91, 0x1F});
        break;
      case Ending::Reject:
        datagram = device_datagram({0x60, id, 0x09});
        break;
      case Ending::Abort:
        datagram = device_datagram({0x71, id, 0x04});
        break;
      case Ending::Silence:
        FAIL() << "nothing to deliver for a silent device";
    }
    const auto out = stack.process(from(peer, std::move(datagram)));
    for (const Output& o : out) {
      if (const auto* t = std::get_if<output::Transmit>(&o)) {
        // Only SegmentACKs, to the device that sent the segment.
        ASSERT_EQ(t->dest, peer);
        ASSERT_EQ(t->data, segment_ack(id, d.second_segment ? 1 : 0, 2));
      } else {
        ASSERT_TRUE(std::holds_alternative<output::Event>(o));
        end(std::get<output::Event>(o).event);
      }
    }
  }

  void tick_at(double now) {
    const auto out = stack.process(tick(now));
    for (std::size_t i = 0; i < out.size(); ++i) {
      if (const auto* t = std::get_if<output::Transmit>(&out[i])) {
        Request& r = requests_[peer_index(t->dest) * 256 + t->data.at(7 + (t->data.at(6) >> 4 == 0))];
        ASSERT_EQ(r.ended, 0);
        if (t->data.at(6) >> 4 == 7) {
          // The device of an answer given up is told so: tsm-timeout.
          ASSERT_EQ(r.ending, Ending::Stalled);
          ASSERT_EQ(t->data, device_datagram({0x70, t->data.at(7), 0x0A}));
          continue;
        }
        if (t->data.at(6) >> 4 == 4) {
          // A stalled answer: our SegmentACK again, in case the device missed it.
          ASSERT_EQ(r.ending, Ending::Stalled);
          ASSERT_EQ(t->data, segment_ack(t->data.at(7), 0, 2));
          continue;
        }
        ASSERT_EQ(t->data.at(6) >> 4, 0) << "a re-sent request";
        ++r.sent;
      } else if (const auto* e = std::get_if<output::Event>(&out[i])) {
        end(e->event);
      } else {
        ASSERT_EQ(i + 1, out.size()) << "the Deadline comes last";
      }
    }
    // The earliest of what is left: a reassembly stamped at this tick or
    // reminded since, or a request re-sent at it.
    const bool has_deadline = !out.empty() && std::holds_alternative<output::Deadline>(out.back());
    if (!stack.recv_segments().empty()) {
      ASSERT_TRUE(has_deadline);
      const double next = std::get<output::Deadline>(out.back()).deadline;
      EXPECT_TRUE(next > now && next <= now + 2.0) << now << " announced " << next;
    } else if (!stack.transactions().empty()) {
      ASSERT_TRUE(has_deadline);
      EXPECT_EQ(std::get<output::Deadline>(out.back()).deadline, now + 3.0);
    } else {
      EXPECT_FALSE(has_deadline);
    }
  }

  void end(const Event& e) {
    std::uint8_t id = 0;
    BacnetAddr peer;
    Event expected;
    std::visit(
        [&](const auto& ev) {
          if constexpr (requires { ev.invoke_id; }) {
            id = ev.invoke_id;
            peer = ev.peer;
          }
        },
        e);
    Request& r = requests_[peer_index(peer) * 256 + id];
    switch (r.ending) {
      case Ending::SimpleAck:
        expected = event::Response{id, {}, peer};
        break;
      case Ending::ComplexAck:
        expected = event::Response{id, kAckPayload, peer};
        break;
      case Ending::SegmentedAck:
        expected = event::Response{id, kAckPayload, peer};
        break;
      case Ending::Error:
        expected = bacnet_error(id, 2, 31, peer, {0x91, 0x02, 0x91, 0x1F});
        break;
      case Ending::Reject:
        expected = reject(id, 9, peer);
        break;
      case Ending::Abort:
        expected = event::Abort{id, 4, peer};
        break;
      case Ending::Stalled:
        expected = event::Abort{id, 5, peer};
        break;
      case Ending::Silence:
        expected = event::Timeout{id, peer};
        break;
    }
    ASSERT_EQ(e, expected);
    ASSERT_EQ(r.ended, 0) << "ended twice: " << peer << " #" << int{id};
    ++r.ended;
    --outstanding_;
  }

  LoadShape shape_;
  std::vector<Request> requests_;  // indexed by peer * 256 + invoke ID
  std::vector<Delivery> windows_[std::size(kTickTimes)];  // answers due before each tick
  std::size_t outstanding_ = 0;
};

class Load : public ::testing::TestWithParam<LoadShape> {};

TEST_P(Load, EveryRequestEndsExactlyOnceAndNothingIsLeft) {
  LoadRun run(GetParam());
  run.send_all();
  ASSERT_FALSE(HasFatalFailure());
  for (std::size_t w = 0; w < std::size(kTickTimes); ++w) {
    run.window(w);
    ASSERT_FALSE(HasFatalFailure()) << "before the tick at " << kTickTimes[w];
  }
  run.expect_all_ended_once_and_nothing_left();
}

std::string shape_name(const ::testing::TestParamInfo<LoadShape>& param) { return param.param.name; }

INSTANTIATE_TEST_SUITE_P(Shapes, Load, ::testing::ValuesIn(kShapes), shape_name);

}  // namespace
}  // namespace ferromesh::stack::test
