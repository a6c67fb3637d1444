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
inline constexpr std::uint8_t kServiceConfirmedCovNotification = 1;
inline constexpr std::uint8_t kServiceConfirmedEventNotification = 2;
inline constexpr std::uint8_t kServiceSubscribeCov = 5;
inline constexpr std::uint8_t kServiceReadProperty = 12;
inline constexpr std::uint8_t kServiceReadPropertyMultiple = 14;
inline constexpr std::uint8_t kServiceWriteProperty = 15;
inline constexpr std::uint8_t kServiceWritePropertyMultiple = 16;
inline constexpr std::uint8_t kServiceReadRange = 26;
inline constexpr std::uint8_t kServiceSubscribeCovProperty = 28;
// Confirmed services whose success is a SimpleACK; the others answer with a
// ComplexACK.
inline constexpr bool answered_by_simple_ack(std::uint8_t service_choice) noexcept {
  return service_choice == kServiceWriteProperty || service_choice == kServiceWritePropertyMultiple ||
         service_choice == kServiceSubscribeCov || service_choice == kServiceSubscribeCovProperty;
}

// Unconfirmed service choices.
inline constexpr std::uint8_t kServiceIAm = 0;
inline constexpr std::uint8_t kServiceUnconfirmedCovNotification = 2;
inline constexpr std::uint8_t kServiceUnconfirmedEventNotification = 3;
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

// A SubscribeCOV request: notify process `process_id` of changes of the
// object for `lifetime` seconds (0: indefinitely). Without `confirmed` and
// `lifetime` it cancels the subscription.
struct SubscribeCovRequest {
  std::uint32_t process_id = 0;
  ObjectIdentifier object_id;
  std::optional<bool> confirmed;
  std::optional<std::uint32_t> lifetime;
  friend bool operator==(const SubscribeCovRequest&, const SubscribeCovRequest&) = default;
};

// A SubscribeCOVProperty request: as SubscribeCOV, for one property, with a
// change of at least `cov_increment` (a REAL property) worth a notification.
struct SubscribeCovPropertyRequest {
  std::uint32_t process_id = 0;
  ObjectIdentifier object_id;
  std::optional<bool> confirmed;
  std::optional<std::uint32_t> lifetime;
  PropertyReference property;
  std::optional<float> cov_increment;
  friend bool operator==(const SubscribeCovPropertyRequest&, const SubscribeCovPropertyRequest&) = default;
};

// One property value of a notification: the value as a property read
// decodes it (codec/elements.hpp).
struct NotifiedValue {
  PropertyIdentifier property_id;
  std::optional<std::uint32_t> array_index;
  PropertyValue value;
  std::optional<std::uint8_t> priority;
  friend bool operator==(const NotifiedValue&, const NotifiedValue&) = default;
};

// The parameters of a Confirmed- or Unconfirmed-COV-Notification.
struct CovNotification {
  std::uint32_t process_id = 0;
  ObjectIdentifier initiating_device;
  ObjectIdentifier monitored_object;
  std::uint32_t time_remaining = 0;  // seconds; 0 for a subscription without end
  std::vector<NotifiedValue> values;
  friend bool operator==(const CovNotification&, const CovNotification&) = default;
};

// The parameters of a Confirmed- or Unconfirmed-EventNotification. The time
// stamp is the one element of the BACnetTimeStamp choice (time, sequence
// number or date-time) and the event values the notification parameters, as
// the lossless tree (codec/elements.hpp): their meaning depends on the event
// type.
struct EventNotification {
  std::uint32_t process_id = 0;
  ObjectIdentifier initiating_device;
  ObjectIdentifier event_object;
  PropertyValue time_stamp;
  std::uint32_t notification_class = 0;
  std::uint8_t priority = 0;
  std::uint32_t event_type = 0;
  std::optional<PropertyValue::CharacterString> message_text;
  std::uint32_t notify_type = 0;
  std::optional<bool> ack_required;
  std::optional<std::uint32_t> from_state;
  std::uint32_t to_state = 0;
  std::optional<PropertyValue> event_values;
  friend bool operator==(const EventNotification&, const EventNotification&) = default;
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
