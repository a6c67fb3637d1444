// Replays every datagram of the real BACnet/IP captures through the codec.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "codec/apdu.hpp"
#include "codec/bvlc.hpp"
#include "codec/npdu.hpp"
#include "codec/types.hpp"
#include "support/captures.hpp"
#include "support/pcap.hpp"

namespace ferromesh {
namespace {

std::string hex(ByteSpan octets) {
  std::ostringstream out;
  out << std::hex;
  for (std::uint8_t b : octets) out << ' ' << (b < 0x10 ? "0" : "") << int{b};
  return out.str();
}

bool equal_octets(ByteSpan a, ByteSpan b) { return std::equal(a.begin(), a.end(), b.begin(), b.end()); }

struct Capture {
  const char* file;
  int bvlc_datagrams;                // datagrams starting with 0x81
  int dropped;                       // by the BVLC checks
  int with_destination_and_source;   // routed global broadcasts
  int read_property_answers;         // unsegmented ReadProperty ComplexACKs
};

void PrintTo(const Capture& c, std::ostream* os) { *os << c.file; }

// Skips the context-tagged fields before the value list of a ReadProperty
// answer; false if they are not there.
bool skip_to_values(SpanReader& in) {
  if (in.read_u8() != 0x0C || !in.skip(4)) return false;  // object identifier
  const auto property = in.read_u8();
  if (!property || (*property & 0xF8) != 0x18 || !in.skip(*property & 0x07)) return false;
  if (const auto next = in.peek_u8(); next && (*next & 0xF8) == 0x28) {  // array index
    in.skip(1);
    if (!in.skip(*next & 0x07)) return false;
  }
  return in.read_u8() == 0x3E;
}

// Decodes every value of one ReadProperty answer and checks that encoding it
// again writes what the device wrote.
void expect_values_decode_and_reencode(ByteSpan payload) {
  SpanReader in(payload);
  ASSERT_TRUE(skip_to_values(in)) << hex(payload);
  while (in.peek_u8() && *in.peek_u8() != 0x3F) {
    const auto decoded = PropertyValue::decode(in.rest());
    ASSERT_TRUE(decoded.ok()) << to_string(decoded.error()) << " at" << hex(in.rest());
    const ByteSpan original = in.rest().first(decoded->consumed);
    Bytes again;
    decoded->value.encode_tag_and_value(again);
    if (std::holds_alternative<PropertyValue::Signed>(decoded->value.variant)) {
      // Negative numbers are written in 3 or 4 octets, devices may use fewer.
      const auto redecoded = PropertyValue::decode(again);
      ASSERT_TRUE(redecoded.ok());
      EXPECT_EQ(redecoded->value, decoded->value) << hex(original);
    } else {
      EXPECT_TRUE(equal_octets(again, original)) << hex(original) << " re-encoded as" << hex(again);
    }
    in.skip(decoded->consumed);
  }
  EXPECT_EQ(in.read_u8(), 0x3F) << "closing tag missing in" << hex(payload);
}

// Every header of a known type decodes with its decoder.
void expect_apdu_header_decodes(ByteSpan apdu) {
  const auto type = apdu::pdu_type(apdu);
  ASSERT_TRUE(type);
  bool ok = true;
  switch (static_cast<apdu::PduType>(*type)) {
    case apdu::PduType::ConfirmedRequest: break;
    case apdu::PduType::UnconfirmedRequest: ok = apdu::decode_unconfirmed_request(apdu).ok(); break;
    case apdu::PduType::SimpleAck: ok = apdu::decode_simple_ack(apdu).ok(); break;
    case apdu::PduType::ComplexAck: ok = apdu::decode_complex_ack(apdu).ok(); break;
    case apdu::PduType::SegmentAck: ok = apdu::decode_segment_ack(apdu).ok(); break;
    case apdu::PduType::Error: ok = apdu::decode_error_apdu(apdu).ok(); break;
    case apdu::PduType::Reject: ok = apdu::decode_reject(apdu).ok(); break;
    case apdu::PduType::Abort: ok = apdu::decode_abort(apdu).ok(); break;
  }
  EXPECT_TRUE(ok) << hex(apdu);
}

class Captures : public testing::TestWithParam<Capture> {};

TEST_P(Captures, EveryDatagramPassesTheCodec) {
  FERROMESH_SKIP_WITHOUT_CAPTURES();
  const Capture& capture = GetParam();
  const auto datagrams = test::read_pcap(std::filesystem::path(FERROMESH_CAPTURES_DIR) / capture.file);
  ASSERT_TRUE(datagrams) << "cannot read " << capture.file;

  int bvlc_datagrams = 0;
  int dropped = 0;
  int with_destination_and_source = 0;
  int read_property_answers = 0;
  for (const auto& datagram : *datagrams) {
    if (datagram.payload.empty() || datagram.payload[0] != bvlc::kTypeBacnetIp) continue;
    ++bvlc_datagrams;
    const auto bvlc_frame = bvlc::unwrap(datagram.payload);
    if (!bvlc_frame) {
      ++dropped;
      continue;
    }
    const std::span<const std::uint8_t> npdu_octets = bvlc_frame->npdu;
    const auto frame = npdu::decode(npdu_octets);
    ASSERT_TRUE(frame.ok()) << to_string(frame.error()) << " for" << hex(npdu_octets);
    if (frame->destination && frame->source) ++with_destination_and_source;
    // Encoding the decoded frame gives back the octets the sender wrote.
    Bytes again;
    npdu::append_header(again, {frame->destination, frame->source, frame->hop_count, frame->expecting_reply,
                                frame->network_layer_message, frame->priority});
    append_bytes(again, frame->apdu);
    EXPECT_TRUE(equal_octets(again, npdu_octets)) << hex(npdu_octets) << " re-encoded as" << hex(again);
    if (frame->network_layer_message) continue;

    ASSERT_NO_FATAL_FAILURE(expect_apdu_header_decodes(frame->apdu));
    const auto ack = apdu::decode_complex_ack(frame->apdu);
    if (!ack.ok() || ack->segmentation || ack->service_choice != 12) continue;
    ++read_property_answers;
    ASSERT_NO_FATAL_FAILURE(expect_values_decode_and_reencode(ack->payload));
  }
  EXPECT_EQ(bvlc_datagrams, capture.bvlc_datagrams);
  EXPECT_EQ(dropped, capture.dropped);
  EXPECT_EQ(with_destination_and_source, capture.with_destination_and_source);
  EXPECT_EQ(read_property_answers, capture.read_property_answers);
}

// bacnet_example.pcap: 120 answers carry a BVLC length 4 octets beyond the
// datagram and are dropped. bacnet_error_reject_abort.pcap: 4 datagrams use
// BVLC function 0x09.
INSTANTIATE_TEST_SUITE_P(Real, Captures,
                         testing::Values(Capture{"bacnet_example.pcap", 3257, 120, 0, 1400},
                                         Capture{"bacnet_services.pcap", 7049, 0, 184, 3263},
                                         Capture{"bacnet_segmented_data.pcap", 20, 0, 0, 1},
                                         Capture{"bacnet_error_reject_abort.pcap", 45, 4, 0, 0}),
                         [](const auto& test_case) {
                           std::string name = test_case.param.file;
                           name.erase(name.find('.'));
                           return name;
                         });

}  // namespace
}  // namespace ferromesh
