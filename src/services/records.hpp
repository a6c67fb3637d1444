#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "codec/property_identifier.hpp"
#include "codec/types.hpp"

namespace ferromesh::services {

using ferromesh::ObjectIdentifier;

// Confirmed service choices.
inline constexpr std::uint8_t kServiceReadProperty = 12;
inline constexpr std::uint8_t kServiceReadPropertyMultiple = 14;
inline constexpr std::uint8_t kServiceWriteProperty = 15;
inline constexpr std::uint8_t kServiceWritePropertyMultiple = 16;
inline constexpr std::uint8_t kServiceReadRange = 26;
// Confirmed services whose success is a SimpleACK; the others answer with a
// ComplexACK.
inline constexpr bool answered_by_simple_ack(std::uint8_t service_choice) noexcept {
  return service_choice == kServiceWriteProperty || service_choice == kServiceWritePropertyMultiple;
}

// Unconfirmed service choices.
inline constexpr std::uint8_t kServiceIAm = 0;
inline constexpr std::uint8_t kServiceWhoIs = 8;

struct PropertyReference {
  PropertyIdentifier property_id;
  std::optional<std::uint32_t> array_index;
  friend bool operator==(const PropertyReference&, const PropertyReference&) = default;
};

struct ReadAccessSpec {
  ObjectIdentifier object_id;
  std::vector<PropertyReference> properties;
  friend bool operator==(const ReadAccessSpec&, const ReadAccessSpec&) = default;
};

struct BacnetPropertyError {
  std::uint32_t error_class = 0;
  std::uint32_t error_code = 0;
  friend bool operator==(const BacnetPropertyError&, const BacnetPropertyError&) = default;
};

struct ReadPropertyResult {
  ObjectIdentifier object_id;
  PropertyIdentifier property_id;
  std::optional<std::uint32_t> array_index;
  PropertyValue value;
  friend bool operator==(const ReadPropertyResult&, const ReadPropertyResult&) = default;
};

struct PropertyResult {
  PropertyIdentifier property_id;
  std::optional<std::uint32_t> array_index;
  std::variant<PropertyValue, BacnetPropertyError> value;
  friend bool operator==(const PropertyResult&, const PropertyResult&) = default;
};

struct ObjectResult {
  ObjectIdentifier object_id;
  std::vector<PropertyResult> properties;
  friend bool operator==(const ObjectResult&, const ObjectResult&) = default;
};

// One write of a WritePropertyMultiple request.
struct PropertyWrite {
  PropertyIdentifier property_id;
  std::optional<std::uint32_t> array_index;
  PropertyValue value;
  std::optional<std::uint8_t> priority;
  friend bool operator==(const PropertyWrite&, const PropertyWrite&) = default;
};

struct WriteAccessSpec {
  ObjectIdentifier object_id;
  std::vector<PropertyWrite> properties;
  friend bool operator==(const WriteAccessSpec&, const WriteAccessSpec&) = default;
};

// The Error of a WritePropertyMultiple request: why, and the first write
// that failed (the ones before it took effect).
struct WritePropertyMultipleError {
  std::uint32_t error_class = 0;
  std::uint32_t error_code = 0;
  ObjectIdentifier object_id;
  PropertyIdentifier property_id;
  std::optional<std::uint32_t> array_index;
  friend bool operator==(const WritePropertyMultipleError&, const WritePropertyMultipleError&) = default;
};

// The range of a ReadRange request: `count` items from the reference on,
// backwards when negative.
struct RangeByPosition {
  std::uint32_t reference_index = 0;
  std::int32_t count = 0;
  friend bool operator==(const RangeByPosition&, const RangeByPosition&) = default;
};

struct RangeBySequenceNumber {
  std::uint32_t reference_sequence_number = 0;
  std::int32_t count = 0;
  friend bool operator==(const RangeBySequenceNumber&, const RangeBySequenceNumber&) = default;
};

struct RangeByTime {
  PropertyValue::Date date;
  PropertyValue::Time time;
  std::int32_t count = 0;
  friend bool operator==(const RangeByTime&, const RangeByTime&) = default;
};

using Range = std::variant<RangeByPosition, RangeBySequenceNumber, RangeByTime>;

struct ReadRangeRequest {
  ObjectIdentifier object_id;
  PropertyIdentifier property_id;
  std::optional<std::uint32_t> array_index;
  std::optional<Range> range;  // none: the whole list
  friend bool operator==(const ReadRangeRequest&, const ReadRangeRequest&) = default;
};

struct ReadRangeResult {
  ObjectIdentifier object_id;
  PropertyIdentifier property_id;
  std::optional<std::uint32_t> array_index;
  bool first_item = false;  // the result flags
  bool last_item = false;
  bool more_items = false;
  std::uint32_t item_count = 0;
  std::vector<PropertyValue> items;  // every element of the item data, in order (codec/elements.hpp)
  std::optional<std::uint32_t> first_sequence_number;
  friend bool operator==(const ReadRangeResult&, const ReadRangeResult&) = default;
};

// Segmentation supported, as announced in an I-Am.
inline constexpr std::uint8_t kSegmentedBoth = 0;
inline constexpr std::uint8_t kSegmentedTransmit = 1;
inline constexpr std::uint8_t kSegmentedReceive = 2;
inline constexpr std::uint8_t kNoSegmentation = 3;

struct IAm {
  ObjectIdentifier device_id;
  std::uint32_t max_apdu = 0;
  std::uint8_t segmentation = kNoSegmentation;  // 0..3
  std::uint32_t vendor_id = 0;
  friend bool operator==(const IAm&, const IAm&) = default;
};

}  // namespace ferromesh::services
