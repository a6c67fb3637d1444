#include "services/event_notification.hpp"

#include <utility>
#include <variant>

#include "codec/elements.hpp"
#include "codec/span_reader.hpp"
#include "services/ack_fields.hpp"

namespace ferromesh::services::event_notification {

namespace {

constexpr std::uint8_t kTagProcessId = 0;
constexpr std::uint8_t kTagInitiatingDevice = 1;
constexpr std::uint8_t kTagEventObject = 2;
constexpr std::uint8_t kTagTimeStamp = 3;
constexpr std::uint8_t kTagNotificationClass = 4;
constexpr std::uint8_t kTagPriority = 5;
constexpr std::uint8_t kTagEventType = 6;
constexpr std::uint8_t kTagMessageText = 7;
constexpr std::uint8_t kTagNotifyType = 8;
constexpr std::uint8_t kTagAckRequired = 9;
constexpr std::uint8_t kTagFromState = 10;
constexpr std::uint8_t kTagToState = 11;
constexpr std::uint8_t kTagEventValues = 12;
constexpr std::uint8_t kApplicationCharacterString = 7;
constexpr std::uint32_t kLargestPriority = 255;

// The one element between the opening and closing tag `tag_number`.
Result<PropertyValue> read_single_element(SpanReader& in, std::uint8_t tag_number) {
  if (const auto missing = ack::expect_tag(in, ack::opening_tag(tag_number))) return *missing;
  auto element = read_element(in);
  if (!element) return element.error();
  if (const auto missing = ack::expect_tag(in, ack::closing_tag(tag_number))) return *missing;
  return std::move(element).value();
}

Result<PropertyValue::CharacterString> read_message_text(SpanReader& in) {
  auto element = read_element(in);
  if (!element) return element.error();
  const auto* context = std::get_if<PropertyValue::Context>(&element->variant);
  if (context == nullptr) return DecodeError::InvalidContextTag;
  auto text = decode_context_as(*context, kApplicationCharacterString);
  if (!text) return text.error();
  return std::get<PropertyValue::CharacterString>(std::move(text).value().variant);
}

}  // namespace

Result<EventNotification> decode(std::span<const std::uint8_t> data) {
  SpanReader in(data);
  EventNotification n;
  const auto process_id = ack::read_context_number(in, kTagProcessId);
  if (!process_id) return process_id.error();
  n.process_id = process_id.value();
  const auto device = ack::read_context_object_id(in, kTagInitiatingDevice);
  if (!device) return device.error();
  n.initiating_device = device.value();
  const auto object = ack::read_context_object_id(in, kTagEventObject);
  if (!object) return object.error();
  n.event_object = object.value();
  auto time_stamp = read_single_element(in, kTagTimeStamp);
  if (!time_stamp) return time_stamp.error();
  n.time_stamp = std::move(time_stamp).value();
  const auto notification_class = ack::read_context_number(in, kTagNotificationClass);
  if (!notification_class) return notification_class.error();
  n.notification_class = notification_class.value();
  const auto priority = ack::read_context_number(in, kTagPriority);
  if (!priority) return priority.error();
  if (priority.value() > kLargestPriority) return DecodeError::InvalidData;
  n.priority = static_cast<std::uint8_t>(priority.value());
  const auto event_type = ack::read_context_number(in, kTagEventType);
  if (!event_type) return event_type.error();
  n.event_type = event_type.value();
  if (ack::next_is_context_data(in, kTagMessageText)) {
    auto text = read_message_text(in);
    if (!text) return text.error();
    n.message_text = std::move(text).value();
  }
  const auto notify_type = ack::read_context_number(in, kTagNotifyType);
  if (!notify_type) return notify_type.error();
  n.notify_type = notify_type.value();
  if (ack::next_is_context_data(in, kTagAckRequired)) {
    const auto ack_required = ack::read_context_boolean(in, kTagAckRequired);
    if (!ack_required) return ack_required.error();
    n.ack_required = ack_required.value();
  }
  if (ack::next_is_context_data(in, kTagFromState)) {
    const auto from_state = ack::read_context_number(in, kTagFromState);
    if (!from_state) return from_state.error();
    n.from_state = from_state.value();
  }
  const auto to_state = ack::read_context_number(in, kTagToState);
  if (!to_state) return to_state.error();
  n.to_state = to_state.value();
  if (!in.empty()) {
    auto event_values = read_single_element(in, kTagEventValues);
    if (!event_values) return event_values.error();
    n.event_values = std::move(event_values).value();
  }
  if (!in.empty()) return DecodeError::InvalidContextTag;
  return n;
}

}  // namespace ferromesh::services::event_notification
