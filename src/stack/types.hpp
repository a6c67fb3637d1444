#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "codec/byte_writer.hpp"
#include "codec/network_message.hpp"
#include "codec/property_identifier.hpp"
#include "codec/types.hpp"
#include "services/records.hpp"

namespace ferromesh::stack {

// A BACnet peer: the IPv4 address (most significant octet first) and UDP
// port datagrams go to or came from and, for a device behind a router, its
// network number and MAC address there. A device on our own B/IP network has
// network 0 and no MAC. Network 1..65534 with a MAC is a device on that
// network, reached through the router at addr:port; without a MAC it is every
// device of that network (a broadcast), and network 0xFFFF every device of
// every network. Octets of `mac` past `mac_length` are zero, so that equal
// addresses compare and hash equal.
struct BacnetAddr {
  static constexpr std::size_t kMaxMacLength = 7;
  static constexpr std::uint16_t kGlobalNetwork = 0xFFFF;

  std::array<std::uint8_t, 4> addr{};
  std::uint16_t port = 0;
  std::uint16_t network = 0;
  std::uint8_t mac_length = 0;
  std::array<std::uint8_t, kMaxMacLength> mac{};

  // On a network behind a router: `mac` (1..7 octets, or none for all of
  // that network's devices) on `network`; nothing when the MAC is too long.
  static std::optional<BacnetAddr> routed(std::array<std::uint8_t, 4> addr, std::uint16_t port,
                                          std::uint16_t network, std::span<const std::uint8_t> mac) noexcept {
    if (mac.size() > kMaxMacLength) return std::nullopt;
    BacnetAddr routed_addr{addr, port, network, static_cast<std::uint8_t>(mac.size()), {}};
    std::copy(mac.begin(), mac.end(), routed_addr.mac.begin());
    return routed_addr;
  }

  bool remote() const noexcept { return network != 0; }
  std::span<const std::uint8_t> mac_octets() const noexcept { return {mac.data(), mac_length}; }
  // The B/IP peer alone, as a datagram's UDP sender or destination.
  BacnetAddr udp() const noexcept { return {addr, port}; }

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

// IPv4 address and port in the low 48 bits, the network in the high 16.
inline std::uint64_t pack(const BacnetAddr& a) noexcept {
  std::uint64_t v = 0;
  for (std::uint8_t octet : a.addr) v = (v << 8) | octet;
  return (std::uint64_t{a.network} << 48) | (v << 16) | a.port;
}

// MAC length and octets, one per octet of the result.
inline std::uint64_t pack_mac(const BacnetAddr& a) noexcept {
  std::uint64_t v = a.mac_length;
  for (std::uint8_t octet : a.mac) v = (v << 8) | octet;
  return v;
}

// `local` mixed with the secret, then with the MAC of a device behind a
// router: a device on our own network costs one round, as before routing.
inline std::uint64_t hash(const BacnetAddr& a, std::uint64_t local, std::uint64_t seed) noexcept {
  const std::uint64_t h = mix64(local ^ seed);
  return a.mac_length == 0 ? h : mix64(h ^ pack_mac(a));
}

}  // namespace detail

// Keyed by a per-table secret so that peers cannot pick addresses or invoke
// IDs that collide in a bucket.
struct BacnetAddrHash {
  std::uint64_t seed = 0;
  std::size_t operator()(const BacnetAddr& a) const noexcept {
    return static_cast<std::size_t>(detail::hash(a, detail::pack(a), seed));
  }
};

struct TransactionKeyHash {
  std::uint64_t seed = 0;
  std::size_t operator()(const TransactionKey& k) const noexcept {
    // The invoke ID takes the place of the network's low octet, which the
    // second round mixes back in for a routed device.
    const std::uint64_t local = (detail::pack(k.addr) << 8) | k.invoke_id;
    if (!k.addr.remote()) return static_cast<std::size_t>(detail::mix64(local ^ seed));
    return static_cast<std::size_t>(detail::mix64(detail::hash(k.addr, local, seed) ^ k.addr.network));
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

// A network-layer message, not an APDU: routers that reach `network` (any
// network, without one) answer with I-Am-Router-To-Network.
struct WhoIsRouterToNetwork {
  std::optional<std::uint16_t> network;
  friend bool operator==(const WhoIsRouterToNetwork&, const WhoIsRouterToNetwork&) = default;
};

}  // namespace service

using BacnetService = std::variant<service::ReadProperty, service::WriteProperty, service::ReadPropertyMultiple,
                                   service::WritePropertyMultiple, service::ReadRange>;
using UnconfirmedService = std::variant<service::WhoIs, service::WhoIsRouterToNetwork>;

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
// broadcast of a /24 network have), through the BBMD while registered with
// one. A `dest` with a network goes to every device of that network (0xFFFF:
// of every network) or, with a MAC, to that device, through the router (or
// broadcast) at its IPv4 address.
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

// Registers with the BBMD at `bbmd` as a foreign device for `time_to_live`
// seconds (1..65535) and keeps the registration alive, replacing any
// earlier one: broadcasts then go to that BBMD as
// Distribute-Broadcast-To-Network.
struct RegisterForeignDevice {
  BacnetAddr bbmd;
  std::uint16_t time_to_live = 0;
};

// Ends the registration: no more renewals, broadcasts go out locally again.
// The BBMD drops the entry when its time-to-live runs out.
struct UnregisterForeignDevice {};

}  // namespace input

using Input = std::variant<input::Send, input::Received, input::Tick, input::SendUnconfirmed, input::Cancel,
                           input::RegisterForeignDevice, input::UnregisterForeignDevice>;

using IAmRouterToNetwork = network_message::IAmRouterToNetwork;
using RejectMessageToNetwork = network_message::RejectMessageToNetwork;
using RouterBusyToNetwork = network_message::RouterBusyToNetwork;
using RouterAvailableToNetwork = network_message::RouterAvailableToNetwork;

using UnconfirmedMessage = std::variant<services::IAm, IAmRouterToNetwork, RejectMessageToNetwork,
                                        RouterBusyToNetwork, RouterAvailableToNetwork>;

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
  Network,     // a router's Reject-Message-To-Network: reject_reason holds the router's reason
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

// An I-Am or a router's network-layer message. `src` is the UDP sender (for
// a Forwarded-NPDU the device the BBMD names as its original source) with,
// for a message from behind a router, the network and MAC it came from.
struct UnconfirmedReceived {
  BacnetAddr src;
  UnconfirmedMessage message;
  friend bool operator==(const UnconfirmedReceived&, const UnconfirmedReceived&) = default;
};

// A BVLC-Result: `result` is 0 for success or the NAK of the function
// refused (0x30 a foreign-device registration, 0x60 a distributed broadcast).
struct BvlcResult {
  BacnetAddr src;
  std::uint16_t result = 0;
  friend bool operator==(const BvlcResult&, const BvlcResult&) = default;
};

}  // namespace event

using Event = std::variant<event::Response, event::Timeout, event::Abort, event::Error, event::UnconfirmedReceived,
                           event::BvlcResult>;

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
