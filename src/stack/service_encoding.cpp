#include "stack/service_encoding.hpp"

#include "services/read_property.hpp"
#include "services/read_property_multiple.hpp"
#include "services/write_property.hpp"

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
};

}  // namespace

ServiceEncoding encode_service(const BacnetService& service) { return std::visit(Encoder{}, service); }

}  // namespace ferromesh::stack
