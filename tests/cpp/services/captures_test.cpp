// Replays the real BACnet/IP traffic in the capture files through the framing
// decoders and the service decoders.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "codec/apdu.hpp"
#include "codec/bvlc.hpp"
#include "codec/network_message.hpp"
#include "codec/npdu.hpp"
#include "services/i_am.hpp"
#include "services/read_property.hpp"
#include "services/read_property_multiple.hpp"
#include "support/pcap.hpp"

namespace ferromesh::services {
namespace {

namespace fs = std::filesystem;
using PV = PropertyValue;

constexpr std::uint8_t kUnconfirmedRequest = 1;
constexpr std::uint8_t kComplexAck = 3;

struct DecodedAck {
  std::string file;
  ReadPropertyResult result;
};

// Segments of segmented ComplexACKs, by file and invoke ID, then by sequence number.
using SegmentedAcks = std::map<std::string, std::map<std::uint8_t, std::map<std::uint8_t, Bytes>>>;

struct Census {
  std::size_t bacnet_datagrams = 0;
  std::map<std::string, std::size_t> read_property_acks;
  std::vector<DecodedAck> decoded_acks;
  std::map<std::string, std::vector<IAm>> i_ams;
  std::vector<std::vector<std::uint16_t>> router_networks;
  SegmentedAcks segmented;
  std::vector<std::string> failures;
};

void take_apdu(const std::string& file, ByteSpan apdu, Census& census) {
  const auto type = apdu::pdu_type(apdu);
  if (type == kUnconfirmedRequest) {
    const auto request = apdu::decode_unconfirmed_request(apdu);
    if (!request || request->service_choice != kServiceIAm) return;
    const auto i_am = i_am::decode_i_am(request->service_data);
    if (!i_am) return census.failures.push_back(file + ": I-Am " + std::string(to_string(i_am.error())));
    census.i_ams[file].push_back(i_am.value());
  } else if (type == kComplexAck) {
    const auto ack = apdu::decode_complex_ack(apdu);
    if (!ack) return census.failures.push_back(file + ": ComplexACK " + std::string(to_string(ack.error())));
    if (ack->segmentation) {
      census.segmented[file][ack->invoke_id].try_emplace(ack->segmentation->sequence_number, ack->payload.begin(),
                                                         ack->payload.end());
    } else if (ack->service_choice == kServiceReadProperty) {
      ++census.read_property_acks[file];
      const auto result = read_property::decode_response(ack->payload);
      if (!result) return census.failures.push_back(file + ": ReadProperty-ACK " + std::string(to_string(result.error())));
      census.decoded_acks.push_back({file, result.value()});
    }
  }
}

void take_datagram(const std::string& file, ByteSpan datagram, Census& census) {
  const auto bvlc_frame = bvlc::unwrap(datagram);
  if (!bvlc_frame) return;
  ++census.bacnet_datagrams;
  const auto frame = npdu::decode(bvlc_frame->npdu);
  if (!frame) return census.failures.push_back(file + ": NPDU " + std::string(to_string(frame.error())));
  if (!frame->network_layer_message) return take_apdu(file, frame->apdu, census);
  if (frame->apdu.empty() || frame->apdu[0] != npdu::kMessageIAmRouterToNetwork) return;
  const auto message = network_message::decode(frame->apdu);
  if (!message) return census.failures.push_back(file + ": router " + std::string(to_string(message.error())));
  census.router_networks.push_back(std::get<network_message::IAmRouterToNetwork>(message.value()).networks);
}

// Every capture file, read once for all tests; nothing when the captures are absent.
const Census* census() {
  static const std::optional<Census> taken = []() -> std::optional<Census> {
    const fs::path dir = FERROMESH_CAPTURES_DIR;
    if (!fs::is_directory(dir)) return std::nullopt;
    Census c;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.path().extension() != ".pcap") continue;
      const std::string file = entry.path().filename().string();
      const auto datagrams = test::read_pcap(entry.path());
      if (!datagrams) {
        c.failures.push_back(file + ": not a readable capture");
        continue;
      }
      for (const test::UdpDatagram& d : *datagrams) take_datagram(file, d.payload, c);
    }
    return c;
  }();
  return taken ? &*taken : nullptr;
}

