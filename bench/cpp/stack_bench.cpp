// The engine: a request and its answer, Tick over many outstanding requests,
// and how both grow with the number of outstanding requests and the size of
// an answer.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "answers.hpp"
#include "stack/stack.hpp"

namespace ferromesh::bench {
namespace {

using stack::Stack;
using stack::StackConfig;
namespace input = stack::input;
namespace output = stack::output;

// Octet 8 of a confirmed request: BVLC (4), NPDU (2), PDU type, max-APDU.
constexpr std::size_t kRequestInvokeIdOffset = 8;
// Octet 7 of an answer: BVLC (4), NPDU (2), PDU type.
constexpr std::size_t kAnswerInvokeIdOffset = 7;

std::uint8_t sent_invoke_id(const std::vector<stack::Output>& outputs) {
  return std::get<output::Transmit>(outputs.front()).data[kRequestInvokeIdOffset];
}

// `answer` with the invoke ID of the request it answers.
input::Received answer_for(std::uint8_t invoke_id, const Bytes& answer, const stack::BacnetAddr& src) {
  input::Received received{answer, src};
  received.data[kAnswerInvokeIdOffset] = invoke_id;
  return received;
}

bool is_response(const std::vector<stack::Output>& outputs) {
  const auto* event = outputs.empty() ? nullptr : std::get_if<output::Event>(&outputs.back());
  return event != nullptr && std::holds_alternative<stack::event::Response>(event->event);
}

// `count` requests nobody answers, spread over as many peers as they need
// (256 invoke IDs each), numbered from `first_peer`.
void fill_outstanding(Stack& engine, std::size_t count, std::size_t first_peer) {
  for (std::size_t i = 0; i < count; ++i) {
    const auto outputs = engine.process(read_present_value(peer(first_peer + i / 256), static_cast<std::uint32_t>(i)));
    benchmark::DoNotOptimize(outputs.data());
  }
}

// Send a ReadProperty, receive its ComplexACK: one whole exchange, in the
// steady state where the invoke ID is freed again each time. `outstanding`
// requests to other peers wait alongside.
void round_trip(benchmark::State& state, std::size_t outstanding, const Bytes& answer) {
  Stack engine;
  fill_outstanding(engine, outstanding, 1);
  const stack::BacnetAddr device = peer(0);
  const auto request = read_present_value(device);
  const auto first = engine.process(request);
  if (!is_response(engine.process(answer_for(sent_invoke_id(first), answer, device)))) {
    state.SkipWithError("the answer is not reported as a response");
  }
  for (auto _ : state) {
    const auto sent = engine.process(request);
    const auto answered = engine.process(answer_for(sent_invoke_id(sent), answer, device));
    benchmark::DoNotOptimize(answered.data());
  }
  if (engine.transactions().size() != outstanding) state.SkipWithError("the exchanges left transactions behind");
}

void round_trip_real(benchmark::State& state) {
  round_trip(state, 0, complex_ack_datagram(0, read_property_ack(real_value(72.5f))));
}
BENCHMARK(round_trip_real);

void round_trip_with_outstanding(benchmark::State& state) {
  round_trip(state, static_cast<std::size_t>(state.range(0)),
             complex_ack_datagram(0, read_property_ack(real_value(72.5f))));
}
BENCHMARK(round_trip_with_outstanding)->Arg(0)->RangeMultiplier(8)->Range(8, 1 << 15)->Arg(10000);

// Answers of n object identifiers (5 octets each), up to one full APDU.
void round_trip_answer_values(benchmark::State& state) {
  const Bytes answer = complex_ack_datagram(0, read_property_array_ack(static_cast<std::size_t>(state.range(0))));
  round_trip(state, 0, answer);
  state.counters["octets"] = static_cast<double>(answer.size());
}
BENCHMARK(round_trip_answer_values)->RangeMultiplier(4)->Range(1, 256)->Arg(290);

// A ComplexACK alone: with no matching request it changes nothing, so every
// iteration does the same work (checks, copy of the payload, the event).
void receive_complex_ack(benchmark::State& state) {
  Stack engine;
  const Bytes answer = complex_ack_datagram(7, read_property_ack(real_value(72.5f)));
  const stack::BacnetAddr device = peer(0);
  if (!is_response(engine.process(input::Received{answer, device}))) state.SkipWithError("not a response");
  for (auto _ : state) {
    const auto outputs = engine.process(input::Received{answer, device});
    benchmark::DoNotOptimize(outputs.data());
  }
}
BENCHMARK(receive_complex_ack);

// A segmented answer of `segments` full segments (1470 octets of parameters
// each, window 4): the request, every segment, the SegmentACKs and the
// reassembled Response.
void round_trip_segmented(benchmark::State& state) {
  const auto segments = static_cast<std::size_t>(state.range(0));
  constexpr std::size_t kSegmentOctets = 1470;
  constexpr std::uint8_t kWindow = 4;
  const Bytes parameters(segments * kSegmentOctets, 0x5A);
  std::vector<Bytes> datagrams;
  for (std::size_t i = 0; i < segments; ++i) {
    const auto part = std::span<const std::uint8_t>(parameters).subspan(i * kSegmentOctets, kSegmentOctets);
    datagrams.push_back(ack_segment_datagram(0, static_cast<std::uint8_t>(i), i + 1 < segments, kWindow, part));
  }
  Stack engine;
  const stack::BacnetAddr device = peer(0);
  const auto request = read_present_value(device);
  auto exchange = [&] {
    const std::uint8_t invoke_id = sent_invoke_id(engine.process(request));
    std::vector<stack::Output> last;
    for (const Bytes& datagram : datagrams) last = engine.process(answer_for(invoke_id, datagram, device));
    return last;
  };
  if (!is_response(exchange())) state.SkipWithError("the segments do not complete a response");
  for (auto _ : state) {
    const auto last = exchange();
    benchmark::DoNotOptimize(last.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * parameters.size()));
}
BENCHMARK(round_trip_segmented)->RangeMultiplier(2)->Range(2, 128);

// Tick with `n` outstanding requests of which none is due: the walk, the
// earliest deadline and a single Deadline output.
void tick_none_due(benchmark::State& state) {
  const auto outstanding = static_cast<std::size_t>(state.range(0));
  Stack engine;
  fill_outstanding(engine, outstanding, 0);
  if (engine.process(input::Tick{1.0}).size() != 1) state.SkipWithError("something was due");
  for (auto _ : state) {
    const auto outputs = engine.process(input::Tick{1.0});
    benchmark::DoNotOptimize(outputs.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(tick_none_due)->RangeMultiplier(4)->Range(1, 1 << 16)->Arg(10000)->Unit(benchmark::kMicrosecond);

// Tick with `n` outstanding requests that are all due: every datagram is sent
// again. Re-sends are counted, so the stack is rebuilt (untimed) before the
// requests would time out.
void tick_all_due(benchmark::State& state) {
  const auto outstanding = static_cast<std::size_t>(state.range(0));
  const StackConfig config{1.0, 255, 1476, 2097152};
  Stack engine(config);
  fill_outstanding(engine, outstanding, 0);
  double now = 0.0;
  for (auto _ : state) {
    now += config.apdu_timeout_secs;
    if (now > config.apdu_retries * config.apdu_timeout_secs) {
      state.PauseTiming();
      engine = Stack(config);
      fill_outstanding(engine, outstanding, 0);
      now = config.apdu_timeout_secs;
      state.ResumeTiming();
    }
    const auto outputs = engine.process(input::Tick{now});
    if (outputs.size() != outstanding + 1) state.SkipWithError("not every request was sent again");
    benchmark::DoNotOptimize(outputs.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(tick_all_due)->RangeMultiplier(4)->Range(1, 1 << 16)->Arg(10000)->Unit(benchmark::kMicrosecond);

// Filling the tables: n sends to fresh peers, from an empty stack.
void send_outstanding(benchmark::State& state) {
  const auto outstanding = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    Stack engine;
    fill_outstanding(engine, outstanding, 0);
    benchmark::DoNotOptimize(engine.transactions().size());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(send_outstanding)->RangeMultiplier(8)->Range(8, 1 << 15)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace ferromesh::bench
