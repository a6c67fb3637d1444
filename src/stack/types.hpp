#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "codec/byte_writer.hpp"
#include "codec/property_identifier.hpp"
#include "codec/types.hpp"
#include "services/records.hpp"

namespace ferromesh::stack {

// A BACnet/IP peer: IPv4 address (most significant octet first) and UDP port.
struct BacnetAddr {
  std::array<std::uint8_t, 4> addr{};
  std::uint16_t port = 0;
  friend bool operator==(const BacnetAddr&, const BacnetAddr&) = default;
};

// One outstanding request: the peer and the invoke ID it was sent with.
struct TransactionKey {
  BacnetAddr addr;
  std::uint8_t invoke_id = 0;
  friend bool operator==(const TransactionKey&, const TransactionKey&) = default;
};

namespace detail {

// splitmix64 finaliser: every input bit affects every output bit.
inline std::uint64_t mix64(std::uint64_t x) noexcept {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ULL;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBULL;
  x ^= x >> 31;
  return x;
}

inline std::uint64_t pack(const BacnetAddr& a) noexcept {
  std::uint64_t v = 0;
  for (std::uint8_t octet : a.addr) v = (v << 8) | octet;
  return (v << 16) | a.port;
}

}  // namespace detail

// Keyed by a per-table secret so that peers cannot pick addresses or invoke
// IDs that collide in a bucket.
struct BacnetAddrHash {
  std::uint64_t seed = 0;
  std::size_t operator()(const BacnetAddr& a) const noexcept {
    return static_cast<std::size_t>(detail::mix64(detail::pack(a) ^ seed));
  }
};

struct TransactionKeyHash {
  std::uint64_t seed = 0;
  std::size_t operator()(const TransactionKey& k) const noexcept {
    return static_cast<std::size_t>(detail::mix64(((detail::pack(k.addr) << 8) | k.invoke_id) ^ seed));
  }
};

struct StackConfig {
  double apdu_timeout_secs = 3.0;
  std::uint8_t apdu_retries = 3;
  std::size_t max_apdu_length = 1476;
  std::size_t max_segment_buffer = 2097152;
  friend bool operator==(const StackConfig&, const StackConfig&) = default;
};

// The limits of the fields that can only misbehave outside them: a timeout
// that is finite and positive, an APDU of 50 octets (the least every device
// accepts) up to what a BVLC length field can frame, a segment buffer that
// holds something.
inline constexpr std::size_t kSmallestMaxApdu = 50;
inline constexpr std::size_t kLargestMaxApdu = 0xFFFF - 6;
bool valid_apdu_timeout(double seconds) noexcept;
bool valid_max_apdu_length(std::size_t octets) noexcept;
bool valid_max_segment_buffer(std::size_t octets) noexcept;

namespace service {

struct ReadProperty {
  ObjectIdentifier object_id;
  PropertyIdentifier property_id;
  std::optional<std::uint32_t> array_index;
  friend bool operator==(const ReadProperty&, const ReadProperty&) = default;
};

struct WriteProperty {
  ObjectIdentifier object_id;
  PropertyIdentifier property_id;
  PropertyValue value;
  std::optional<std::uint32_t> array_index;
  std::optional<std::uint8_t> priority;
  friend bool operator==(const WriteProperty&, const WriteProperty&) = default;
};

struct ReadPropertyMultiple {
  std::vector<services::ReadAccessSpec> specs;
  friend bool operator==(const ReadPropertyMultiple&, const ReadPropertyMultiple&) = default;
};

struct WritePropertyMultiple {
  std::vector<services::WriteAccessSpec> specs;
  friend bool operator==(const WritePropertyMultiple&, const WritePropertyMultiple&) = default;
};

using ReadRange = services::ReadRangeRequest;

// Unconfirmed requests.

// Devices whose instance is in low..high answer; without limits every device
// does. Both limits or neither, low <= high <= 4194303.
struct WhoIs {
  std::optional<std::uint32_t> low;
  std::optional<std::uint32_t> high;
  friend bool operator==(const WhoIs&, const WhoIs&) = default;
};

}  // namespace service

using BacnetService = std::variant<service::ReadProperty, service::WriteProperty, service::ReadPropertyMultiple,
                                   service::WritePropertyMultiple, service::ReadRange>;
using UnconfirmedService = std::variant<service::WhoIs>;

namespace input {

struct Send {
  BacnetService service;
  BacnetAddr dest;
};

// `data` is the whole UDP payload, BVLC header first; `src` the UDP sender.
struct Received {
  Bytes data;
  BacnetAddr src;
};

// Seconds since an epoch of the host's choosing; a time that is not finite
// is ignored.
struct Tick {
  double now = 0.0;
};

// Sent once, without invoke ID or answer to wait for; as a broadcast when
// `dest` is one (its last octet 255, as 255.255.255.255 and the directed
// broadcast of a /24 network have).
struct SendUnconfirmed {
  UnconfirmedService service;
  BacnetAddr dest;
};

// Takes back the request sent to `peer` under `invoke_id`: it ends without
// an event, nothing more is sent for it but an Abort to a device that was in
// the middle of its segments, and its ID is free again. Unknown: nothing.
struct Cancel {
  BacnetAddr peer;
  std::uint8_t invoke_id = 0;
};

}  // namespace input

using Input = std::variant<input::Send, input::Received, input::Tick, input::SendUnconfirmed, input::Cancel>;

struct IAmRouterToNetwork {
  std::vector<std::uint16_t> networks;
  friend bool operator==(const IAmRouterToNetwork&, const IAmRouterToNetwork&) = default;
};

using UnconfirmedMessage = std::variant<services::IAm, IAmRouterToNetwork>;

// Every event but UnconfirmedReceived names the device it concerns: invoke IDs
// are allocated per destination, so an ID alone is ambiguous.
namespace event {

// A SimpleACK (empty payload) or the service-ACK parameters of a ComplexACK.
struct Response {
  std::uint8_t invoke_id = 0;
  Bytes payload;
  BacnetAddr peer;
  friend bool operator==(const Response&, const Response&) = default;
};

struct Timeout {
  std::uint8_t invoke_id = 0;
  BacnetAddr peer;
  friend bool operator==(const Timeout&, const Timeout&) = default;
};

struct Abort {
  std::uint8_t invoke_id = 0;
  std::uint8_t reason = 0;
  BacnetAddr peer;
  friend bool operator==(const Abort&, const Abort&) = default;
};

enum class ErrorKind : std::uint8_t {
  Error,       // a BACnet Error PDU: error_class and error_code are set
  Reject,      // a Reject PDU: reject_reason is set
  Local,       // the stack did not send the request: it cannot go on the wire as given
  NoInvokeId,  // the stack did not send the request: every invoke ID to the peer is in use
};

// A BACnet Error or Reject PDU, or a request the stack could not send. The
// message says the same in words; hosts act on the fields.
struct Error {
  std::uint8_t invoke_id = 0;
  std::string message;
  BacnetAddr peer;
  // An Error PDU's parameters after the service choice (class and code,
  // and whatever details the service adds); empty otherwise.
  Bytes payload{};
  ErrorKind kind = ErrorKind::Local;
  std::optional<std::uint32_t> error_class{};
  std::optional<std::uint32_t> error_code{};
  std::optional<std::uint8_t> reject_reason{};
  friend bool operator==(const Error&, const Error&) = default;
};

struct UnconfirmedReceived {
  BacnetAddr src;
  UnconfirmedMessage message;
  friend bool operator==(const UnconfirmedReceived&, const UnconfirmedReceived&) = default;
};

}  // namespace event

using Event = std::variant<event::Response, event::Timeout, event::Abort, event::Error, event::UnconfirmedReceived>;

namespace output {

struct Transmit {
  Bytes data;
  BacnetAddr dest;
  // The invoke ID of the request (or request segment) this datagram carries;
  // none for other datagrams, such as SegmentACKs.
  std::optional<std::uint8_t> invoke_id;
  friend bool operator==(const Transmit&, const Transmit&) = default;
};

struct Event {
  stack::Event event;
  friend bool operator==(const Event&, const Event&) = default;
};

// Call process with a Tick no later than this time.
struct Deadline {
  double deadline = 0.0;
  friend bool operator==(const Deadline&, const Deadline&) = default;
};

}  // namespace output

using Output = std::variant<output::Transmit, output::Event, output::Deadline>;

}  // namespace ferromesh::stack