#define REQUIRE_CAPTURES(c) \
  if ((c) == nullptr) GTEST_SKIP() << "no capture directory at " FERROMESH_CAPTURES_DIR

// The decoded acknowledgements of one property read from one object.
std::vector<ReadPropertyResult> acks_for(const Census& c, const std::string& file, ObjectIdentifier object,
                                         std::uint32_t property, std::optional<std::uint32_t> index = std::nullopt) {
  std::vector<ReadPropertyResult> found;
  for (const DecodedAck& ack : c.decoded_acks) {
    if (ack.file == file && ack.result.object_id == object && ack.result.property_id.to_u32() == property &&
        ack.result.array_index == index) {
      found.push_back(ack.result);
    }
  }
  return found;
}

ObjectIdentifier oid(std::uint16_t type, std::uint32_t instance) { return {ObjectType::from_u16(type), instance}; }
PropertyValue pv(PV::Variant v) { return PropertyValue{std::move(v)}; }

Bytes joined_segments(const Census& c, const std::string& file) {
  Bytes joined;
  const auto by_invoke = c.segmented.find(file);
  if (by_invoke == c.segmented.end() || by_invoke->second.size() != 1) return joined;
  for (const auto& [sequence, payload] : by_invoke->second.begin()->second) {
    joined.insert(joined.end(), payload.begin(), payload.end());
  }
  return joined;
}

TEST(Captures, EveryDatagramFramesAndDecodes) {
  const Census* c = census();
  REQUIRE_CAPTURES(c);
  EXPECT_EQ(c->failures, std::vector<std::string>{});
  // 120 Error PDUs in bacnet_example.pcap claim 17 octets in their BVLC length
  // field but carry 13; such datagrams are dropped.
  EXPECT_EQ(c->bacnet_datagrams, (3257u - 120u) + 7049u + 20u + 41u);
}

TEST(Captures, AllUnsegmentedReadPropertyAcksDecode) {
  const Census* c = census();
  REQUIRE_CAPTURES(c);
  EXPECT_EQ(c->read_property_acks, (std::map<std::string, std::size_t>{{"bacnet_example.pcap", 1400},
                                                                       {"bacnet_services.pcap", 3263},
                                                                       {"bacnet_segmented_data.pcap", 1}}));
  ASSERT_EQ(c->decoded_acks.size(), 4664u);

  std::array<std::size_t, std::variant_size_v<PV::Variant>> values{};
  std::array<std::size_t, std::variant_size_v<PV::Variant>> array_elements{};
  for (const DecodedAck& ack : c->decoded_acks) {
    ++values[ack.result.value.variant.index()];
    if (const auto* array = std::get_if<PV::Array>(&ack.result.value.variant)) {
      for (const PropertyValue& element : array->values) ++array_elements[element.variant.index()];
    }
  }
  // Null, Boolean, Unsigned, Signed, Real, Double, OctetString, CharacterString,
  // BitString, Enumerated, Date, Time, ObjectIdentifier, Array, Any.
  EXPECT_EQ(values, (decltype(values){0, 410, 36, 1, 598, 0, 0, 1239, 203, 1324, 1, 3, 678, 171, 0}));
  EXPECT_EQ(array_elements, (decltype(array_elements){2329, 0, 0, 0, 4, 0, 0, 0, 0, 3, 24, 24, 0, 0, 0}));
}

