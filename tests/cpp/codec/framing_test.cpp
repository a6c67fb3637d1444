#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "codec/apdu.hpp"
#include "codec/bvlc.hpp"
#include "codec/npdu.hpp"

namespace ferromesh {
namespace {

using Octets = std::vector<std::uint8_t>;

Octets to_octets(std::span<const std::uint8_t> s) { return {s.begin(), s.end()}; }

// ---------------------------------------------------------------------------
// BVLC

// A datagram of `function` carrying `content`, built the way the engine builds them.
Octets wrap(std::uint8_t function, std::span<const std::uint8_t> content) {
  Octets out;
  const std::size_t start = bvlc::begin(out, function);
  append_bytes(out, content);
  bvlc::finish(out, start);
  return out;
}

TEST(Bvlc, BeginAndFinishWriteHeaderAndTotalLength) {
  const Octets npdu = {0x01, 0x04, 0x02, 0x05, 0x01, 0x0C};
  EXPECT_EQ(wrap(bvlc::kOriginalUnicastNpdu, npdu),
            (Octets{0x81, 0x0A, 0x00, 0x0A, 0x01, 0x04, 0x02, 0x05, 0x01, 0x0C}));
  EXPECT_EQ(wrap(bvlc::kOriginalBroadcastNpdu, {}), (Octets{0x81, 0x0B, 0x00, 0x04}));
  // Register-Foreign-Device with a time-to-live of 600 s.
  EXPECT_EQ(wrap(bvlc::kRegisterForeignDevice, Octets{0x02, 0x58}), (Octets{0x81, 0x05, 0x00, 0x06, 0x02, 0x58}));
  // A datagram appended after other octets counts only its own.
  Octets out = {0xEE};
  const std::size_t start = bvlc::begin(out, bvlc::kDistributeBroadcastToNetwork);
  append_bytes(out, npdu);
  bvlc::finish(out, start);
  EXPECT_EQ(out, (Octets{0xEE, 0x81, 0x09, 0x00, 0x0A, 0x01, 0x04, 0x02, 0x05, 0x01, 0x0C}));
}

TEST(Bvlc, LargeNpduRoundTrips) {
  const Octets npdu(1500, 0xAB);
  const Octets datagram = wrap(bvlc::kOriginalUnicastNpdu, npdu);
  ASSERT_EQ(datagram.size(), 1504u);
  EXPECT_EQ(datagram[2], 0x05);
  EXPECT_EQ(datagram[3], 0xE0);
  EXPECT_EQ(to_octets(bvlc::unwrap(datagram)->npdu), npdu);
}

struct UnwrapCase {
  const char* name;
  Octets datagram;
  std::optional<Octets> npdu;  // nothing: dropped
  std::optional<bvlc::BipAddress> forwarded_from = std::nullopt;
};

void PrintTo(const UnwrapCase& c, std::ostream* os) { *os << c.name; }

class BvlcUnwrap : public testing::TestWithParam<UnwrapCase> {};

TEST_P(BvlcUnwrap, KeepsOrDrops) {
  const auto frame = bvlc::unwrap(GetParam().datagram);
  ASSERT_EQ(frame.has_value(), GetParam().npdu.has_value());
  if (frame) {
    EXPECT_EQ(frame->function, GetParam().datagram[1]);
    EXPECT_EQ(to_octets(frame->npdu), *GetParam().npdu);
    EXPECT_EQ(frame->forwarded_from(), GetParam().forwarded_from);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, BvlcUnwrap,
    testing::Values(
        UnwrapCase{"Unicast", {0x81, 0x0A, 0x00, 0x09, 0x01, 0x00, 0x20, 0x05, 0x0F}, Octets{0x01, 0x00, 0x20, 0x05, 0x0F}},
        UnwrapCase{"Broadcast", {0x81, 0x0B, 0x00, 0x06, 0x01, 0x00}, Octets{0x01, 0x00}},
        UnwrapCase{"OctetsPastLengthIgnored", {0x81, 0x0A, 0x00, 0x06, 0x01, 0x00, 0x20, 0x05}, Octets{0x01, 0x00}},
        UnwrapCase{"HeaderOnly", {0x81, 0x0A, 0x00, 0x04}, Octets{}},
        UnwrapCase{"ForwardedNpdu",
                   {0x81, 0x04, 0x00, 0x0C, 0xC0, 0xA8, 0x01, 0x05, 0xBA, 0xC0, 0x01, 0x00},
                   Octets{0x01, 0x00},
                   bvlc::BipAddress{0xC0, 0xA8, 0x01, 0x05, 0xBA, 0xC0}},
        UnwrapCase{"ForwardedNpduCutInItsAddress", {0x81, 0x04, 0x00, 0x09, 0x01, 0x00, 0x20, 0x05, 0x0F}, std::nullopt},
        UnwrapCase{"Function09", {0x81, 0x09, 0x00, 0x09, 0x01, 0x00, 0x20, 0x05, 0x0F}, std::nullopt},
        UnwrapCase{"BvlcResult", {0x81, 0x00, 0x00, 0x06, 0x00, 0x00}, std::nullopt},
        UnwrapCase{"NotBacnetIp", {0x82, 0x0A, 0x00, 0x04}, std::nullopt},
        UnwrapCase{"LengthBelowHeader", {0x81, 0x0A, 0x00, 0x03, 0x01, 0x00}, std::nullopt},
        UnwrapCase{"LengthZero", {0x81, 0x0A, 0x00, 0x00}, std::nullopt},
        UnwrapCase{"LengthPastDatagram", {0x81, 0x0A, 0x00, 0x0A, 0x01, 0x00, 0x20, 0x05, 0x0F}, std::nullopt},
        UnwrapCase{"LengthFarPastDatagram", {0x81, 0x0A, 0xFF, 0xFF, 0x01, 0x00}, std::nullopt},
        UnwrapCase{"Empty", {}, std::nullopt}, UnwrapCase{"ThreeOctets", {0x81, 0x0A, 0x00}, std::nullopt}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

// ---------------------------------------------------------------------------
// NPDU

// A header and the body that follows it.
struct NpduParams {
  npdu::Header header;
  std::span<const std::uint8_t> apdu;
};

Octets encode(const NpduParams& params) {
  Octets out;
  npdu::append_header(out, params.header);
  append_bytes(out, params.apdu);
  return out;
}

struct NpduCase {
  const char* name;
  NpduParams params;
  Octets wire;
};

void PrintTo(const NpduCase& c, std::ostream* os) { *os << c.name; }

// The frame that decoding `params`' encoding must give.
void expect_frame_matches(const npdu::NpduFrame& frame, const NpduParams& params) {
  const npdu::Header& header = params.header;
  EXPECT_EQ(frame.destination, header.destination);
  EXPECT_EQ(frame.source, header.source);
  EXPECT_EQ(frame.hop_count, header.destination ? std::optional(header.hop_count.value_or(255)) : std::nullopt);
  EXPECT_EQ(frame.expecting_reply, header.expecting_reply);
  EXPECT_EQ(frame.network_layer_message, header.network_layer_message);
  EXPECT_EQ(frame.priority, header.priority);
  EXPECT_EQ(to_octets(frame.apdu), to_octets(params.apdu));
}

class Npdu : public testing::TestWithParam<NpduCase> {};

TEST_P(Npdu, EncodesExactOctets) { EXPECT_EQ(encode(GetParam().params), GetParam().wire); }

TEST_P(Npdu, DecodesBack) {
  const auto frame = npdu::decode(GetParam().wire);
  ASSERT_TRUE(frame.ok()) << to_string(frame.error());
  expect_frame_matches(frame.value(), GetParam().params);
  // The APDU is borrowed from the input, not copied.
  EXPECT_EQ(frame->apdu.data() + frame->apdu.size(), GetParam().wire.data() + GetParam().wire.size());
}

TEST_P(Npdu, EveryPrefixOfTheHeaderIsIncomplete) {
  const Octets& wire = GetParam().wire;
  const std::size_t header = wire.size() - GetParam().params.apdu.size();
  for (std::size_t n = 0; n < header; ++n) {
    const auto frame = npdu::decode(std::span(wire).first(n));
    ASSERT_FALSE(frame.ok()) << n;
    EXPECT_EQ(frame.error(), DecodeError::IncompleteData) << n;
  }
}

const Octets kApdu = {0x02, 0x05, 0x01, 0x0C};

NpduParams npdu_params(std::optional<npdu::NetworkAddress> destination, std::optional<npdu::NetworkAddress> source,
                       std::optional<std::uint8_t> hop_count, bool expecting_reply = false,
                       bool network_layer_message = false, std::uint8_t priority = 0,
                       std::span<const std::uint8_t> apdu = kApdu) {
  return {{std::move(destination), std::move(source), hop_count, expecting_reply, network_layer_message, priority},
          apdu};
}

const Octets kIAmRouter = {0x01, 0x00, 0x05};

INSTANTIATE_TEST_SUITE_P(
    Headers, Npdu,
    testing::Values(
        NpduCase{"ConfirmedRequest",
                 npdu_params(std::nullopt, std::nullopt, std::nullopt, true),
                 {0x01, 0x04, 0x02, 0x05, 0x01, 0x0C}},
        NpduCase{"NoApdu", npdu_params(std::nullopt, std::nullopt, std::nullopt, false, false, 0, {}), {0x01, 0x00}},
        NpduCase{"Priority3", npdu_params(std::nullopt, std::nullopt, std::nullopt, false, false, 3), {0x01, 0x03, 0x02, 0x05, 0x01, 0x0C}},
        NpduCase{"NetworkMessage",
                 npdu_params(std::nullopt, std::nullopt, std::nullopt, false, true, 0, kIAmRouter),
                 {0x01, 0x80, 0x01, 0x00, 0x05}},
        NpduCase{"GlobalBroadcastDestination",
                 npdu_params(npdu::NetworkAddress{0xFFFF, {}}, std::nullopt, 255),
                 {0x01, 0x20, 0xFF, 0xFF, 0x00, 0xFF, 0x02, 0x05, 0x01, 0x0C}},
        NpduCase{"RemoteDestination",
                 npdu_params(npdu::NetworkAddress{7, {0x0A, 0x0B}}, std::nullopt, 16, true),
                 {0x01, 0x24, 0x00, 0x07, 0x02, 0x0A, 0x0B, 0x10, 0x02, 0x05, 0x01, 0x0C}},
        NpduCase{"Source",
                 npdu_params(std::nullopt, npdu::NetworkAddress{5, {0x0A}}, std::nullopt),
                 {0x01, 0x08, 0x00, 0x05, 0x01, 0x0A, 0x02, 0x05, 0x01, 0x0C}},
        // A router forwarding a global broadcast: the hop count follows the source.
        NpduCase{"DestinationAndSource",
                 npdu_params(npdu::NetworkAddress{0xFFFF, {}}, npdu::NetworkAddress{2001, {0xC0, 0xA8, 0x01, 0x10, 0xBA, 0xC0}},
                        254),
                 {0x01, 0x28, 0xFF, 0xFF, 0x00, 0x07, 0xD1, 0x06, 0xC0, 0xA8, 0x01, 0x10, 0xBA, 0xC0, 0xFE,
                  0x02, 0x05, 0x01, 0x0C}},
        NpduCase{"EverythingSet",
                 npdu_params(npdu::NetworkAddress{1, {0x01}}, npdu::NetworkAddress{2, {0x02, 0x03}}, 0, true, true, 2),
                 {0x01, 0xAE, 0x00, 0x01, 0x01, 0x01, 0x00, 0x02, 0x02, 0x02, 0x03, 0x00, 0x02, 0x05, 0x01, 0x0C}}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(NpduEncode, MissingHopCountIsWrittenAs255) {
  EXPECT_EQ(encode(npdu_params(npdu::NetworkAddress{3, {0x09}}, std::nullopt, std::nullopt, false, false, 0, {})),
            (Octets{0x01, 0x20, 0x00, 0x03, 0x01, 0x09, 0xFF}));
}

TEST(NpduEncode, HopCountWithoutDestinationIsNotWritten) {
  EXPECT_EQ(encode(npdu_params(std::nullopt, std::nullopt, 7, false, false, 0, {})), (Octets{0x01, 0x00}));
}

TEST(NpduEncode, PriorityKeepsItsTwoBits) {
  EXPECT_EQ(encode(npdu_params(std::nullopt, std::nullopt, std::nullopt, false, false, 0xFF, {})),
            (Octets{0x01, 0x03}));
}

TEST(NpduEncode, AddressOfMaximumLength) {
  const Octets mac(255, 0x42);
  const Octets wire = encode(npdu_params(npdu::NetworkAddress{9, mac}, std::nullopt, 1));
  ASSERT_EQ(wire.size(), 2 + 3 + 255 + 1 + kApdu.size());
  EXPECT_EQ(wire[4], 255);
  const auto frame = npdu::decode(wire);
  ASSERT_TRUE(frame.ok());
  EXPECT_EQ(frame->destination->mac, mac);
}

TEST(NpduDecode, VersionOtherThan1IsInvalid) {
  const Octets wire = {0x02, 0x00};
  const auto frame = npdu::decode(wire);
  ASSERT_FALSE(frame.ok());
  EXPECT_EQ(frame.error(), DecodeError::InvalidData);
}

TEST(NpduDecode, ReservedControlBitsAreIgnored) {
  const Octets wire = {0x01, 0x50, 0x10, 0x08};
  const auto frame = npdu::decode(wire);
  ASSERT_TRUE(frame.ok());
  EXPECT_FALSE(frame->destination || frame->source || frame->network_layer_message);
  EXPECT_EQ(to_octets(frame->apdu), (Octets{0x10, 0x08}));
}

TEST(NpduDecode, AddressLengthPastTheInputIsIncomplete) {
  for (const Octets& wire : {Octets{0x01, 0x20, 0x00, 0x01, 0xFF, 0x01, 0x02},
                             Octets{0x01, 0x08, 0x00, 0x01, 0x06, 0x01, 0x02, 0x03}}) {
    const auto frame = npdu::decode(wire);
    ASSERT_FALSE(frame.ok());
    EXPECT_EQ(frame.error(), DecodeError::IncompleteData);
  }
}

// ---------------------------------------------------------------------------
// APDU: encoders

struct ConfirmedCase {
  const char* name;
  apdu::ConfirmedRequestHeader header;
  Octets wire;
};

void PrintTo(const ConfirmedCase& c, std::ostream* os) { *os << c.name; }

class ConfirmedRequest : public testing::TestWithParam<ConfirmedCase> {};

// The header, then the service parameters as the caller appends them.
Octets encode(const apdu::ConfirmedRequestHeader& header, std::span<const std::uint8_t> parameters) {
  Octets out;
  apdu::append_confirmed_request(out, header);
  append_bytes(out, parameters);
  return out;
}

const Octets kReadPropertyParameters = {0x0C, 0x00, 0x00, 0x00, 0x01, 0x19, 0x55};

TEST_P(ConfirmedRequest, EncodesExactOctets) {
  EXPECT_EQ(encode(GetParam().header, kReadPropertyParameters), GetParam().wire);
}

apdu::ConfirmedRequestHeader request(std::uint8_t invoke_id, std::optional<apdu::SegmentHeader> segmentation,
                                     bool segmented_response_accepted = true, std::uint8_t max_segments = 0,
                                     std::uint8_t max_apdu = apdu::kMaxApduCode1476) {
  return {invoke_id, 12, max_segments, max_apdu, segmentation, segmented_response_accepted};
}

INSTANTIATE_TEST_SUITE_P(
    Headers, ConfirmedRequest,
    testing::Values(
        ConfirmedCase{"Unsegmented", request(1, std::nullopt),
                      {0x02, 0x05, 0x01, 0x0C, 0x0C, 0x00, 0x00, 0x00, 0x01, 0x19, 0x55}},
        ConfirmedCase{"SegmentMoreFollows", request(0xFE, apdu::SegmentHeader{true, 0, 4}),
                      {0x0E, 0x05, 0xFE, 0x00, 0x04, 0x0C, 0x0C, 0x00, 0x00, 0x00, 0x01, 0x19, 0x55}},
        ConfirmedCase{"LastSegment", request(3, apdu::SegmentHeader{false, 7, 16}),
                      {0x0A, 0x05, 0x03, 0x07, 0x10, 0x0C, 0x0C, 0x00, 0x00, 0x00, 0x01, 0x19, 0x55}},
        ConfirmedCase{"NoSegmentedResponse", request(1, std::nullopt, false),
                      {0x00, 0x05, 0x01, 0x0C, 0x0C, 0x00, 0x00, 0x00, 0x01, 0x19, 0x55}},
        ConfirmedCase{"MaxSegmentsAndApduCodes", request(1, std::nullopt, true, 7, 15),
                      {0x02, 0x7F, 0x01, 0x0C, 0x0C, 0x00, 0x00, 0x00, 0x01, 0x19, 0x55}}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

// Short PDUs with their flags, encoded and decoded back.
TEST(ShortPduEncode, SegmentAckAndAbortWithTheirFlags) {
  for (const bool negative : {false, true}) {
    for (const bool server : {false, true}) {
      Octets wire;
      apdu::append_segment_ack(wire, {negative, server, 0x11, 0x22, 0x33});
      EXPECT_EQ(wire, (Octets{static_cast<std::uint8_t>(0x40 | (negative ? 2 : 0) | (server ? 1 : 0)), 0x11, 0x22, 0x33}));
      const auto ack = apdu::decode_segment_ack(wire);
      EXPECT_TRUE(ack->negative == negative && ack->server == server);

      Octets abort;
      apdu::append_abort(abort, {server, 0x44, 0x05});
      EXPECT_EQ(abort, (Octets{static_cast<std::uint8_t>(server ? 0x71 : 0x70), 0x44, 0x05}));
      EXPECT_EQ(apdu::decode_abort(abort)->server, server);
    }
  }
  Octets who_is;
  apdu::append_unconfirmed_request(who_is, 8);
  EXPECT_EQ(who_is, (Octets{0x10, 0x08}));
}

// ---------------------------------------------------------------------------
// APDU: decoders

TEST(PduType, IsTheHighNibble) {
  EXPECT_EQ(apdu::pdu_type({}), std::nullopt);
  for (int first = 0; first <= 0xFF; ++first) {
    const Octets apdu = {static_cast<std::uint8_t>(first)};
    EXPECT_EQ(apdu::pdu_type(apdu), first >> 4);
  }
}

// Every strict prefix of a header a decoder accepts must be IncompleteData.
template <class Decoder>
void expect_prefixes_incomplete(const Octets& wire, std::size_t header_length, Decoder decode) {
  for (std::size_t n = 0; n < header_length; ++n) {
    const auto result = decode(std::span(wire).first(n));
    ASSERT_FALSE(result.ok()) << n;
    EXPECT_EQ(result.error(), DecodeError::IncompleteData) << n;
  }
}

TEST(ComplexAckDecode, Unsegmented) {
  const Octets wire = {0x30, 0x07, 0x0C, 0x0C, 0x02, 0x00, 0x00, 0x01};
  const auto ack = apdu::decode_complex_ack(wire);
  ASSERT_TRUE(ack.ok());
  EXPECT_EQ(ack->invoke_id, 7);
  EXPECT_EQ(ack->service_choice, 12);
  EXPECT_EQ(ack->segmentation, std::nullopt);
  EXPECT_EQ(to_octets(ack->payload), (Octets{0x0C, 0x02, 0x00, 0x00, 0x01}));
  expect_prefixes_incomplete(wire, 3, apdu::decode_complex_ack);
}

TEST(ComplexAckDecode, SegmentedMoreFollows) {
  const Octets wire = {0x3C, 0x07, 0x00, 0x04, 0x0C, 0x0C, 0x02};
  const auto ack = apdu::decode_complex_ack(wire);
  ASSERT_TRUE(ack.ok());
  EXPECT_EQ(ack->invoke_id, 7);
  EXPECT_EQ(ack->service_choice, 12);
  EXPECT_EQ(ack->segmentation, (apdu::SegmentHeader{true, 0, 4}));
  EXPECT_EQ(to_octets(ack->payload), (Octets{0x0C, 0x02}));
  expect_prefixes_incomplete(wire, 5, apdu::decode_complex_ack);
}

TEST(ComplexAckDecode, LastSegmentWithEmptyPayload) {
  const Octets wire = {0x38, 0x09, 0x02, 0x01, 0x0E};
  const auto ack = apdu::decode_complex_ack(wire);
  ASSERT_TRUE(ack.ok());
  EXPECT_EQ(ack->segmentation, (apdu::SegmentHeader{false, 2, 1}));
  EXPECT_EQ(ack->service_choice, 14);
  EXPECT_TRUE(ack->payload.empty());
}

TEST(ErrorDecode, ClassAndCode) {
  const Octets wire = {0x50, 0x01, 0x0C, 0x91, 0x02, 0x91, 0x20, 0xAA};
  const auto error = apdu::decode_error_apdu(wire);
  ASSERT_TRUE(error.ok());
  EXPECT_EQ(error->invoke_id, 1);
  EXPECT_EQ(error->service_choice, 12);
  EXPECT_EQ(error->error_class, 2u);
  EXPECT_EQ(error->error_code, 32u);
  expect_prefixes_incomplete(wire, 7, apdu::decode_error_apdu);
}

TEST(ErrorDecode, WideAndExtendedLengthEnumerations) {
  const Octets wire = {0x50, 0x01, 0x0F, 0x94, 0x01, 0x02, 0x03, 0x04, 0x95, 0x02, 0x01, 0x00};
  const auto error = apdu::decode_error_apdu(wire);
  ASSERT_TRUE(error.ok());
  EXPECT_EQ(error->error_class, 0x01020304u);
  EXPECT_EQ(error->error_code, 256u);
}

// WritePropertyMultiple and other services with details of their own put
// the class and code inside tag 0; the details stay in the parameters.
TEST(ErrorDecode, BracketedClassAndCodeWithDetails) {
  const Octets wire = {0x50, 0x07, 0x10, 0x0E, 0x91, 0x02, 0x91, 0x28, 0x0F,
                       0x1E, 0x0C, 0x00, 0x80, 0x00, 0x01, 0x19, 0x55, 0x1F};
  const auto error = apdu::decode_error_apdu(wire);
  ASSERT_TRUE(error.ok());
  EXPECT_EQ(error->service_choice, 16);
  EXPECT_EQ(error->error_class, 2u);
  EXPECT_EQ(error->error_code, 40u);
  EXPECT_EQ(Octets(error->parameters.begin(), error->parameters.end()), Octets(wire.begin() + 3, wire.end()));
}

TEST(ErrorDecode, ClassBitIsNotExamined) {
  const Octets wire = {0x50, 0x01, 0x0C, 0x99, 0x02, 0x99, 0x20};
  const auto error = apdu::decode_error_apdu(wire);
  ASSERT_TRUE(error.ok());
  EXPECT_EQ(error->error_class, 2u);
  EXPECT_EQ(error->error_code, 32u);
}

struct ErrorCase {
  const char* name;
  Octets wire;
  DecodeError error;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class ErrorDecodeFails : public testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorDecodeFails, WithKind) {
  const auto error = apdu::decode_error_apdu(GetParam().wire);
  ASSERT_FALSE(error.ok());
  EXPECT_EQ(error.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, ErrorDecodeFails,
    testing::Values(ErrorCase{"CutAfterClass", {0x50, 0x01, 0x0C, 0x91, 0x02}, DecodeError::IncompleteData},
                    ErrorCase{"CodeContentMissing", {0x50, 0x01, 0x0C, 0x91, 0x02, 0x92, 0x01}, DecodeError::IncompleteData},
                    ErrorCase{"NotAnErrorPdu", {0x30, 0x01, 0x0C, 0x91, 0x02, 0x91, 0x20}, DecodeError::InvalidData},
                    ErrorCase{"ClassNotEnumerated", {0x50, 0x01, 0x0C, 0x21, 0x02, 0x91, 0x20}, DecodeError::InvalidData},
                    ErrorCase{"CodeNotEnumerated", {0x50, 0x01, 0x0C, 0x91, 0x02, 0x21, 0x20}, DecodeError::InvalidData},
                    ErrorCase{"BracketCut", {0x50, 0x01, 0x10, 0x0E, 0x91, 0x02}, DecodeError::IncompleteData},
                    ErrorCase{"BracketNotClosed", {0x50, 0x01, 0x10, 0x0E, 0x91, 0x02, 0x91, 0x07, 0x1E},
                              DecodeError::InvalidData},
                    ErrorCase{"ClassLvt6", {0x50, 0x01, 0x0C, 0x96, 0, 0, 0, 0, 0, 2, 0x91, 0x20}, DecodeError::InvalidData},
                    ErrorCase{"ClassOfFiveOctets",
                              {0x50, 0x01, 0x0C, 0x95, 0x05, 0x01, 0x00, 0x00, 0x00, 0x02, 0x91, 0x20},
                              DecodeError::InvalidData},
                    ErrorCase{"ExtendedLengthMissing", {0x50, 0x01, 0x0C, 0x95}, DecodeError::IncompleteData}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(SegmentAckDecode, Flags) {
  struct Case {
    std::uint8_t first;
    bool negative;
    bool server;
  };
  for (const Case c : {Case{0x40, false, false}, Case{0x42, true, false}, Case{0x41, false, true}, Case{0x43, true, true}}) {
    const Octets wire = {c.first, 0x05, 0x02, 0x04, 0xFF};
    const auto ack = apdu::decode_segment_ack(wire);
    ASSERT_TRUE(ack.ok());
    EXPECT_EQ(ack->negative, c.negative);
    EXPECT_EQ(ack->server, c.server);
    EXPECT_EQ(ack->invoke_id, 5);
    EXPECT_EQ(ack->sequence_number, 2);
    EXPECT_EQ(ack->actual_window_size, 4);
    expect_prefixes_incomplete(wire, 4, apdu::decode_segment_ack);
  }
}

// The short headers, each with its decoder, a valid header and its length.
struct ShortHeaderCase {
  const char* name;
  std::function<std::optional<DecodeError>(std::span<const std::uint8_t>)> decode_error;  // nothing when it decodes
  Octets wire;
  std::size_t needs;
  std::uint8_t pdu_type;
};

void PrintTo(const ShortHeaderCase& c, std::ostream* os) { *os << c.name; }

template <class Decoder>
std::function<std::optional<DecodeError>(std::span<const std::uint8_t>)> error_of(Decoder decode) {
  return [decode](std::span<const std::uint8_t> apdu) -> std::optional<DecodeError> {
    const auto result = decode(apdu);
    if (result.ok()) return std::nullopt;
    return result.error();
  };
}

class ShortHeader : public testing::TestWithParam<ShortHeaderCase> {};

TEST_P(ShortHeader, ShorterThanNeededIsIncomplete) {
  const auto& c = GetParam();
  for (std::size_t n = 0; n < c.needs; ++n) {
    EXPECT_EQ(c.decode_error(std::span(c.wire).first(n)), DecodeError::IncompleteData) << n;
  }
}

TEST_P(ShortHeader, EveryOtherPduTypeIsInvalid) {
  const auto& c = GetParam();
  EXPECT_EQ(c.decode_error(c.wire), std::nullopt) << "the valid header must decode";
  for (std::uint8_t type = 0; type < 16; ++type) {
    if (type == c.pdu_type) continue;
    Octets wire = c.wire;
    wire[0] = static_cast<std::uint8_t>(type << 4 | (wire[0] & 0x0F));
    EXPECT_EQ(c.decode_error(wire), DecodeError::InvalidData) << int{type};
  }
}

INSTANTIATE_TEST_SUITE_P(
    Types, ShortHeader,
    testing::Values(ShortHeaderCase{"SimpleAck", error_of(apdu::decode_simple_ack), {0x20, 0x05, 0x0F}, 3, 2},
                    ShortHeaderCase{"Reject", error_of(apdu::decode_reject), {0x60, 0x05, 0x09}, 3, 6},
                    ShortHeaderCase{"Abort", error_of(apdu::decode_abort), {0x71, 0x05, 0x04}, 3, 7},
                    ShortHeaderCase{"UnconfirmedRequest", error_of(apdu::decode_unconfirmed_request), {0x10, 0x00}, 2, 1},
                    ShortHeaderCase{"SegmentAck", error_of(apdu::decode_segment_ack), {0x40, 0x01, 0x02, 0x03}, 4, 4},
                    ShortHeaderCase{"Error", error_of(apdu::decode_error_apdu), {0x50, 0x01, 0x0C, 0x91, 0x02, 0x91, 0x20}, 3, 5},
                    ShortHeaderCase{"ComplexAck", error_of(apdu::decode_complex_ack), {0x30, 0x01, 0x0C}, 3, 3}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(ShortHeaderDecode, Fields) {
  const Octets simple = {0x20, 0x05, 0x0F};
  EXPECT_EQ(apdu::decode_simple_ack(simple)->invoke_id, 5);
  EXPECT_EQ(apdu::decode_simple_ack(simple)->service_choice, 15);

  const Octets reject = {0x60, 0x07, 0x09};
  EXPECT_EQ(apdu::decode_reject(reject)->invoke_id, 7);
  EXPECT_EQ(apdu::decode_reject(reject)->reason, 9);

  const Octets abort = {0x71, 0x08, 0x04};  // SRV set
  EXPECT_EQ(apdu::decode_abort(abort)->invoke_id, 8);
  EXPECT_EQ(apdu::decode_abort(abort)->reason, 4);
  EXPECT_TRUE(apdu::decode_abort(abort)->server);

  const Octets i_am = {0x10, 0x00, 0xC4, 0x02, 0x00, 0x00, 0x01};
  const auto unconfirmed = apdu::decode_unconfirmed_request(i_am);
  ASSERT_TRUE(unconfirmed.ok());
  EXPECT_EQ(unconfirmed->service_choice, 0);
  EXPECT_EQ(to_octets(unconfirmed->service_data), (Octets{0xC4, 0x02, 0x00, 0x00, 0x01}));
  const Octets bare = {0x10, 0x08};
  EXPECT_TRUE(apdu::decode_unconfirmed_request(bare)->service_data.empty());
}

// The datagram of the framing edge case, through every layer.
TEST(Layers, SimpleAckDatagram) {
  const Octets datagram = {0x81, 0x0A, 0x00, 0x09, 0x01, 0x00, 0x20, 0x05, 0x0F};
  const auto bvlc_frame = bvlc::unwrap(datagram);
  ASSERT_TRUE(bvlc_frame);
  const auto frame = npdu::decode(bvlc_frame->npdu);
  ASSERT_TRUE(frame.ok());
  ASSERT_EQ(apdu::pdu_type(frame->apdu), static_cast<std::uint8_t>(apdu::PduType::SimpleAck));
  const auto ack = apdu::decode_simple_ack(frame->apdu);
  ASSERT_TRUE(ack.ok());
  EXPECT_EQ(ack->invoke_id, 5);
}

TEST(Layers, ConfirmedRequestDatagram) {
  const Octets apdu = encode(request(9, std::nullopt), kReadPropertyParameters);
  const Octets datagram =
      wrap(bvlc::kOriginalUnicastNpdu, encode(npdu_params(std::nullopt, std::nullopt, std::nullopt, true, false, 0, apdu)));
  EXPECT_EQ(datagram, (Octets{0x81, 0x0A, 0x00, 0x11, 0x01, 0x04, 0x02, 0x05, 0x09, 0x0C, 0x0C, 0x00, 0x00, 0x00,
                              0x01, 0x19, 0x55}));
}

}  // namespace
}  // namespace ferromesh
