#include "stack/service_encoding.hpp"

#include "codec/apdu.hpp"
#include "codec/network_message.hpp"
#include "services/read_property.hpp"
#include "services/read_property_multiple.hpp"
#include "services/read_range.hpp"
#include "services/who_is.hpp"
#include "services/write_property.hpp"
#include "services/write_property_multiple.hpp"

namespace ferromesh::stack {

namespace {

struct Encoder {
  ServiceEncoding operator()(const service::ReadProperty& s) const {
    if (auto refusal = encode_refusal(s.object_id)) return std::move(*refusal);
    return EncodedService{services::kServiceReadProperty,
                          services::read_property::encode_request(s.object_id, s.property_id, s.array_index)};
  }
  ServiceEncoding operator()(const service::WriteProperty& s) const {
    if (auto refusal = encode_refusal(s.object_id)) return std::move(*refusal);
    if (auto refusal = encode_refusal(s.value)) return std::move(*refusal);
    return EncodedService{services::kServiceWriteProperty,
                          services::write_property::encode_request(s.object_id, s.property_id, s.value,
                                                                   s.array_index, s.priority)};
  }
  ServiceEncoding operator()(const service::ReadPropertyMultiple& s) const {
    for (const services::ReadAccessSpec& spec : s.specs) {
      if (auto refusal = encode_refusal(spec.object_id)) return std::move(*refusal);
    }
    return EncodedService{services::kServiceReadPropertyMultiple,
                          services::read_property_multiple::encode_request(s.specs)};
  }
  ServiceEncoding operator()(const service::WritePropertyMultiple& s) const {
    for (const services::WriteAccessSpec& spec : s.specs) {
      if (auto refusal = encode_refusal(spec.object_id)) return std::move(*refusal);
      for (const services::PropertyWrite& write : spec.properties) {
        if (auto refusal = encode_refusal(write.value)) return std::move(*refusal);
      }
    }
    return EncodedService{services::kServiceWritePropertyMultiple,
                          services::write_property_multiple::encode_request(s.specs)};
  }
  ServiceEncoding operator()(const service::ReadRange& s) const {
    if (auto refusal = encode_refusal(s.object_id)) return std::move(*refusal);
    if (s.range) {
      if (const auto* by_time = std::get_if<services::RangeByTime>(&*s.range)) {
        if (auto refusal = encode_refusal(PropertyValue{by_time->date})) return std::move(*refusal);
      }
    }
    return EncodedService{services::kServiceReadRange, services::read_range::encode_request(s)};
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
  std::optional<std::string_view> operator()(const service::WhoIsRouterToNetwork& s) const {
    network_message::append_who_is_router_to_network(out, s.network);
    return std::nullopt;
  }
};

}  // namespace

ServiceEncoding encode_service(const BacnetService& service) { return std::visit(Encoder{}, service); }

std::optional<std::string_view> append_unconfirmed(const UnconfirmedService& service, Bytes& out) {
  return std::visit(UnconfirmedEncoder{out}, service);
}

}  // namespace ferromesh::stack
