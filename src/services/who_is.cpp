#include "services/who_is.hpp"

#include "services/context_tags.hpp"

namespace ferromesh::services::who_is {

namespace {
constexpr std::uint8_t kTagLowLimit = 0;
constexpr std::uint8_t kTagHighLimit = 1;
}  // namespace

std::optional<std::string_view> refusal(std::optional<std::uint32_t> low, std::optional<std::uint32_t> high) noexcept {
  if (low.has_value() != high.has_value()) return "give both low and high limits, or neither";
  if (low && !(*low <= *high && *high <= kLargestInstance)) {
    return "device instance limits must satisfy 0 <= low <= high <= 4194303";
  }
  return std::nullopt;
}

void append_request(std::optional<std::uint32_t> low, std::optional<std::uint32_t> high, Bytes& out) {
  if (!low || !high) return;
  encode_context_unsigned(kTagLowLimit, *low, out);
  encode_context_unsigned(kTagHighLimit, *high, out);
}

}  // namespace ferromesh::services::who_is
