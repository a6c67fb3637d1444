#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "services/cov_notification.hpp"
#include "services/event_notification.hpp"
#include "services/subscribe_cov.hpp"
#include "services/subscribe_cov_property.hpp"

namespace ferromesh::services {
namespace {

using PV = PropertyValue;

const ObjectIdentifier kAnalogInput10{ObjectType::Member::AnalogInput, 10};
const auto kPresentValue = PropertyIdentifier::Member::PresentValue;

TEST(SubscribeCov, RequestsWriteExactOctets) {
  // Subscribe: process 18, analog-input 10, unconfirmed, 300 s.
  EXPECT_EQ(subscribe_cov::encode_request({18, kAnalogInput10, false, 300}),
            (Bytes{0x09, 0x12, 0x1C, 0x00, 0x00, 0x00, 0x0A, 0x29, 0x00, 0x3A, 0x01, 0x2C}));
  // Cancel: neither confirmed nor lifetime.
  EXPECT_EQ(subscribe_cov::encode_request({70000, kAnalogInput10, std::nullopt, std::nullopt}),
            (Bytes{0x0B, 0x01, 0x11, 0x70, 0x1C, 0x00, 0x00, 0x00, 0x0A}));
  EXPECT_EQ(subscribe_cov_property::encode_request({1, kAnalogInput10, true, 60, {kPresentValue, std::nullopt}, 0.5f}),
            (Bytes{0x09, 0x01, 0x1C, 0x00, 0x00, 0x00, 0x0A, 0x29, 0x01, 0x39, 0x3C, 0x4E, 0x09, 0x55, 0x4F, 0x5C,
                   0x3F, 0x00, 0x00, 0x00}));
  EXPECT_EQ(subscribe_cov_property::encode_request(
                {1, kAnalogInput10, std::nullopt, std::nullopt, {PropertyIdentifier::from_u32(87), 3}, std::nullopt}),
            (Bytes{0x09, 0x01, 0x1C, 0x00, 0x00, 0x00, 0x0A, 0x4E, 0x09, 0x57, 0x19, 0x03, 0x4F}));
}

// Process 18, device 4, analog-input 10, 0 s left; present-value 65.0 and
// status-flags (in alarm) at priority 8.
const Bytes kCovParameters{0x09, 0x12, 0x1C, 0x02, 0x00, 0x00, 0x04, 0x2C, 0x00, 0x00, 0x00, 0x0A, 0x39, 0x00,
                           0x4E, 0x09, 0x55, 0x2E, 0x44, 0x42, 0x82, 0x00, 0x00, 0x2F, 0x09, 0x6F, 0x2E, 0x82,
                           0x04, 0x80, 0x2F, 0x39, 0x08, 0x4F};

// Process 1, device 4, analog-input 2, sequence-number time stamp 16, class 4,
// priority 100, out-of-range, message "hi", alarm, ack required, normal to
// high-limit, event values {[5] {[0] 80.0, [1] flags}}.
const Bytes kEventParameters{0x09, 0x01, 0x1C, 0x02, 0x00, 0x00, 0x04, 0x2C, 0x00, 0x00, 0x00, 0x02, 0x3E,
                             0x19, 0x10, 0x3F, 0x49, 0x04, 0x59, 0x64, 0x69, 0x05, 0x7B, 0x00, 0x68, 0x69,
                             0x89, 0x00, 0x99, 0x01, 0xA9, 0x00, 0xB9, 0x03, 0xCE, 0x5E, 0x0C, 0x42, 0xA0,
                             0x00, 0x00, 0x1A, 0x04, 0x80, 0x5F, 0xCF};

TEST(CovNotification, DecodesEveryField) {
  const auto n = cov_notification::decode(kCovParameters);
  ASSERT_TRUE(n.ok()) << to_string(n.error());
  EXPECT_EQ(n->process_id, 18u);
  EXPECT_EQ(n->initiating_device, (ObjectIdentifier{ObjectType::Member::Device, 4}));
  EXPECT_EQ(n->monitored_object, kAnalogInput10);
  EXPECT_EQ(n->time_remaining, 0u);
  ASSERT_EQ(n->values.size(), 2u);
  EXPECT_EQ(n->values[0], (NotifiedValue{kPresentValue, std::nullopt, PV{PV::Real{65.0f}}, std::nullopt}));
  EXPECT_EQ(n->values[1], (NotifiedValue{PropertyIdentifier::from_u32(111), std::nullopt,
                                         PV{PV::BitString{4, {0x80}}}, 8}));
}

TEST(EventNotification, DecodesEveryField) {
  const auto n = event_notification::decode(kEventParameters);
  ASSERT_TRUE(n.ok()) << to_string(n.error());
  EXPECT_EQ(n->process_id, 1u);
  EXPECT_EQ(n->event_object, (ObjectIdentifier{ObjectType::Member::AnalogInput, 2}));
  EXPECT_EQ(n->time_stamp, (PV{PV::Context{1, {0x10}}}));
  EXPECT_EQ(n->notification_class, 4u);
  EXPECT_EQ(n->priority, 100);
  EXPECT_EQ(n->event_type, 5u);
  ASSERT_TRUE(n->message_text.has_value());
  EXPECT_EQ(n->message_text->value, "hi");
  EXPECT_EQ(n->notify_type, 0u);
  EXPECT_EQ(n->ack_required, true);
  EXPECT_EQ(n->from_state, 0u);
  EXPECT_EQ(n->to_state, 3u);
  const auto* values = n->event_values ? std::get_if<PV::Constructed>(&n->event_values->variant) : nullptr;
  ASSERT_NE(values, nullptr);
  EXPECT_EQ(values->tag, 5);
  EXPECT_EQ(values->values.size(), 2u);
}

// The optional fields absent: no message, ack-required, from-state or values.
TEST(EventNotification, OptionalFieldsMayBeAbsent) {
  const Bytes minimal{0x09, 0x01, 0x1C, 0x02, 0x00, 0x00, 0x04, 0x2C, 0x00, 0x00, 0x00, 0x02, 0x3E, 0x19,
                      0x10, 0x3F, 0x49, 0x04, 0x59, 0x64, 0x69, 0x05, 0x89, 0x02, 0xB9, 0x00};
  const auto n = event_notification::decode(minimal);
  ASSERT_TRUE(n.ok()) << to_string(n.error());
  EXPECT_EQ(n->notify_type, 2u);
  EXPECT_FALSE(n->message_text || n->ack_required || n->from_state || n->event_values);
}

// Every prefix of a notification is refused but the event notification
// without its (optional, last) event values; so is any octet after it.
TEST(Notifications, TruncatedOrOverlongParametersAreRefused) {
  for (const bool cov : {true, false}) {
    const Bytes& whole = cov ? kCovParameters : kEventParameters;
    const auto decodes = [cov](std::span<const std::uint8_t> data) {
      return cov ? cov_notification::decode(data).ok() : event_notification::decode(data).ok();
    };
    ASSERT_TRUE(decodes(whole));
    for (std::size_t n = 0; n < whole.size(); ++n) {
      const bool whole_without_values = !cov && n == kEventParameters.size() - 12;
      EXPECT_EQ(decodes(std::span(whole).first(n)), whole_without_values) << (cov ? "COV" : "event") << " prefix " << n;
    }
    Bytes longer = whole;
    longer.push_back(0x09);
    EXPECT_FALSE(decodes(longer));
  }
}

}  // namespace
}  // namespace ferromesh::services
