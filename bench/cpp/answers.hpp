#pragma once

// Acknowledgements as a device sends them, built once per benchmark. The
// ReadPropertyMultiple answer is the one bench/python_bench.py builds too, so
// that the C++ and Python figures describe the same octets.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "codec/byte_writer.hpp"
#include "codec/types.hpp"
#include "stack/types.hpp"

namespace ferromesh::bench {

inline void append_object_id(Bytes& out, std::uint8_t header, std::uint16_t type, std::uint32_t instance) {
  append_u8(out, header);
  append_u32_be(out, ObjectIdentifier{ObjectType::from_u16(type), instance}.to_word());
}

inline void append_value(Bytes& out, const PropertyValue& value) { value.encode_tag_and_value(out); }

// ReadProperty-ACK of analog-input `instance`, present-value, holding `value`.
inline Bytes read_property_ack(const PropertyValue& value, std::uint32_t instance = 1) {
  Bytes out;
  append_object_id(out, 0x0C, 0, instance);
  out.insert(out.end(), {0x19, 0x55, 0x3E});
  append_value(out, value);
  append_u8(out, 0x3F);
  return out;
}

inline PropertyValue real_value(float v) { return {PropertyValue::Real{v}}; }
inline PropertyValue text_value(std::string text) { return {PropertyValue::CharacterString{std::move(text), 0}}; }

// `length` printable ASCII characters.
inline std::string ascii_text(std::size_t length) {
  std::string text(length, ' ');
  for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

// The long CharacterString answer of the Python benchmark: 256 characters.
inline constexpr std::size_t kLongTextLength = 256;

// ReadProperty-ACK with `count` Unsigned values between the brackets (an array).
inline Bytes read_property_array_ack(std::size_t count) {
  Bytes out;
  append_object_id(out, 0x0C, 8, 1234);
  out.insert(out.end(), {0x19, 0x4C, 0x3E});  // object-list
  for (std::size_t i = 0; i < count; ++i) {
    append_value(out, PropertyValue{ObjectIdentifier{ObjectType::from_u16(0), static_cast<std::uint32_t>(i)}});
  }
  append_u8(out, 0x3F);
  return out;
}

// One property result in the standard layout: identifier under tag 2, value in tag 4.
inline void append_property_value(Bytes& out, std::uint8_t property, const PropertyValue& value) {
  out.insert(out.end(), {0x29, property, 0x4E});
  append_value(out, value);
  append_u8(out, 0x4F);
}

// ReadPropertyMultiple-ACK for `objects` analog inputs with ten results each:
// name, present value, status flags, event state, out-of-service, units,
// reliability, description, object identifier, and an unknown-property error
// for priority-array. 50 objects make the answer of the benchmarks.
inline Bytes read_property_multiple_ack(std::size_t objects) {
  Bytes out;
  for (std::size_t i = 0; i < objects; ++i) {
    const auto instance = static_cast<std::uint32_t>(1000 + i);
    append_object_id(out, 0x0C, 0, instance);
    append_u8(out, 0x1E);
    append_property_value(out, 77, text_value("AHU-" + std::to_string(i) + " supply air temp"));
    append_property_value(out, 85, real_value(20.5f + static_cast<float>(i)));
    append_property_value(out, 111, PropertyValue{PropertyValue::BitString{4, {0x00}}});
    append_property_value(out, 36, PropertyValue{PropertyValue::Enumerated{0}});
    append_property_value(out, 81, PropertyValue{PropertyValue::Boolean{false}});
    append_property_value(out, 117, PropertyValue{PropertyValue::Enumerated{62}});
    append_property_value(out, 103, PropertyValue{PropertyValue::Enumerated{0}});
    append_property_value(out, 28, text_value("Supply air temperature sensor"));
    append_property_value(out, 75, PropertyValue{ObjectIdentifier{ObjectType::from_u16(0), instance}});
    out.insert(out.end(), {0x29, 87, 0x5E, 0x91, 0x02, 0x91, 0x20, 0x5F});
    append_u8(out, 0x1F);
  }
  return out;
}

inline constexpr std::size_t kRpmObjects = 50;

// A whole datagram as a device sends it: BVLC Original-Unicast, NPDU 01 00,
// an unsegmented ComplexACK for ReadProperty with `invoke_id`, the parameters.
inline Bytes complex_ack_datagram(std::uint8_t invoke_id, const Bytes& parameters) {
  Bytes out{0x81, 0x0A, 0x00, 0x00, 0x01, 0x00, 0x30, invoke_id, 0x0C};
  append_bytes(out, parameters);
  out[2] = static_cast<std::uint8_t>(out.size() >> 8);
  out[3] = static_cast<std::uint8_t>(out.size());
  return out;
}

// Segment `sequence` of a segmented ComplexACK for ReadProperty.
inline Bytes ack_segment_datagram(std::uint8_t invoke_id, std::uint8_t sequence, bool more_follows,
                                  std::uint8_t window, std::span<const std::uint8_t> parameters) {
  Bytes out{0x81, 0x0A, 0x00, 0x00, 0x01, 0x00, static_cast<std::uint8_t>(more_follows ? 0x3C : 0x38),
            invoke_id, sequence, window, 0x0C};
  append_bytes(out, parameters);
  out[2] = static_cast<std::uint8_t>(out.size() >> 8);
  out[3] = static_cast<std::uint8_t>(out.size());
  return out;
}

// Distinct peers 10.x.y.z:47808, numbered from 0.
inline stack::BacnetAddr peer(std::size_t n) {
  return {{10, static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)},
          47808};
}

inline stack::input::Send read_present_value(const stack::BacnetAddr& dest, std::uint32_t instance = 1) {
  return {stack::service::ReadProperty{{ObjectType::Member::AnalogInput, instance},
                                       PropertyIdentifier::Member::PresentValue, std::nullopt},
          dest};
}

}  // namespace ferromesh::bench
