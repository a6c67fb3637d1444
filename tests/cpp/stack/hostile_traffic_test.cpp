#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <initializer_list>
#include <ostream>
#include <set>
#include <sstream>
#include <string>

#include "stack/scripted_peer.hpp"
#include "stack/stack_test_support.hpp"

// Floods of traffic nobody asked for: segments, SegmentACKs and answers for
// invoke IDs never used, and datagrams as long as a BVLC length can say, from
// thousands of addresses. Only requests we sent may hold state, and they must
// still complete.

namespace ferromesh::stack::test {
namespace {

// Instrumented and unoptimised builds run the same floods, thinner: decoding
// a 32 764-network announcement there takes milliseconds.
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
constexpr std::size_t kStrangers = 1024;
constexpr std::size_t kIdStride = 7;
constexpr std::size_t kSlowKindStride = 16;
constexpr std::size_t kFloodPerStep = 8;
#else
constexpr std::size_t kStrangers = 4096;
constexpr std::size_t kIdStride = 1;
constexpr std::size_t kSlowKindStride = 1;
constexpr std::size_t kFloodPerStep = 32;
#endif

// The BVLC length field is 16 bits: no datagram can claim more.
constexpr std::size_t kLargestDatagram = 0xFFFF;

BacnetAddr stranger(std::size_t i) {
  return {{172, 16, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)},
          static_cast<std::uint16_t>(kBacnetPort + i % 7)};
}

const Bytes& filler() {
  static const Bytes octets = [] {
    Bytes b(kLargestDatagram);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return b;
  }();
  return octets;
}

// BVLC header with the given function, `head` (NPDU and APDU headers), then
// filler up to `total` octets; the length field says kLargestDatagram.
Bytes long_datagram(std::initializer_list<std::uint8_t> head, std::uint8_t function = 0x0A,
                    std::size_t total = kLargestDatagram) {
  Bytes out{0x81, function, 0xFF, 0xFF};
  out.insert(out.end(), head.begin(), head.end());
  out.insert(out.end(), filler().begin(), filler().begin() + static_cast<std::ptrdiff_t>(total - out.size()));
  return out;
}

// NPDU with destination and source both carrying 255-octet MAC addresses,
// then a segment of a ComplexACK, filled to the largest length.
Bytes routed_long_segment(std::uint8_t id) {
  Bytes out{0x81, 0x0A, 0xFF, 0xFF, 0x01, 0x28, 0xFF, 0xFF, 0xFF};
  out.insert(out.end(), 255, 0xAB);
  out.insert(out.end(), {0x00, 0x07, 0xFF});
  out.insert(out.end(), 255, 0xCD);
  out.insert(out.end(), {0xFF, 0x3C, id, 0x00, 0x04, 0x0C});
  const auto fill = static_cast<std::ptrdiff_t>(kLargestDatagram - out.size());
  out.insert(out.end(), filler().begin(), filler().begin() + fill);
  return out;
}

std::uint8_t id_of(std::size_t i) { return static_cast<std::uint8_t>(i); }
std::uint8_t seq_of(std::size_t i) { return static_cast<std::uint8_t>(i * 37); }
std::uint8_t window_of(std::size_t i) { return static_cast<std::uint8_t>(i * 11); }

struct HostileKind {
  const char* name;
  Bytes (*datagram)(std::size_t i);
  // What the stack answers, as kinds(): nothing, or one event about the sender.
  const char* outputs;
  bool slow_to_decode = false;
};

void PrintTo(const HostileKind& kind, std::ostream* os) { *os << kind.name; }

const std::vector<HostileKind>& hostile_kinds() {
  static const std::vector<HostileKind> kinds_table{
      {"long segment, more follow",
       [](std::size_t i) { return long_datagram({0x01, 0x00, 0x3C, id_of(i), seq_of(i), window_of(i), 0x0C}); }, ""},
      {"long last segment",
       [](std::size_t i) { return long_datagram({0x01, 0x00, 0x38, id_of(i), seq_of(i), window_of(i), 0x0C}); }, ""},
      {"whole answer in one segment",
       [](std::size_t i) { return ack_segment(id_of(i), 0, false, window_of(i), {0x0C, 0x00}); }, ""},
      {"SegmentACK",
       [](std::size_t i) {
         return device_datagram({static_cast<std::uint8_t>(0x40 | (i % 4)), id_of(i), seq_of(i), window_of(i)});
       },
       ""},
      {"long SegmentACK", [](std::size_t i) { return long_datagram({0x01, 0x00, 0x41, id_of(i), seq_of(i), 0xFF}); },
       ""},
      // Requests a device sends us are answered at once and leave nothing behind.
      {"long Confirmed-Request segment",
       [](std::size_t i) { return long_datagram({0x01, 0x04, 0x0A, 0x05, id_of(i), 0x00, 0x01, 0x0C}); }, "T"},
      {"long Confirmed-Request", [](std::size_t i) { return long_datagram({0x01, 0x04, 0x02, 0x05, id_of(i), 0x0C}); },
       "T"},
      {"long confirmed COV notification",
       [](std::size_t i) { return long_datagram({0x01, 0x04, 0x02, 0x05, id_of(i), 0x01, 0x09, 0x01}); }, "T"},
      {"long unconfirmed event notification",
       [](std::size_t) { return long_datagram({0x01, 0x00, 0x10, 0x03, 0x09, 0x01}); }, ""},
      {"long undefined PDU type",
       [](std::size_t i) { return long_datagram({0x01, 0x00, static_cast<std::uint8_t>(0x80 + (i % 8) * 0x10)}); },
       ""},
      // Message types 6 and up: none a client reads.
      {"long network message",
       [](std::size_t i) { return long_datagram({0x01, 0x80, static_cast<std::uint8_t>(6 + i % 250)}); }, ""},
      {"BVLC length beyond the datagram",
       [](std::size_t i) {
         return long_datagram({0x01, 0x00, 0x30, id_of(i), 0x0C}, 0x0A, kLargestDatagram - 1);
       },
       ""},
      {"long Forwarded-NPDU", [](std::size_t i) { return long_datagram({0x01, 0x00, 0x20, id_of(i), 0x0F}, 0x04); },
       ""},
      {"long routed segment", [](std::size_t i) { return routed_long_segment(id_of(i)); }, ""},
      // Answers are reported even when unmatched; they must change nothing.
      {"long SimpleACK", [](std::size_t i) { return long_datagram({0x01, 0x00, 0x20, id_of(i), 0x0F}); }, "E"},
      {"long ComplexACK", [](std::size_t i) { return long_datagram({0x01, 0x00, 0x30, id_of(i), 0x0C}); }, "E"},
      {"long Error",
       [](std::size_t i) { return long_datagram({0x01, 0x00, 0x50, id_of(i), 0x0C, 0x91, 0x02, 0x91, 0x20}); }, "E"},
      {"long Reject", [](std::size_t i) { return long_datagram({0x01, 0x00, 0x60, id_of(i), 0x09}); }, "E"},
      {"long Abort", [](std::size_t i) { return long_datagram({0x01, 0x00, 0x71, id_of(i), 0x04}); }, "E"},
      {"long I-Am",
       [](std::size_t) {
         return long_datagram({0x01, 0x00, 0x10, 0x00, 0xC4, 0x02, 0x00, 0x00, 0x07, 0x22, 0x05, 0xC4, 0x91, 0x00,
                               0x21, 0x0F},
                              0x0B);
       },
       "E"},
      {"long I-Am-Router-To-Network", [](std::size_t) { return long_datagram({0x01, 0x80, 0x01, 0x00}); }, "E",
       true},
  };
  return kinds_table;
}

// Whom an event concerns.
BacnetAddr about(const Event& e) {
  return std::visit(
      [](const auto& ev) {
        if constexpr (requires { ev.peer; }) {
          return ev.peer;
        } else {
          return ev.src;
        }
      },
      e);
}

// The stack's answer to one hostile datagram: the kind's outputs, datagrams
// and events only to and about the sender.
void expect_hostile_answer(const HostileKind& kind, const std::vector<Output>& out, const BacnetAddr& src) {
  EXPECT_EQ(kinds(out), kind.outputs) << kind.name << " from " << src;
  for (const Output& o : out) {
    if (const auto* t = std::get_if<output::Transmit>(&o)) {
      EXPECT_EQ(t->dest, src) << kind.name;
    }
  }
  for (const Event& e : events(out)) EXPECT_EQ(about(e), src) << kind.name;
}

// A device answering a long answer in segments, left half way: the stack
// holds a reassembly for it.
const BacnetAddr kAnswering{{10, 0, 0, 4}, kBacnetPort};

// One request of each kind of state: waiting for an answer, sending
// segments, collecting segments.
Stack stack_with_every_kind_of_state() {
  Stack stack;
  (void)stack.process(read_property(kDevice));
  (void)stack.process(write_octets(kOtherDevice, 4000));
  (void)stack.process(read_property(kAnswering));
  (void)stack.process(from(kAnswering, ack_segment(0, 0, true, 2, Bytes(100, 0x11))));
  EXPECT_EQ(stack.transactions().size(), 3u);
  EXPECT_EQ(stack.send_segments().size(), 1u);
  EXPECT_EQ(stack.recv_segments().size(), 1u);
  return stack;
}

class HostileFlood : public ::testing::TestWithParam<HostileKind> {};

TEST_P(HostileFlood, FromThousandsOfStrangersChangesNoState) {
  const HostileKind& kind = GetParam();
  Stack stack = stack_with_every_kind_of_state();
  const std::string before = describe_tables(stack);
  for (std::size_t i = 0; i < kStrangers; i += kind.slow_to_decode ? kSlowKindStride : 1) {
    const BacnetAddr src = stranger(i);
    expect_hostile_answer(kind, stack.process(from(src, kind.datagram(i))), src);
    ASSERT_EQ(stack.transactions().size(), 3u) << kind.name << " #" << i;
    ASSERT_EQ(stack.send_segments().size(), 1u) << kind.name << " #" << i;
    ASSERT_EQ(stack.recv_segments().size(), 1u) << kind.name << " #" << i;
    ASSERT_EQ(stack.invoke_pools().size(), 3u) << kind.name << " #" << i;
  }
  EXPECT_EQ(describe_tables(stack), before);
}

// The devices we talk to, sending for invoke IDs they hold no request under.
TEST_P(HostileFlood, FromKnownDevicesForUnusedIdsChangesNoState) {
  const HostileKind& kind = GetParam();
  Stack stack = stack_with_every_kind_of_state();
  const std::string before = describe_tables(stack);
  for (const BacnetAddr& src : {kDevice, kOtherDevice, kAnswering}) {
    for (std::size_t i = 1; i < 256; i += kind.slow_to_decode ? kIdStride * kSlowKindStride : kIdStride) {
      expect_hostile_answer(kind, stack.process(from(src, kind.datagram(i))), src);
    }
  }
  EXPECT_EQ(describe_tables(stack), before);
}

std::string test_name(const ::testing::TestParamInfo<HostileKind>& param) {
  std::string name;
  for (const char* c = param.param.name; *c != '\0'; ++c) {
    if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostileFlood, ::testing::ValuesIn(hostile_kinds()), test_name);

TEST(HostileTraffic, SegmentAcksForARequestWithoutSegmentsAreIgnored) {
  Stack stack;
  (void)stack.process(read_property(kDevice));
  const std::string before = describe_tables(stack);
  for (unsigned flags = 0; flags < 4; ++flags) {
    for (unsigned seq : {0u, 1u, 255u}) {
      EXPECT_TRUE(stack.process(from(kDevice, device_datagram({static_cast<std::uint8_t>(0x40 | flags), 0x00,
                                                                static_cast<std::uint8_t>(seq), 0x10})))
                      .empty());
    }
  }
  EXPECT_EQ(describe_tables(stack), before);
}

// An answer in segments of the largest length, each sent twice: what it
// holds never exceeds the limit, and past it the answer is abandoned with all
// its state, the device told with an Abort (buffer overflow).
class LongSegments : public ::testing::TestWithParam<std::size_t> {};

TEST_P(LongSegments, StayWithinTheBufferLimit) {
  const std::size_t limit = GetParam();
  Stack stack(StackConfig{.max_segment_buffer = limit});
  (void)stack.process(read_property(kDevice));
  (void)stack.process(read_property(kDevice));
  const Bytes segment_payload(kLargestDatagram - 11, 0x3E);
  std::size_t stored = 0;
  bool abandoned = false;
  for (std::size_t n = 0; n < 600 && !abandoned; ++n) {
    const auto seq = static_cast<std::uint8_t>(n);
    for (int repeat = 0; repeat < 2 && !abandoned; ++repeat) {
      // Window 0 is taken as 1: every segment is acknowledged, its repeat again.
      const auto out = stack.process(from(kDevice, ack_segment(1, seq, true, 0, segment_payload)));
      if (!events(out).empty()) {
        EXPECT_EQ(out, (std::vector<Output>{transmit(device_datagram({0x70, 0x01, 0x01}), kDevice),
                                            abort_event(1, 5, kDevice)}));
        abandoned = true;
        break;
      }
      EXPECT_EQ(transmitted(out), std::vector<Bytes>{segment_ack(1, seq, 1)});
      if (repeat == 0) stored += segment_payload.size();
      ASSERT_LE(stored, limit);
      EXPECT_EQ(stack.recv_segments().at(TransactionKey{kDevice, 1}).payload.size(), stored);
    }
  }
  EXPECT_TRUE(abandoned);
  EXPECT_EQ(stored, limit / segment_payload.size() * segment_payload.size());  // as many whole segments as fit
  EXPECT_TRUE(stack.recv_segments().empty());
  EXPECT_EQ(stack.transactions().size(), 1u);  // the other request is untouched
  expect_invariants(stack);
}

INSTANTIATE_TEST_SUITE_P(Limits, LongSegments,
                         ::testing::Values(std::size_t{1}, std::size_t{65524}, std::size_t{1000000},
                                           std::size_t{2097152}));

// A device that starts answering and goes quiet: each segment timeout of
// silence repeats our SegmentACKs, the fourth gives up on every answer it
// left half way, whatever it held.
TEST(HostileTraffic, HalfSentAnswersAreAbandonedWhenQuiet) {
  Stack stack;
  const Bytes segment_payload(kLargestDatagram - 11, 0x3E);
  for (std::uint8_t id = 0; id < 16; ++id) {
    (void)stack.process(read_property(kDevice));
    for (std::uint8_t seq = 0; seq < 8; ++seq) {
      (void)stack.process(from(kDevice, ack_segment(id, static_cast<std::uint8_t>(seq * 3), true, 0, segment_payload)));
    }
  }
  ASSERT_EQ(stack.recv_segments().size(), 16u);
  EXPECT_EQ(kinds(stack.process(tick(1.0))), "D");
  const auto reminded = stack.process(tick(3.0));
  EXPECT_EQ(kinds(reminded), std::string(16, 'T') + "D");
  for (const Bytes& d : transmitted(reminded)) EXPECT_EQ(d[6], 0x40);  // SegmentACKs
  const auto out = stack.process(tick(9.0));
  std::string expected_kinds;
  for (int i = 0; i < 16; ++i) expected_kinds += "TE";
  EXPECT_EQ(kinds(out), expected_kinds);
  for (const Event& e : events(out)) {
    ASSERT_TRUE(std::holds_alternative<event::Abort>(e));
    EXPECT_EQ(std::get<event::Abort>(e).reason, 5);
  }
  // Each device is told: tsm-timeout.
  for (const Bytes& d : transmitted(out)) EXPECT_EQ(Bytes(d.begin() + 6, d.end()), (Bytes{0x70, d[7], 0x0A}));
  EXPECT_TRUE(stack.transactions().empty() && stack.recv_segments().empty());
  expect_invariants(stack);
}

// Legitimate devices answer through a queue; between any two of their
// datagrams, and between ticks, the flood gets in.
class FloodedNetwork {
 public:
  Stack stack;
  std::vector<ScriptedPeer*> peers;
  std::vector<Event> ended;     // events about legitimate requests, in order
  std::size_t outstanding = 0;  // requests sent and not yet ended
  std::size_t flood_per_step = 0;

  void send(input::Send request) {
    flood();
    const auto out = stack.process(std::move(request));
    ASSERT_TRUE(!out.empty() && std::holds_alternative<output::Deadline>(out.back()));
    ++outstanding;
    take(out);
  }

  void tick_at(double now) {
    flood();
    take(stack.process(tick(now)));
  }

  // Delivers every answer in flight, one at a time, flooding in between.
  void deliver_all() {
    while (!in_flight_.empty()) {
      flood();
      input::Received next = std::move(in_flight_.front());
      in_flight_.pop_front();
      take(stack.process(std::move(next)));
    }
  }

 private:
  void take(const std::vector<Output>& out) {
    for (const Output& o : out) {
      if (const auto* t = std::get_if<output::Transmit>(&o)) {
        ScriptedPeer* peer = find(t->dest);
        ASSERT_NE(peer, nullptr) << "datagram to " << t->dest;
        for (Bytes& reply : peer->on_datagram(t->data)) in_flight_.push_back(from(peer->address(), std::move(reply)));
      } else if (const auto* e = std::get_if<output::Event>(&o)) {
        ASSERT_NE(find(about(e->event)), nullptr) << "event about " << about(e->event);
        ended.push_back(e->event);
        ASSERT_GT(outstanding, 0u);
        --outstanding;
      }
    }
  }

  ScriptedPeer* find(const BacnetAddr& a) {
    for (ScriptedPeer* p : peers) {
      if (p->address() == a) return p;
    }
    return nullptr;
  }

  void flood() {
    const auto& kinds_table = hostile_kinds();
    for (std::size_t n = 0; n < flood_per_step; ++n, ++flood_count_) {
      const HostileKind& kind = kinds_table[flood_count_ % kinds_table.size()];
      const std::size_t i = flood_count_ / kinds_table.size();
      const BacnetAddr src = stranger(i % kStrangers);
      expect_hostile_answer(kind, stack.process(from(src, kind.datagram(i))), src);
    }
    ASSERT_EQ(stack.transactions().size(), outstanding);
    ASSERT_LE(stack.invoke_pools().size(), peers.size());
    for (const auto& [key, reassembly] : stack.recv_segments()) {
      ASSERT_NE(find(key.addr), nullptr);
      ASSERT_LE(reassembly.payload.size(), reassembly.max_buffer);
    }
  }

  std::deque<input::Received> in_flight_;
  std::size_t flood_count_ = 0;
};

std::string describe(const Event& e) {
  std::ostringstream os;
  std::visit([&os](const auto& ev) { PrintTo(ev, &os); }, e);
  return os.str();
}

// What the legitimate devices saw and what the host was told.
struct ScriptResult {
  std::vector<std::string> ended;  // sorted: tick phases walk tables in no fixed order
  std::vector<std::size_t> request_datagrams;
  std::vector<std::size_t> requests;
  friend bool operator==(const ScriptResult&, const ScriptResult&) = default;
};

constexpr std::size_t kRequestsEach = 12;

// Five devices: one answers briefly, one at length in segments, one is
// written to in segments, one refuses, one stays silent. Requests overlap;
// answers arrive in batches; time runs on until the silent one's requests
// time out.
ScriptResult run_script(std::size_t flood_per_step) {
  const BacnetAddr addresses[] = {{{10, 1, 0, 1}, kBacnetPort},
                                  {{10, 1, 0, 2}, kBacnetPort},
                                  {{10, 1, 0, 3}, kBacnetPort},
                                  {{10, 1, 0, 4}, kBacnetPort},
                                  {{10, 1, 0, 5}, kBacnetPort}};
  ScriptedPeer brief(addresses[0]), long_winded(addresses[1]), written_to(addresses[2]), refusing(addresses[3]),
      silent(addresses[4]);
  long_winded.answer.resize(5000);
  for (std::size_t i = 0; i < long_winded.answer.size(); ++i) long_winded.answer[i] = static_cast<std::uint8_t>(i);
  long_winded.answer_segment_size = 480;
  refusing.reply = ScriptedPeer::Reply::Error;
  silent.reply = ScriptedPeer::Reply::Silence;

  FloodedNetwork net;
  net.flood_per_step = flood_per_step;
  net.peers = {&brief, &long_winded, &written_to, &refusing, &silent};
  for (std::uint32_t n = 0; n < kRequestsEach; ++n) {
    net.send(read_property(brief.address(), n));
    net.send(read_property(long_winded.address(), n));
    net.send(write_octets(written_to.address(), 4000));
    net.send(read_property(refusing.address(), n));
    net.send(read_property(silent.address(), n));
    if (n % 3 == 2) net.deliver_all();
    net.tick_at(0.1 * n);
  }
  net.deliver_all();
  for (double at : {3.0, 6.0, 9.0, 12.0, 15.0}) {
    net.tick_at(at);
    net.deliver_all();
  }

  std::set<std::pair<std::size_t, std::uint8_t>> seen;
  ScriptResult result;
  for (const Event& e : net.ended) {
    result.ended.push_back(describe(e));
    const BacnetAddr peer = about(e);
    const auto index = static_cast<std::size_t>(peer.addr[3] - 1);
    const std::uint8_t id = std::visit(
        [](const auto& ev) -> std::uint8_t {
          if constexpr (requires { ev.invoke_id; }) {
            return ev.invoke_id;
          } else {
            return 0;
          }
        },
        e);
    EXPECT_TRUE(seen.insert({index, id}).second) << "ended twice: " << describe(e);
    const Event expected[] = {event::Response{id, brief.answer, peer}, event::Response{id, long_winded.answer, peer},
                              event::Response{id, {}, peer}, bacnet_error(id, 2, 32, peer, {0x91, 0x02, 0x91, 0x20}),
                              event::Timeout{id, peer}};
    EXPECT_EQ(e, expected[index]);
  }
  EXPECT_EQ(seen.size(), 5 * kRequestsEach);
  EXPECT_EQ(net.outstanding, 0u);
  EXPECT_TRUE(net.stack.transactions().empty());
  EXPECT_TRUE(net.stack.send_segments().empty());
  EXPECT_TRUE(net.stack.recv_segments().empty());
  EXPECT_EQ(net.stack.invoke_pools().size(), 5u);
  expect_invariants(net.stack);

  std::sort(result.ended.begin(), result.ended.end());
  for (const ScriptedPeer* peer : net.peers) {
    result.request_datagrams.push_back(peer->request_datagrams);
    result.requests.push_back(peer->requests.size());
  }
  return result;
}

TEST(HostileTraffic, RequestsInFlightCompleteDuringAFlood) {
  const ScriptResult quiet = run_script(0);
  ASSERT_FALSE(HasFailure());
  // The silent device got every re-send; the others each request once.
  EXPECT_EQ(quiet.request_datagrams.back(), 4 * kRequestsEach);
  EXPECT_EQ(quiet.requests, (std::vector<std::size_t>{kRequestsEach, kRequestsEach, kRequestsEach, kRequestsEach,
                                                      kRequestsEach * 4}));
  EXPECT_EQ(run_script(kFloodPerStep), quiet);
}

}  // namespace
}  // namespace ferromesh::stack::test
