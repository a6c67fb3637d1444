// Encoder side: NPDU headers of every shape, built from the fuzz input, encode
// and decode back.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "check.hpp"
#include "codec/npdu.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;

namespace {

std::optional<npdu::NetworkAddress> make_address(FuzzedDataProvider& in) {
  if (!in.ConsumeBool()) return std::nullopt;
  npdu::NetworkAddress address;
  address.net = in.ConsumeIntegral<std::uint16_t>();
  address.mac = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegral<std::uint8_t>());
  return address;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  npdu::Header params;
  params.destination = make_address(in);
  params.source = make_address(in);
  if (in.ConsumeBool()) params.hop_count = in.ConsumeIntegral<std::uint8_t>();
  params.expecting_reply = in.ConsumeBool();
  params.network_layer_message = in.ConsumeBool();
  params.priority = in.ConsumeIntegralInRange<std::uint8_t>(0, 3);
  const std::vector<std::uint8_t> apdu = in.ConsumeRemainingBytes<std::uint8_t>();

  // Appended after octets already in the buffer, as a datagram's BVLC header.
  Bytes encoded(4, 0xEE);
  npdu::append_header(encoded, params);
  append_bytes(encoded, apdu);
  FUZZ_CHECK(encoded[0] == 0xEE && encoded[3] == 0xEE);
  encoded.erase(encoded.begin(), encoded.begin() + 4);
  // Network 0 names no network, and a source is one device: the decoder
  // refuses those, and only those, as invalid.
  const bool valid = (!params.destination || params.destination->net != 0) &&
                     (!params.source || (params.source->net != 0 && params.source->net != npdu::kGlobalNetwork &&
                                         !params.source->mac.empty()));
  auto frame = npdu::decode(encoded);
  FUZZ_CHECK(frame.ok() == valid);
  if (!valid) {
    FUZZ_CHECK(frame.error() == DecodeError::InvalidData);
    return 0;
  }
  FUZZ_CHECK(frame->destination == params.destination);
  FUZZ_CHECK(frame->source == params.source);
  // Without a destination there is no hop count on the wire; with one and
  // none given, the encoder writes 255.
  const std::optional<std::uint8_t> hop_count =
      params.destination ? std::optional<std::uint8_t>(params.hop_count.value_or(255)) : std::nullopt;
  FUZZ_CHECK(frame->hop_count == hop_count);
  FUZZ_CHECK(frame->expecting_reply == params.expecting_reply);
  FUZZ_CHECK(frame->network_layer_message == params.network_layer_message);
  FUZZ_CHECK(frame->priority == params.priority);
  FUZZ_CHECK(same_bytes(frame->apdu, apdu));
  FUZZ_CHECK(ends_with_slice(frame->apdu, encoded));
  return 0;
}
