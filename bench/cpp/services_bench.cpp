// The acknowledgement decoders and request encoders, and how decoding grows
// with the size of an answer.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "answers.hpp"
#include "services/read_property.hpp"
#include "services/read_property_multiple.hpp"

namespace ferromesh::bench {
namespace {

namespace rp = services::read_property;
namespace rpm = services::read_property_multiple;

void decode_read_property(benchmark::State& state, const Bytes& payload) {
  if (!rp::decode_response(payload)) state.SkipWithError("the answer does not decode");
  for (auto _ : state) {
    auto result = rp::decode_response(payload);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payload.size()));
}

BENCHMARK_CAPTURE(decode_read_property, Real, read_property_ack(real_value(72.5f)));
BENCHMARK_CAPTURE(decode_read_property, CharacterString256,
                  read_property_ack(text_value(ascii_text(kLongTextLength))));

// An array answer (object-list) of n object identifiers.
void decode_read_property_array(benchmark::State& state) {
  const Bytes payload = read_property_array_ack(static_cast<std::size_t>(state.range(0)));
  decode_read_property(state, payload);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(decode_read_property_array)->RangeMultiplier(4)->Range(1, 4096);

void decode_read_property_multiple(benchmark::State& state, std::size_t objects) {
  const Bytes payload = read_property_multiple_ack(objects);
  const auto check = rpm::decode_response(payload);
  if (!check || check.value().size() != objects) state.SkipWithError("the answer does not decode");
  for (auto _ : state) {
    auto result = rpm::decode_response(payload);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * payload.size()));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * objects * 10));  // property results
  state.counters["octets"] = static_cast<double>(payload.size());
}

BENCHMARK_CAPTURE(decode_read_property_multiple, 50x10, kRpmObjects);

// Growth with the number of objects, ten properties each.
void decode_read_property_multiple_objects(benchmark::State& state) {
  decode_read_property_multiple(state, static_cast<std::size_t>(state.range(0)));
}
BENCHMARK(decode_read_property_multiple_objects)->RangeMultiplier(4)->Range(1, 1024);

void encode_read_property(benchmark::State& state) {
  const ObjectIdentifier object{ObjectType::Member::AnalogInput, 1};
  for (auto _ : state) {
    Bytes request = rp::encode_request(object, PropertyIdentifier::Member::PresentValue, std::nullopt);
    benchmark::DoNotOptimize(request.data());
  }
}
BENCHMARK(encode_read_property);

// The request that asks for the 50 x 10 answer above.
void encode_read_property_multiple(benchmark::State& state) {
  std::vector<services::ReadAccessSpec> specs;
  for (std::uint32_t i = 0; i < kRpmObjects; ++i) {
    services::ReadAccessSpec spec{{ObjectType::Member::AnalogInput, 1000 + i}, {}};
    for (std::uint32_t property : {77u, 85u, 111u, 36u, 81u, 117u, 103u, 28u, 75u, 87u}) {
      spec.properties.push_back({PropertyIdentifier::from_u32(property), std::nullopt});
    }
    specs.push_back(std::move(spec));
  }
  for (auto _ : state) {
    Bytes request = rpm::encode_request(specs);
    benchmark::DoNotOptimize(request.data());
  }
}
BENCHMARK(encode_read_property_multiple);

}  // namespace
}  // namespace ferromesh::bench
