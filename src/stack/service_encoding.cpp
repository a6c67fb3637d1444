#include "stack/service_encoding.hpp"

#include "codec/apdu.hpp"
#include "services/read_property.hpp"
#include "services/read_property_multiple.hpp"
#include "services/read_range.hpp"
#include "services/who_is.hpp"
#include "services/write_property.hpp"
#include "services/write_property_multiple.hpp"

namespace ferromesh::stack {

namespace {

struct Encoder {
  EncodedService operator()(const service::ReadProperty& s) const {
    return {services::kServiceReadProperty,
            services::read_property::encode_request(s.object_id, s.property_id, s.array_index)};
  }
  EncodedService operator()(const service::WriteProperty& s) const {
    return {services::kServiceWriteProperty, services::write_property::encode_request(
                                                 s.object_id, s.property_id, s.value, s.array_index, s.priority)};
  }
  EncodedService operator()(const service::ReadPropertyMultiple& s) const {
    return {services::kServiceReadPropertyMultiple, services::read_property_multiple::encode_request(s.specs)};
  }
  EncodedService operator()(const service::WritePropertyMultiple& s) const {
    return {services::kServiceWritePropertyMultiple, services::write_property_multiple::encode_request(s.specs)};
  }
  EncodedService operator()(const service::ReadRange& s) const {
    return {services::kServiceReadRange, services::read_range::encode_request(s)};
  }
};

struct UnconfirmedEncoder {
  Bytes& out;
  std::optional<std::string_view> operator()(const service::WhoIs& s) const {
    if (auto refusal = services::who_is::refusal(s.low, s.high)) return refusal;
    apdu::append_unconfirmed_request(out, services::kServiceWhoIs);
    services::who_is::append_request(s.low, s.high, out);
    return std::nullopt;
  }
};

}  // namespace

EncodedService encode_service(const BacnetService& service) { return std::visit(Encoder{}, service); }

std::optional<std::string_view> append_unconfirmed(const UnconfirmedService& service, Bytes& out) {
  return std::visit(UnconfirmedEncoder{out}, service);
}

}  // namespace ferromesh::stack