// Values checked by hand against the octets of the acknowledgements.
TEST(Captures, DecodedValuesMatchTheOctets) {
  const Census* c = census();
  REQUIRE_CAPTURES(c);
  const std::string example = "bacnet_example.pcap";
  const std::string services = "bacnet_services.pcap";
  const ObjectIdentifier device29 = oid(8, 29);

  // 44 42 70 5E CF
  const auto present_value = acks_for(*c, example, oid(0, 1), 85);
  ASSERT_FALSE(present_value.empty());
  ASSERT_TRUE(std::holds_alternative<PV::Real>(present_value.front().value.variant));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(std::get<PV::Real>(present_value.front().value.variant).value), 0x42705ECFu);

  const auto expect_first = [&](const std::string& file, ObjectIdentifier object, std::uint32_t property,
                                std::optional<std::uint32_t> index, const PropertyValue& expected) {
    const auto found = acks_for(*c, file, object, property, index);
    ASSERT_FALSE(found.empty()) << property;
    EXPECT_EQ(found.front().value, expected) << property;
  };
  // 75 0D 00 "Sensor_45312": a length beyond the tag's own length field.
  expect_first(example, oid(0, 1), 77, std::nullopt, pv(PV::CharacterString{"Sensor_45312", 0}));
  // 11
  expect_first(example, oid(0, 4), 81, std::nullopt, pv(PV::Boolean{true}));
  // 85 06 05 03 0B 48 30 E0
  expect_first(services, device29, 97, std::nullopt, pv(PV::BitString{5, {0x03, 0x0B, 0x48, 0x30, 0xE0}}));
  // 32 FE 20
  expect_first(services, device29, 119, std::nullopt, pv(PV::Signed{-480}));
  // A4 69 05 14 FF: any day of the week
  expect_first(services, device29, 56, std::nullopt, pv(PV::Date{2005, 5, 20, std::nullopt}));
  // B4 08 1B 0E 00
  expect_first(services, device29, 57, std::nullopt, pv(PV::Time{8, 27, 14, 0}));
  // C4 02 00 00 1D
  expect_first(services, device29, 76, 1, pv(device29));
  // 3E 3F
  expect_first(services, device29, 30, std::nullopt, pv(PV::Array{}));
  // 91 00
  expect_first(services, oid(4, 101), 85, std::nullopt, pv(PV::Enumerated{0}));
  // A4 68 0A 1B FF B4 11 08 2E 00
  expect_first(services, oid(10, 0), 71, std::nullopt,
               pv(PV::Array{{pv(PV::Date{2004, 10, 27, std::nullopt}), pv(PV::Time{17, 8, 46, 0})}}));
  // 22 01 AA
  expect_first("bacnet_segmented_data.pcap", oid(8, 254), 76, 0, pv(PV::Unsigned{426}));

  // 44 42 48 00 00, eight times 00, 44 42 48 00 00, six times 00
  std::vector<PropertyValue> slots(16, pv(PV::Null{}));
  slots[0] = slots[9] = pv(PV::Real{50.0f});
  const auto priority_arrays = acks_for(*c, services, oid(2, 101), 87);
  EXPECT_NE(std::find_if(priority_arrays.begin(), priority_arrays.end(),
                         [&](const ReadPropertyResult& r) { return r.value == pv(PV::Array{slots}); }),
            priority_arrays.end());
}

TEST(Captures, AllIAmsDecode) {
  const Census* c = census();
  REQUIRE_CAPTURES(c);
  std::map<std::string, std::size_t> counts;
  for (const auto& [file, i_ams] : c->i_ams) counts[file] = i_ams.size();
  EXPECT_EQ(counts, (std::map<std::string, std::size_t>{{"bacnet_example.pcap", 210},
                                                        {"bacnet_services.pcap", 206},
                                                        {"bacnet_segmented_data.pcap", 7},
                                                        {"bacnet_error_reject_abort.pcap", 1}}));
  // C4 02 00 00 65 22 04 00 91 00 22 05 39
  EXPECT_EQ(c->i_ams.at("bacnet_error_reject_abort.pcap").front(), (IAm{oid(8, 101), 1024, kSegmentedBoth, 1337}));
  // C4 02 00 00 02 22 01 E0 91 00 21 2A
  const auto& services = c->i_ams.at("bacnet_services.pcap");
  EXPECT_NE(std::find(services.begin(), services.end(), IAm{oid(8, 2), 480, kSegmentedBoth, 42}), services.end());
  // C4 02 00 00 88 22 04 00 91 03 21 86
  const auto& example = c->i_ams.at("bacnet_example.pcap");
  EXPECT_NE(std::find(example.begin(), example.end(), IAm{oid(8, 136), 1024, kNoSegmentation, 134}), example.end());
}

