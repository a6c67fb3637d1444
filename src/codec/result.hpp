#pragma once

#include <utility>
#include <variant>

#include "codec/decode_error.hpp"

namespace ferromesh {

// A decoded value or the reason decoding failed; never both, never neither.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(DecodeError error) : state_(std::in_place_index<1>, error) {}   // NOLINT: implicit by design

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  DecodeError error() const { return std::get<1>(state_); }

 private:
  std::variant<T, DecodeError> state_;
};

}  // namespace ferromesh
