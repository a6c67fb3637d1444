// 100 000 requests outstanding across many devices: the time of one Tick
// over all of them, the heap each outstanding request holds, and whole
// cycles of sending, re-sending and answering in random order.
//
// Memory is glibc's count of allocated heap octets (mallinfo2().uordblks,
// malloc's own chunk overhead included) after the requests are sent, less
// the count before, divided by the number of requests.

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <random>
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

// Octet 7 of an answer: BVLC (4), NPDU (2), PDU type.
constexpr std::size_t kAnswerInvokeIdOffset = 7;

// `per_peer` requests to each of `peers` devices, sent round-robin; returns
// the heap octets they added.
std::size_t send_requests(Stack& engine, std::size_t peers, std::size_t per_peer) {
  const std::size_t before = mallinfo2().uordblks;
  for (std::size_t n = 0; n < per_peer; ++n) {
    for (std::size_t p = 0; p < peers; ++p) {
      const auto outputs = engine.process(read_present_value(peer(p), static_cast<std::uint32_t>(n)));
      benchmark::DoNotOptimize(outputs.data());
    }
  }
  return mallinfo2().uordblks - before;
}

void report(benchmark::State& state, std::size_t outstanding, std::size_t heap) {
  state.counters["outstanding"] = static_cast<double>(outstanding);
  state.counters["heap_per_request"] = static_cast<double>(heap) / static_cast<double>(outstanding);
}

// Tick with every request outstanding and none due: one walk over all of
// them and a single Deadline.
void load_tick_none_due(benchmark::State& state) {
  const auto peers = static_cast<std::size_t>(state.range(0));
  const auto per_peer = static_cast<std::size_t>(state.range(1));
  Stack engine;
  const std::size_t heap = send_requests(engine, peers, per_peer);
  if (engine.process(input::Tick{1.0}).size() != 1) state.SkipWithError("something was due");
  for (auto _ : state) {
    const auto outputs = engine.process(input::Tick{1.0});
    benchmark::DoNotOptimize(outputs.data());
  }
  report(state, engine.transactions().size(), heap);
}
BENCHMARK(load_tick_none_due)
    ->ArgNames({"peers", "per_peer"})
    ->Args({1000, 100})
    ->Args({391, 256})
    ->Unit(benchmark::kMillisecond);

// Tick with every request due: all are sent again. The stack is rebuilt,
// untimed, before the requests would time out.
void load_tick_all_due(benchmark::State& state) {
  const auto peers = static_cast<std::size_t>(state.range(0));
  const auto per_peer = static_cast<std::size_t>(state.range(1));
  const StackConfig config{1.0, 255, 1476, 2097152};
  Stack engine(config);
  const std::size_t heap = send_requests(engine, peers, per_peer);
  double now = 0.0;
  for (auto _ : state) {
    now += config.apdu_timeout_secs;
    if (now > config.apdu_retries * config.apdu_timeout_secs) {
      state.PauseTiming();
      engine = Stack(config);
      (void)send_requests(engine, peers, per_peer);
      now = config.apdu_timeout_secs;
      state.ResumeTiming();
    }
    const auto outputs = engine.process(input::Tick{now});
    if (outputs.size() != peers * per_peer + 1) state.SkipWithError("not every request was sent again");
    benchmark::DoNotOptimize(outputs.data());
  }
  report(state, peers * per_peer, heap);
}
BENCHMARK(load_tick_all_due)
    ->ArgNames({"peers", "per_peer"})
    ->Args({1000, 100})
    ->Args({391, 256})
    ->Unit(benchmark::kMillisecond);

// A whole cycle: send every request, tick twice through re-sends, answer
// each once in random order, tick again. Items are requests.
void load_cycle(benchmark::State& state) {
  const auto peers = static_cast<std::size_t>(state.range(0));
  const auto per_peer = static_cast<std::size_t>(state.range(1));
  std::vector<std::pair<std::size_t, std::uint8_t>> order;
  for (std::size_t p = 0; p < peers; ++p) {
    for (std::size_t id = 0; id < per_peer; ++id) order.emplace_back(p, static_cast<std::uint8_t>(id));
  }
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  const Bytes answer = complex_ack_datagram(0, read_property_ack(real_value(72.5f)));

  for (auto _ : state) {
    Stack engine;
    (void)send_requests(engine, peers, per_peer);
    for (double now : {3.0, 6.0}) benchmark::DoNotOptimize(engine.process(input::Tick{now}).data());
    for (const auto& [p, id] : order) {
      input::Received received{answer, peer(p)};
      received.data[kAnswerInvokeIdOffset] = id;
      const auto outputs = engine.process(std::move(received));
      benchmark::DoNotOptimize(outputs.data());
    }
    if (!engine.process(input::Tick{9.0}).empty() || !engine.transactions().empty()) {
      state.SkipWithError("requests were left over");
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(order.size()));
}
BENCHMARK(load_cycle)
    ->ArgNames({"peers", "per_peer"})
    ->Args({1000, 100})
    ->Args({391, 256})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ferromesh::bench
