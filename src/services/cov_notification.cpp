#include "services/cov_notification.hpp"

#include <utility>

#include "codec/span_reader.hpp"
#include "services/ack_fields.hpp"

namespace ferromesh::services::cov_notification {

namespace {

constexpr std::uint8_t kTagProcessId = 0;
constexpr std::uint8_t kTagInitiatingDevice = 1;
constexpr std::uint8_t kTagMonitoredObject = 2;
constexpr std::uint8_t kTagTimeRemaining = 3;
constexpr std::uint8_t kTagValues = 4;
// Inside each property value.
constexpr std::uint8_t kTagPropertyId = 0;
constexpr std::uint8_t kTagArrayIndex = 1;
constexpr std::uint8_t kTagValue = 2;
constexpr std::uint8_t kTagPriority = 3;
constexpr std::uint32_t kLargestPriority = 255;

Result<NotifiedValue> read_value(SpanReader& in) {
  NotifiedValue value;
  const auto property = ack::read_context_number(in, kTagPropertyId);
  if (!property) return property.error();
  value.property_id = PropertyIdentifier::from_u32(property.value());
  const auto array_index = ack::read_array_index(in, kTagArrayIndex);
  if (!array_index) return array_index.error();
  value.array_index = array_index.value();
  if (const auto missing = ack::expect_tag(in, ack::opening_tag(kTagValue))) return *missing;
  auto decoded = ack::read_values(in, ack::closing_tag(kTagValue));
  if (!decoded) return decoded.error();
  value.value = std::move(decoded).value();
  if (ack::next_is_context_data(in, kTagPriority)) {
    const auto priority = ack::read_context_number(in, kTagPriority);
    if (!priority) return priority.error();
    if (priority.value() > kLargestPriority) return DecodeError::InvalidData;
    value.priority = static_cast<std::uint8_t>(priority.value());
  }
  return value;
}

}  // namespace

Result<CovNotification> decode(std::span<const std::uint8_t> data) {
  SpanReader in(data);
  CovNotification notification;
  const auto process_id = ack::read_context_number(in, kTagProcessId);
  if (!process_id) return process_id.error();
  notification.process_id = process_id.value();
  const auto device = ack::read_context_object_id(in, kTagInitiatingDevice);
  if (!device) return device.error();
  notification.initiating_device = device.value();
  const auto object = ack::read_context_object_id(in, kTagMonitoredObject);
  if (!object) return object.error();
  notification.monitored_object = object.value();
  const auto remaining = ack::read_context_number(in, kTagTimeRemaining);
  if (!remaining) return remaining.error();
  notification.time_remaining = remaining.value();

  if (const auto missing = ack::expect_tag(in, ack::opening_tag(kTagValues))) return *missing;
  while (!ack::consume_tag(in, ack::closing_tag(kTagValues))) {
    if (in.empty()) return DecodeError::IncompleteData;
    auto value = read_value(in);
    if (!value) return value.error();
    notification.values.push_back(std::move(value).value());
  }
  if (!in.empty()) return DecodeError::InvalidContextTag;
  return notification;
}

}  // namespace ferromesh::services::cov_notification
