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
// Confirmed services whose success is a SimpleACK; the others answer with a
// ComplexACK.
inline constexpr bool answered_by_simple_ack(std::uint8_t service_choice) noexcept {
  return service_choice == kServiceWriteProperty;
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
