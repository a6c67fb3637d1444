// One application-tagged value: decode and encode, per variant, and how the
// cost of the variable-length variants grows with their content.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "answers.hpp"
#include "codec/types.hpp"

namespace ferromesh::bench {
namespace {

using PV = PropertyValue;

Bytes encoded(const PV& value) {
  Bytes out;
  value.encode_tag_and_value(out);
  return out;
}

void decode_value(benchmark::State& state, const PV& value) {
  const Bytes wire = encoded(value);
  // A benchmark that measured a failing decode would describe nothing; the
  // loop does not run after this.
  if (!PV::decode(wire)) state.SkipWithError("the value does not decode");
  for (auto _ : state) {
    auto decoded = PV::decode(wire);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
}

void encode_value(benchmark::State& state, const PV& value) {
  Bytes out;
  out.reserve(encoded(value).size());
  for (auto _ : state) {
    out.clear();
    value.encode_tag_and_value(out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}

// Encoding into a new vector, as every request encoder does.
void encode_value_fresh(benchmark::State& state, const PV& value) {
  for (auto _ : state) {
    Bytes out;
    value.encode_tag_and_value(out);
    benchmark::DoNotOptimize(out.data());
  }
}

PV null_value() { return {PV::Null{}}; }
PV boolean_value() { return {PV::Boolean{true}}; }
PV unsigned_value() { return {PV::Unsigned{1476}}; }
PV signed_value() { return {PV::Signed{-40}}; }
PV double_value() { return {PV::Double{21.125}}; }
PV octet_string_value() { return {PV::OctetString{{0x01, 0x02, 0x03, 0x04}}}; }
PV short_text_value() { return text_value("AHU-1"); }
PV bit_string_value() { return {PV::BitString{4, {0x00}}}; }
PV enumerated_value() { return {PV::Enumerated{62}}; }
PV date_value() { return {PV::Date{2024, 3, 15, 4}}; }
PV time_value() { return {PV::Time{13, 45, 30, 50}}; }
PV object_id_value() { return {ObjectIdentifier{ObjectType::Member::AnalogInput, 1234}}; }
PV array_value() {
  std::vector<PV> values;
  for (std::uint32_t i = 0; i < 16; ++i) values.push_back(PV{PV::Unsigned{i * 100}});
  return {PV::Array{std::move(values)}};
}
PV any_value() { return {PV::Any{{0x44, 0x42, 0x91, 0x00, 0x00}}}; }

BENCHMARK_CAPTURE(decode_value, Null, null_value());
BENCHMARK_CAPTURE(decode_value, Boolean, boolean_value());
BENCHMARK_CAPTURE(decode_value, Unsigned, unsigned_value());
BENCHMARK_CAPTURE(decode_value, Signed, signed_value());
BENCHMARK_CAPTURE(decode_value, Real, real_value(72.5f));
BENCHMARK_CAPTURE(decode_value, Double, double_value());
BENCHMARK_CAPTURE(decode_value, OctetString, octet_string_value());
BENCHMARK_CAPTURE(decode_value, CharacterString, short_text_value());
BENCHMARK_CAPTURE(decode_value, CharacterString256, text_value(ascii_text(kLongTextLength)));
BENCHMARK_CAPTURE(decode_value, BitString, bit_string_value());
BENCHMARK_CAPTURE(decode_value, Enumerated, enumerated_value());
BENCHMARK_CAPTURE(decode_value, Date, date_value());
BENCHMARK_CAPTURE(decode_value, Time, time_value());
BENCHMARK_CAPTURE(decode_value, ObjectIdentifier, object_id_value());

BENCHMARK_CAPTURE(encode_value, Null, null_value());
BENCHMARK_CAPTURE(encode_value, Boolean, boolean_value());
BENCHMARK_CAPTURE(encode_value, Unsigned, unsigned_value());
BENCHMARK_CAPTURE(encode_value, Signed, signed_value());
BENCHMARK_CAPTURE(encode_value, Real, real_value(72.5f));
BENCHMARK_CAPTURE(encode_value, Double, double_value());
BENCHMARK_CAPTURE(encode_value, OctetString, octet_string_value());
BENCHMARK_CAPTURE(encode_value, CharacterString, short_text_value());
BENCHMARK_CAPTURE(encode_value, CharacterString256, text_value(ascii_text(kLongTextLength)));
BENCHMARK_CAPTURE(encode_value, BitString, bit_string_value());
BENCHMARK_CAPTURE(encode_value, Enumerated, enumerated_value());
BENCHMARK_CAPTURE(encode_value, Date, date_value());
BENCHMARK_CAPTURE(encode_value, Time, time_value());
BENCHMARK_CAPTURE(encode_value, ObjectIdentifier, object_id_value());
BENCHMARK_CAPTURE(encode_value, Array16, array_value());
BENCHMARK_CAPTURE(encode_value, Any, any_value());

BENCHMARK_CAPTURE(encode_value_fresh, Real, real_value(72.5f));
BENCHMARK_CAPTURE(encode_value_fresh, CharacterString256, text_value(ascii_text(kLongTextLength)));

// Growth with content length: ASCII text, text with two-octet UTF-8
// sequences, and raw octets.
void decode_text_of_length(benchmark::State& state) {
  decode_value(state, text_value(ascii_text(static_cast<std::size_t>(state.range(0)))));
}
BENCHMARK(decode_text_of_length)->RangeMultiplier(4)->Range(4, 16384);

void decode_non_ascii_text_of_length(benchmark::State& state) {
  std::string text;
  while (text.size() < static_cast<std::size_t>(state.range(0))) text += "\xC3\xA9";  // é
  decode_value(state, text_value(std::move(text)));
}
BENCHMARK(decode_non_ascii_text_of_length)->RangeMultiplier(4)->Range(4, 16384);

void decode_octets_of_length(benchmark::State& state) {
  decode_value(state, PV{PV::OctetString{Bytes(static_cast<std::size_t>(state.range(0)), 0xA5)}});
}
BENCHMARK(decode_octets_of_length)->RangeMultiplier(4)->Range(4, 16384);

}  // namespace
}  // namespace ferromesh::bench