TEST(Captures, AllRouterAnnouncementsDecode) {
  const Census* c = census();
  REQUIRE_CAPTURES(c);
  // 01 00 02 00 03, three times
  EXPECT_EQ(c->router_networks, (std::vector<std::vector<std::uint16_t>>(3, {2, 3})));
}

TEST(Captures, SegmentedReadPropertyMultipleAckDecodesWhenJoined) {
  const Census* c = census();
  REQUIRE_CAPTURES(c);
  const Bytes joined = joined_segments(*c, "bacnet_services.pcap");
  ASSERT_EQ(joined.size(), 475u + 15u);
  const auto objects = read_property_multiple::decode_response(joined);
  ASSERT_TRUE(objects.ok()) << to_string(objects.error());
  ASSERT_EQ(objects.value().size(), 32u);

  std::size_t values = 0;
  std::size_t errors = 0;
  for (std::size_t i = 0; i < objects.value().size(); ++i) {
    const ObjectResult& object = objects.value()[i];
    EXPECT_EQ(object.object_id, oid(0, static_cast<std::uint32_t>(2101 + i)));
    ASSERT_EQ(object.properties.size(), 1u);
    EXPECT_EQ(object.properties[0].property_id.to_u32(), 85u);
    if (const auto* error = std::get_if<BacnetPropertyError>(&object.properties[0].value)) {
      EXPECT_EQ(*error, (BacnetPropertyError{1, 31}));  // 5E 91 01 91 1F 5F
      ++errors;
    } else {
      ++values;
    }
  }
  EXPECT_EQ(values, 10u);
  EXPECT_EQ(errors, 22u);
  // 4E 44 42 5C 00 00 4F and 4E 44 42 C8 00 00 4F
  EXPECT_EQ(objects.value()[0].properties[0].value, (std::variant<PropertyValue, BacnetPropertyError>{pv(PV::Real{55.0f})}));
  EXPECT_EQ(objects.value()[10].properties[0].value,
            (std::variant<PropertyValue, BacnetPropertyError>{pv(PV::Real{100.0f})}));
}

TEST(Captures, SegmentedReadPropertyAckDecodesWhenJoined) {
  const Census* c = census();
  REQUIRE_CAPTURES(c);
  const Bytes joined = joined_segments(*c, "bacnet_segmented_data.pcap");
  ASSERT_EQ(joined.size(), 1019u + 1019u + 101u);
  const auto result = read_property::decode_response(joined);
  ASSERT_TRUE(result.ok()) << to_string(result.error());
  EXPECT_EQ(result.value().object_id, oid(8, 254));
  EXPECT_EQ(result.value().property_id.to_u32(), 76u);
  const auto* list = std::get_if<PV::Array>(&result.value().value.variant);
  ASSERT_NE(list, nullptr);
  // As long as the device said when asked for element 0 alone.
  ASSERT_EQ(list->values.size(), 426u);
  EXPECT_EQ(list->values.front(), pv(oid(3, 0)));  // C4 00 C0 00 00
  EXPECT_EQ(list->values.back(), pv(oid(23, 5)));  // C4 05 C0 00 05
}

}  // namespace
}  // namespace ferromesh::services
