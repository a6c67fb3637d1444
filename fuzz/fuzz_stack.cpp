// The engine: the fuzz input is a script of Send, Received, Tick, Cancel,
// Who-Is and Who-Is-Router inputs against a few peers, two of them behind a
// router, with foreign-device registration and what routers and BBMDs send
// (make_seeds.py writes such scripts; keep the two in step). Received datagrams are mostly plausible answers for
// invoke IDs that are outstanding or were once, sometimes raw octets. After
// every step the tables must be consistent and bounded; every datagram sent
// must be well-formed and carry exactly the request it belongs to; a
// Response to an outstanding request answers the service it asked, and one
// reassembled from segments holds every segment received in order; a window
// of segments never moves back. A Confirmed-Request from anyone gets exactly
// one answer, to its sender: a SimpleACK and a confirmed event for a
// notification that decodes, an Abort for a segment, a Reject otherwise;
// it changes no table.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "check.hpp"
#include "codec/apdu.hpp"
#include "codec/bvlc.hpp"
#include "codec/npdu.hpp"
#include "services/cov_notification.hpp"
#include "services/event_notification.hpp"
#include "services/read_property.hpp"
#include "services/read_property_multiple.hpp"
#include "services/read_range.hpp"
#include "services/records.hpp"
#include "services/subscribe_cov.hpp"
#include "services/subscribe_cov_property.hpp"
#include "services/write_property.hpp"
#include "services/write_property_multiple.hpp"
#include "stack/stack.hpp"

using namespace ferromesh;
using namespace ferromesh::fuzz;
using namespace ferromesh::stack;

namespace {

// Two hosts, one of them on two ports: ports must keep peers apart. The
// first is also a router, with an MS/TP device and a B/IP device behind it
// on network 1234: network and MAC must keep them apart.
constexpr BacnetAddr kRouter{{10, 0, 0, 1}, 47808};
constexpr std::uint16_t kRemoteNetwork = 1234;
constexpr BacnetAddr kPeers[] = {kRouter, {{10, 0, 0, 2}, 47808}, {{10, 0, 0, 1}, 47809}};
constexpr BacnetAddr kRoutedPeers[] = {{{10, 0, 0, 1}, 47808, kRemoteNetwork, 1, {0x11}},
                                       {{10, 0, 0, 1}, 47808, kRemoteNetwork, 6, {10, 0, 3, 7, 0xBA, 0xC0}}};
// Never sent anything: whatever it sends is unsolicited.
constexpr BacnetAddr kStranger{{10, 0, 0, 9}, 47808};
constexpr BacnetAddr kBbmd{{10, 0, 0, 5}, 47808};

// Room for any datagram of an Ethernet frame, such as the captured ones that
// the seed corpus replays.
constexpr std::size_t kLargestRaw = 1500;

// The BVLC length field (16 bits) less BVLC and NPDU headers, and less the
// DNET, DLEN, DADR and hop count of a routed request.
std::size_t largest_apdu(const BacnetAddr& dest) { return 0xFFFF - 6 - (dest.remote() ? 4u + dest.mac_length : 0u); }

// What a request must carry on the wire, worked out by the service encoders
// directly rather than through the engine, and the APDU size the engine had
// to keep to when it was sent.
struct Request {
  std::uint8_t service_choice = 0;
  Bytes parameters;
  std::size_t max_apdu = 0;
};

// Where unconfirmed requests go: peers, broadcasts, whole networks.
constexpr BacnetAddr kUnconfirmedDests[] = {kRouter,
                                            {{10, 0, 0, 1}, 47808, kRemoteNetwork, 1, {0x11}},
                                            {{10, 0, 0, 1}, 47808, kRemoteNetwork, 0, {}},
                                            {{10, 0, 0, 255}, 47808},
                                            {{255, 255, 255, 255}, 47808, 0xFFFF, 0, {}}};

// Who sent a datagram: the UDP sender, or the original source a Forwarded-NPDU
// names, with the NPDU's source network and MAC; nothing when the datagram
// has no NPDU or a MAC no address holds.
std::optional<BacnetAddr> sender_of(ByteSpan datagram, const BacnetAddr& udp_src) {
  const auto bvlc_frame = bvlc::unwrap(datagram);
  if (!bvlc_frame) return std::nullopt;
  const auto frame = npdu::decode(bvlc_frame->npdu);
  if (!frame) return std::nullopt;
  BacnetAddr sender = udp_src;
  if (bvlc_frame->function == bvlc::kForwardedNpdu) {
    const ByteSpan original = datagram.subspan(bvlc::kHeaderLength, bvlc::kBipAddressLength);
    std::copy_n(original.begin(), 4, sender.addr.begin());
    sender.port = static_cast<std::uint16_t>(original[4] << 8 | original[5]);
  }
  if (!frame->source) return sender;
  return BacnetAddr::routed(sender.addr, sender.port, frame->source->net, frame->source->mac);
}

// The APDU of a datagram we built; empty if it has none.
ByteSpan apdu_of(const Bytes& datagram) {
  const auto bvlc_frame = bvlc::unwrap(datagram);
  if (!bvlc_frame) return {};
  const auto frame = npdu::decode(bvlc_frame->npdu);
  return frame ? frame->apdu : ByteSpan{};
}

// The invoke ID and service choice of a SimpleACK or ComplexACK datagram (of
// any segment).
struct Answered {
  std::uint8_t invoke_id = 0;
  std::uint8_t service_choice = 0;
};

std::optional<Answered> answered(ByteSpan datagram) {
  const auto bvlc_frame = bvlc::unwrap(datagram);
  if (!bvlc_frame) return std::nullopt;
  const auto frame = npdu::decode(bvlc_frame->npdu);
  if (!frame || frame->network_layer_message) return std::nullopt;
  if (const auto simple = apdu::decode_simple_ack(frame->apdu)) {
    return Answered{simple->invoke_id, simple->service_choice};
  }
  if (const auto complex = apdu::decode_complex_ack(frame->apdu)) {
    return Answered{complex->invoke_id, complex->service_choice};
  }
  return std::nullopt;
}

Request expected_request(const BacnetService& service) {
  if (const auto* read = std::get_if<service::ReadProperty>(&service)) {
    return {services::kServiceReadProperty,
            services::read_property::encode_request(read->object_id, read->property_id, read->array_index)};
  }
  if (const auto* write = std::get_if<service::WriteProperty>(&service)) {
    return {services::kServiceWriteProperty,
            services::write_property::encode_request(write->object_id, write->property_id, write->value,
                                                     write->array_index, write->priority)};
  }
  if (const auto* writes = std::get_if<service::WritePropertyMultiple>(&service)) {
    return {services::kServiceWritePropertyMultiple, services::write_property_multiple::encode_request(writes->specs)};
  }
  if (const auto* range = std::get_if<service::ReadRange>(&service)) {
    return {services::kServiceReadRange, services::read_range::encode_request(*range)};
  }
  if (const auto* subscribe = std::get_if<service::SubscribeCov>(&service)) {
    return {services::kServiceSubscribeCov, services::subscribe_cov::encode_request(*subscribe)};
  }
  if (const auto* subscribe = std::get_if<service::SubscribeCovProperty>(&service)) {
    return {services::kServiceSubscribeCovProperty, services::subscribe_cov_property::encode_request(*subscribe)};
  }
  const auto& read = std::get<service::ReadPropertyMultiple>(service);
  return {services::kServiceReadPropertyMultiple, services::read_property_multiple::encode_request(read.specs)};
}

class Script {
 public:
  Script(const std::uint8_t* data, std::size_t size) : in_(data, size), stack_(make_config()) {}

  void run() {
    for (int step = 0; step < 256 && in_.remaining_bytes() > 0; ++step) {
      switch (in_.ConsumeIntegralInRange<int>(0, 13)) {
        case 0:
        case 1:
          send();
          break;
        case 2:
          tick();
          break;
        case 3:
          answer_unsegmented();
          break;
        case 4:
          answer_segment();
          break;
        case 5:
          answer_segmented();
          break;
        case 6:
          segment_ack();
          break;
        case 7:
          short_answer();
          break;
        case 8:
          announcement();
          break;
        case 9:
          raw_datagram();
          break;
        case 10:
          burst();
          break;
        case 11:
          cancel();
          break;
        case 13:
          device_request();
          break;
        default:
          // Choices for routers and BBMDs share the last one, so that
          // scripts and reproducers written for the others replay alike.
          switch (in_.ConsumeIntegralInRange<int>(0, 5)) {
            case 0:
              who_is();
              break;
            case 1:
              who_is_router();
              break;
            case 2:
              router_message();
              break;
            case 3:
              registration();
              break;
            case 4:
              send(make_service(), in_.PickValueInArray(kRoutedPeers));
              break;
            default:
              forwarded_answer();
              break;
          }
          break;
      }
    }
  }

 private:
  // Some fields outside their limits: the engine takes the defaults then.
  StackConfig make_config() {
    StackConfig config;
    config.apdu_timeout_secs = in_.PickValueInArray({0.0, 0.5, 3.0, 10.0});
    config.apdu_retries = in_.ConsumeIntegralInRange<std::uint8_t>(0, 3);
    config.max_apdu_length = in_.PickValueInArray<std::size_t>({0, 50, 51, 128, 206, 480, 1476, 65529});
    config.max_segment_buffer = in_.PickValueInArray<std::size_t>({0, 1, 64, 500, 4096, 2097152});
    return config;
  }

  // --- inputs --------------------------------------------------------------

  void send() {
    const BacnetAddr dest = in_.PickValueInArray(kPeers);
    send(make_service(), dest);
  }

  void send(BacnetService service, const BacnetAddr& dest, bool check_tables_after = true) {
    const auto pool = stack_.invoke_pools().find(dest);
    const InvokeIdPool before = pool == stack_.invoke_pools().end() ? InvokeIdPool{} : pool->second;
    new_request_ = expected_request(service);
    const std::optional<std::string> refusal = refusal_of(service);
    const std::size_t transactions_before = stack_.transactions().size();
    // Sized to the smaller of the configured APDU and the device's I-Am.
    new_request_->max_apdu = std::min(stack_.config().max_apdu_length, largest_apdu(dest));
    if (const auto limits = stack_.device_limits().find(dest); limits != stack_.device_limits().end()) {
      new_request_->max_apdu = std::min(new_request_->max_apdu, limits->second.max_apdu);
    }
    std::vector<Output> outputs = process(input::Send{std::move(service), dest}, check_tables_after);
    new_request_.reset();
    FUZZ_CHECK(!outputs.empty());
    // A request the wire cannot carry as given is refused whole, never narrowed
    // (unless the pool is full, which is reported first).
    if (refusal && before.used_count() < 256) {
      FUZZ_CHECK(outputs.size() == 1);
      const auto* error = std::get_if<event::Error>(&std::get<output::Event>(outputs.front()).event);
      FUZZ_CHECK(error != nullptr && error->kind == event::ErrorKind::Local && error->message == *refusal);
      FUZZ_CHECK(stack_.transactions().size() == transactions_before);
    }
    // A request that went out holds an ID that no other request held.
    if (const auto* transmit = std::get_if<output::Transmit>(&outputs.front())) {
      FUZZ_CHECK(!refusal);
      const ByteSpan apdu = apdu_of(transmit->data);
      FUZZ_CHECK(apdu.size() > 2);
      const std::uint8_t invoke_id = apdu[2];
      FUZZ_CHECK(!before.is_used(invoke_id));
      remember({dest, invoke_id});
    }
  }

  static std::optional<std::string> refusal_of(const BacnetService& service) {
    if (const auto* read = std::get_if<service::ReadProperty>(&service)) return encode_refusal(read->object_id);
    if (const auto* write = std::get_if<service::WriteProperty>(&service)) {
      if (auto refusal = encode_refusal(write->object_id)) return refusal;
      return encode_refusal(write->value);
    }
    if (const auto* read = std::get_if<service::ReadPropertyMultiple>(&service)) {
      for (const auto& spec : read->specs) {
        if (auto refusal = encode_refusal(spec.object_id)) return refusal;
      }
      return std::nullopt;
    }
    if (const auto* write = std::get_if<service::WritePropertyMultiple>(&service)) {
      for (const auto& spec : write->specs) {
        if (auto refusal = encode_refusal(spec.object_id)) return refusal;
        for (const auto& property : spec.properties) {
          if (auto refusal = encode_refusal(property.value)) return refusal;
        }
      }
      return std::nullopt;
    }
    if (const auto* subscribe = std::get_if<service::SubscribeCov>(&service)) {
      return encode_refusal(subscribe->object_id);
    }
    if (const auto* subscribe = std::get_if<service::SubscribeCovProperty>(&service)) {
      return encode_refusal(subscribe->object_id);
    }
    const auto& range = std::get<service::ReadRange>(service);
    if (auto refusal = encode_refusal(range.object_id)) return refusal;
    if (range.range) {
      if (const auto* by_time = std::get_if<services::RangeByTime>(&*range.range)) {
        return encode_refusal(PropertyValue{by_time->date});
      }
    }
    return std::nullopt;
  }

  // Many small requests to one peer: fills its 256 invoke IDs and wraps round.
  // A few bursts per script are plenty; the tables, which take a walk over all
  // transactions to check, are checked once at the end.
  void burst() {
    const BacnetAddr dest = in_.PickValueInArray(kPeers);
    const auto count = std::min(in_.ConsumeIntegralInRange<unsigned>(1, 300), burst_budget_);
    burst_budget_ -= count;
    for (unsigned i = 0; i < count; ++i) {
      send(service::ReadProperty{{ObjectType::Member::AnalogValue, i}, PropertyIdentifier{}, std::nullopt}, dest,
           false);
    }
    check_tables();
  }

  void cancel() {
    const TransactionKey key = pick_key();
    const bool known = stack_.transactions().contains(key);
    const bool segmenting = stack_.send_segments().contains(key) || stack_.recv_segments().contains(key);
    const std::vector<Output> outputs = process(input::Cancel{key.addr, key.invoke_id});
    // No event; an Abort only to a device in the middle of segments.
    FUZZ_CHECK(outputs.size() == (segmenting ? 1u : 0u));
    FUZZ_CHECK(!stack_.transactions().contains(key));
    if (known) FUZZ_CHECK(!stack_.invoke_pools().at(key.addr).is_used(key.invoke_id));
  }

  void who_is() {
    const BacnetAddr dest = in_.PickValueInArray(kUnconfirmedDests);
    service::WhoIs who_is;
    if (in_.ConsumeBool()) who_is.low = in_.ConsumeIntegralInRange<std::uint32_t>(0, 4194400);
    if (in_.ConsumeBool()) who_is.high = in_.ConsumeIntegralInRange<std::uint32_t>(0, 4194400);
    const bool valid = who_is.low.has_value() == who_is.high.has_value() &&
                       (!who_is.low || (*who_is.low <= *who_is.high && *who_is.high <= 4194303));
    unconfirmed_dest_ = dest;
    const std::vector<Output> outputs = process(input::SendUnconfirmed{who_is, dest});
    unconfirmed_dest_.reset();
    // One datagram, or one Error for limits that cannot be sent; never a deadline.
    FUZZ_CHECK(outputs.size() == 1);
    FUZZ_CHECK(std::holds_alternative<output::Transmit>(outputs[0]) == valid);
  }

  // To any router or to the routers of one network: one datagram, nothing kept.
  void who_is_router() {
    const BacnetAddr dest = in_.PickValueInArray(kUnconfirmedDests);
    const std::optional<std::uint16_t> network =
        in_.ConsumeBool() ? std::optional<std::uint16_t>(in_.ConsumeIntegral<std::uint16_t>()) : std::nullopt;
    const std::size_t transactions = stack_.transactions().size();
    unconfirmed_dest_ = dest;
    const std::vector<Output> outputs = process(input::SendUnconfirmed{service::WhoIsRouterToNetwork{network}, dest});
    unconfirmed_dest_.reset();
    FUZZ_CHECK(outputs.size() == 1 && std::holds_alternative<output::Transmit>(outputs[0]));
    FUZZ_CHECK(stack_.transactions().size() == transactions);
  }

  // A SimpleACK or ComplexACK as a BBMD forwards it, naming the device.
  void forwarded_answer() {
    const TransactionKey key = pick_key();
    const std::uint8_t service = service_for(key);
    Bytes npdu = routed_npdu(key.addr);
    append_bytes(npdu, Bytes{in_.ConsumeBool() ? std::uint8_t{0x20} : std::uint8_t{0x30}, key.invoke_id, service});
    deliver(forwarded(npdu, key.addr.udp()), kBbmd);
  }

  // What routers say: Reject-Message-To-Network (for our network, another,
  // or none), Router-Busy/Available, I-Am-Router, or anything; sometimes
  // forwarded by a BBMD. A Reject from our router ends every request there.
  void router_message() {
    const BacnetAddr src = in_.ConsumeIntegralInRange<int>(0, 3) == 0 ? kStranger : kRouter;
    const std::uint16_t network = in_.PickValueInArray<std::uint16_t>({kRemoteNetwork, 99, 0, 0xFFFF});
    Bytes body;
    switch (in_.ConsumeIntegralInRange<int>(0, 4)) {
      case 0:
        body = {0x03, in_.ConsumeIntegral<std::uint8_t>(), static_cast<std::uint8_t>(network >> 8),
                static_cast<std::uint8_t>(network)};
        break;
      case 1:
        body = {in_.PickValueInArray<std::uint8_t>({0x01, 0x04, 0x05}), static_cast<std::uint8_t>(network >> 8),
                static_cast<std::uint8_t>(network)};
        break;
      default:
        body = in_.ConsumeBytes<std::uint8_t>(in_.ConsumeIntegralInRange<std::size_t>(0, 9));
        break;
    }
    Bytes npdu{0x01, 0x80};
    append_bytes(npdu, body);
    if (in_.ConsumeBool()) {
      deliver(forwarded(npdu, src), kBbmd);
    } else {
      deliver(unicast(npdu), src);
    }
    const bool rejected = body.size() == 4 && body[0] == 0x03 && network != 0;
    if (!rejected || src != kRouter) return;
    for (const auto& [key, transaction] : stack_.transactions()) {
      FUZZ_CHECK(!(key.addr.udp() == kRouter && key.addr.network == network));
    }
  }

  // Registering with the BBMD, ending it, and BVLC-Results from it (or
  // anyone) with known and unknown codes, well-formed or not.
  void registration() {
    switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        registered_ = true;
        process(input::RegisterForeignDevice{kBbmd, in_.PickValueInArray<std::uint16_t>({1, 2, 60, 65535})});
        break;
      case 1:
        registered_ = false;
        process(input::UnregisterForeignDevice{});
        break;
      default: {
        const auto code = in_.PickValueInArray<std::uint16_t>({0x0000, 0x0030, 0x0060, 0x0031, 0x0070, 0xFFFF});
        Bytes result{0x81, 0x00, 0x00, 0x06, static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)};
        if (in_.ConsumeIntegralInRange<int>(0, 7) == 0) result[3] = in_.ConsumeIntegral<std::uint8_t>();
        deliver(std::move(result), in_.ConsumeBool() ? kBbmd : kStranger);
        break;
      }
    }
    FUZZ_CHECK(stack_.registration().has_value() == registered_);
  }

  void tick() {
    if (in_.ConsumeIntegralInRange<int>(0, 15) == 0) {
      // Clocks that misbehave: not a number, infinities, a step back.
      process(input::Tick{in_.PickValueInArray({std::numeric_limits<double>::quiet_NaN(),
                                                std::numeric_limits<double>::infinity(),
                                                -std::numeric_limits<double>::infinity(), now_ - 5.0})});
      return;
    }
    now_ += in_.PickValueInArray({0.0, 0.001, 0.5, 1.0, 1.999, 2.0, 2.5, 3.0, 10.0, 100.0});
    process(input::Tick{now_});
  }

  // The service of the request last sent under `key` half the time, else any.
  std::uint8_t service_for(const TransactionKey& key) {
    const auto known = requests_.find(key);
    if (known != requests_.end() && in_.ConsumeBool()) return known->second.service_choice;
    return in_.ConsumeIntegral<std::uint8_t>();
  }

  void answer_unsegmented() {
    const TransactionKey key = pick_key();
    Bytes apdu{0x30, key.invoke_id, service_for(key)};
    append_bytes(apdu, in_.ConsumeBytes<std::uint8_t>(in_.ConsumeIntegralInRange<std::size_t>(0, 32)));
    receive(apdu, key.addr);
  }

  // One segment of a ComplexACK, with any sequence number and window.
  void answer_segment() {
    const TransactionKey key = pick_key();
    const auto sequence = in_.ConsumeBool() ? in_.ConsumeIntegralInRange<std::uint8_t>(0, 7)
                                            : in_.ConsumeIntegral<std::uint8_t>();
    const bool more_follows = in_.ConsumeBool();
    const auto window = in_.ConsumeIntegralInRange<std::uint8_t>(0, 8);
    const std::uint8_t service = service_for(key);
    receive(segment(key.invoke_id, sequence, more_follows, window, service, payload()), key.addr);
  }

  // A whole segmented answer in order, as a device sends it, at times of
  // more than 256 segments. Begun afresh, it ends in a Response of every
  // segment joined, or in an Abort (over the buffer limit); never earlier.
  void answer_segmented() {
    const TransactionKey key = pick_key();
    const std::size_t count = in_.ConsumeIntegralInRange<int>(0, 7) != 0
                                  ? in_.ConsumeIntegralInRange<std::size_t>(1, 8)
                                  : in_.ConsumeIntegralInRange<std::size_t>(250, 600);
    const auto window = in_.ConsumeIntegralInRange<std::uint8_t>(1, 4);
    const std::uint8_t service = service_for(key);
    const bool fresh = stack_.transactions().contains(key) && !stack_.recv_segments().contains(key);
    Bytes joined;
    for (std::size_t i = 0; i < count; ++i) {
      const Bytes part = count > 8 ? Bytes(i % 3, static_cast<std::uint8_t>(i)) : payload();
      joined.insert(joined.end(), part.begin(), part.end());
      const auto outputs = receive(segment(key.invoke_id, static_cast<std::uint8_t>(i), i + 1 < count, window,
                                           service, part),
                                   key.addr, false);
      const bool last = i + 1 == count;
      for (const Output& o : outputs) {
        const auto* e = std::get_if<output::Event>(&o);
        if (e == nullptr || !fresh) continue;
        if (const auto* response = std::get_if<event::Response>(&e->event)) {
          FUZZ_CHECK(last);
          FUZZ_CHECK(same_bytes(response->payload, joined));
        }
      }
      if (fresh && !stack_.transactions().contains(key)) break;  // answered, or given up
    }
    check_tables();
  }

  void segment_ack() {
    const TransactionKey key = pick_key();
    const auto flags = in_.ConsumeIntegralInRange<std::uint8_t>(0, 3);  // NAK, SRV
    const auto sequence = in_.ConsumeBool() ? in_.ConsumeIntegralInRange<std::uint8_t>(0, 7)
                                            : in_.ConsumeIntegral<std::uint8_t>();
    const auto window = in_.ConsumeIntegralInRange<std::uint8_t>(0, 8);
    receive({static_cast<std::uint8_t>(0x40 | flags), key.invoke_id, sequence, window}, key.addr);
  }

  // SimpleACK, Error, Reject or Abort.
  void short_answer() {
    const TransactionKey key = pick_key();
    const auto other = in_.ConsumeIntegral<std::uint8_t>();
    switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        receive({0x20, key.invoke_id, service_for(key)}, key.addr);
        break;
      case 1:
        receive({0x50, key.invoke_id, other, 0x91, in_.ConsumeIntegral<std::uint8_t>(), 0x91,
                 in_.ConsumeIntegral<std::uint8_t>()},
                key.addr);
        break;
      case 2:
        receive({0x60, key.invoke_id, other}, key.addr);
        break;
      default:
        receive({static_cast<std::uint8_t>(0x70 | (other & 1)), key.invoke_id, other}, key.addr);  // SRV either way
        break;
    }
  }

  // I-Am (valid or not) or a network-layer message.
  void announcement() {
    const BacnetAddr src = pick_source();
    if (in_.ConsumeBool()) {
      Bytes apdu{0x10, 0x00, 0xC4, 0x02, 0x00, 0x04, 0xD2, 0x22, 0x05, 0xC4, 0x91, 0x00, 0x21, 0x0F};
      if (in_.ConsumeBool()) apdu.resize(in_.ConsumeIntegralInRange<std::size_t>(0, apdu.size()));
      receive(apdu, src);
      return;
    }
    Bytes datagram{0x81, 0x0A, 0x00, 0x00, 0x01, 0x80};
    append_bytes(datagram, in_.ConsumeBytes<std::uint8_t>(in_.ConsumeIntegralInRange<std::size_t>(0, 16)));
    deliver(framed_length(std::move(datagram)), src);
  }

  // What a device sends us unasked: a notification (confirmed or not, whole or
  // garbled) or another confirmed request, maybe in segments, through a
  // router or a BBMD or neither. The checks are in deliver().
  void device_request() {
    const BacnetAddr src = pick_source();
    // Process 7, device 4, analog-input 10, 60 s left, present-value 65.0.
    static const Bytes kCov{0x09, 0x07, 0x1C, 0x02, 0x00, 0x00, 0x04, 0x2C, 0x00, 0x00, 0x00, 0x0A,
                            0x39, 0x3C, 0x4E, 0x09, 0x55, 0x2E, 0x44, 0x42, 0x82, 0x00, 0x00, 0x2F, 0x4F};
    // Process 1, device 4, analog-input 2, sequence 16, class 4, priority
    // 100, out-of-range, alarm, normal to high-limit.
    static const Bytes kEvent{0x09, 0x01, 0x1C, 0x02, 0x00, 0x00, 0x04, 0x2C, 0x00, 0x00, 0x00, 0x02, 0x3E,
                              0x19, 0x10, 0x3F, 0x49, 0x04, 0x59, 0x64, 0x69, 0x05, 0x89, 0x00, 0xB9, 0x03};
    const int kind = in_.ConsumeIntegralInRange<int>(0, 3);
    Bytes parameters = kind == 0 ? kCov : kind == 1 ? kEvent : Bytes{};
    if (kind >= 2) {
      parameters = in_.ConsumeBytes<std::uint8_t>(in_.ConsumeIntegralInRange<std::size_t>(0, 64));
    } else if (in_.ConsumeBool()) {
      // Cut, or one octet changed.
      const auto at = in_.ConsumeIntegralInRange<std::size_t>(0, parameters.size() - 1);
      if (in_.ConsumeBool()) {
        parameters.resize(at);
      } else {
        parameters[at] = in_.ConsumeIntegral<std::uint8_t>();
      }
    }
    Bytes datagram{0x81, 0x0A, 0x00, 0x00};
    if (in_.ConsumeIntegralInRange<int>(0, 3) == 0) {
      // Forwarded by a BBMD: the device's own B/IP address first.
      datagram[1] = bvlc::kForwardedNpdu;
      append_bytes(datagram, Bytes{10, 0, 1, in_.ConsumeIntegral<std::uint8_t>(), 0xBA, 0xC0});
    }
    const std::size_t control = datagram.size() + 1;
    append_bytes(datagram, Bytes{0x01, 0x04});
    if (in_.ConsumeBool()) {
      // Through a router: SNET, SLEN 0..6, SADR.
      datagram[control] |= npdu::kControlSource;
      const auto length = in_.ConsumeIntegralInRange<std::uint8_t>(0, 6);
      append_bytes(datagram, Bytes{in_.ConsumeIntegral<std::uint8_t>(), 0x05, length});
      append_bytes(datagram, Bytes(length, in_.ConsumeIntegral<std::uint8_t>()));
    }
    const auto invoke_id = in_.ConsumeIntegral<std::uint8_t>();
    const std::uint8_t service = kind == 3 ? in_.ConsumeIntegral<std::uint8_t>()
                                           : static_cast<std::uint8_t>(kind == 0 ? 1 : kind == 1 ? 2 : 12);
    if (in_.ConsumeBool()) {
      // Unconfirmed: COV 2, event 3, or any.
      const std::uint8_t choice = kind == 0 ? 2 : kind == 1 ? 3 : service;
      datagram[control] &= static_cast<std::uint8_t>(~npdu::kControlExpectingReply);
      append_bytes(datagram, Bytes{0x10, choice});
    } else if (in_.ConsumeIntegralInRange<int>(0, 3) == 0) {
      append_bytes(datagram, Bytes{0x0E, 0x05, invoke_id, in_.ConsumeIntegral<std::uint8_t>(), 0x04, service});
    } else {
      append_bytes(datagram, Bytes{0x02, 0x05, invoke_id, service});
    }
    append_bytes(datagram, parameters);
    deliver(framed_length(std::move(datagram)), src);
  }

  void raw_datagram() {
    const BacnetAddr src = pick_source();
    Bytes octets = in_.ConsumeBytes<std::uint8_t>(in_.ConsumeIntegralInRange<std::size_t>(0, kLargestRaw));
    if (in_.ConsumeBool()) {
      receive(octets, src);  // as an APDU in valid framing
    } else {
      deliver(std::move(octets), src);
    }
  }

  // --- building blocks -----------------------------------------------------

  // Mostly one the wire carries, so that requests go out; one in eight as
  // drawn, which the stack refuses when either part is too large.
  ObjectIdentifier object_id() {
    auto type = in_.ConsumeIntegral<std::uint16_t>();
    auto instance = in_.ConsumeIntegral<std::uint32_t>();
    if ((instance >> 29) != 7) {
      type &= ObjectIdentifier::kMaxType;
      instance &= ObjectIdentifier::kMaxInstance;
    }
    return {ObjectType::from_u16(type), instance};
  }

  service::WriteProperty write_property() {
    service::WriteProperty write;
    write.object_id = object_id();
    write.property_id = PropertyIdentifier::from_u32(in_.ConsumeIntegral<std::uint32_t>());
    // Sizes around the segment boundaries of the configurations above, and
    // past 256 segments.
    const std::size_t length =
        in_.PickValueInArray<std::size_t>({0, 10, 40, 44, 100, 474, 1000, 1470, 3000, 12000, 70000}) +
        in_.ConsumeIntegralInRange<std::size_t>(0, 3);
    write.value.variant = PropertyValue::OctetString{Bytes(length, in_.ConsumeIntegral<std::uint8_t>())};
    if (in_.ConsumeBool()) write.priority = in_.ConsumeIntegral<std::uint8_t>();
    return write;
  }

  BacnetService make_service() {
    switch (in_.ConsumeIntegralInRange<int>(0, 6)) {
      case 5:
      case 6: {
        services::SubscribeCovPropertyRequest subscribe{in_.ConsumeIntegral<std::uint32_t>(), object_id(), {}, {},
                                                       {}, {}};
        if (in_.ConsumeBool()) {
          subscribe.confirmed = in_.ConsumeBool();
          subscribe.lifetime = in_.ConsumeIntegral<std::uint32_t>();
        }
        if (in_.ConsumeBool()) {
          return service::SubscribeCov{subscribe.process_id, subscribe.object_id, subscribe.confirmed,
                                       subscribe.lifetime};
        }
        subscribe.property.property_id = PropertyIdentifier::from_u32(in_.ConsumeIntegral<std::uint32_t>());
        if (in_.ConsumeBool()) subscribe.property.array_index = in_.ConsumeIntegral<std::uint32_t>();
        if (in_.ConsumeBool()) subscribe.cov_increment = in_.ConsumeFloatingPoint<float>();
        return subscribe;
      }
      case 3: {
        service::WritePropertyMultiple writes;
        writes.specs.resize(in_.ConsumeIntegralInRange<std::size_t>(0, 4));
        for (auto& spec : writes.specs) {
          service::WriteProperty write = write_property();
          spec.object_id = write.object_id;
          spec.properties.push_back({write.property_id, write.array_index, std::move(write.value), write.priority});
        }
        return writes;
      }
      case 4: {
        const ObjectIdentifier object = object_id();
        services::Range range = services::RangeByPosition{in_.ConsumeIntegral<std::uint32_t>(),
                                                          in_.ConsumeIntegral<std::int32_t>()};
        return service::ReadRange{object, PropertyIdentifier::from_u32(in_.ConsumeIntegral<std::uint32_t>()),
                                  std::nullopt, range};
      }
      case 0: {
        const ObjectIdentifier object = object_id();
        return service::ReadProperty{object, PropertyIdentifier::from_u32(in_.ConsumeIntegral<std::uint32_t>()),
                                     std::nullopt};
      }
      case 1:
        return write_property();
      default: {
        service::ReadPropertyMultiple read;
        read.specs.resize(in_.ConsumeIntegralInRange<std::size_t>(0, 40));
        for (auto& spec : read.specs) {
          spec.object_id = object_id();
          spec.properties.resize(in_.ConsumeIntegralInRange<std::size_t>(0, 8));
        }
        return read;
      }
    }
  }

  Bytes payload() {
    const std::size_t length = in_.PickValueInArray<std::size_t>({0, 1, 10, 60, 100, 1000, 1400});
    return Bytes(length, in_.ConsumeIntegral<std::uint8_t>());
  }

  static Bytes segment(std::uint8_t invoke_id, std::uint8_t sequence, bool more_follows, std::uint8_t window,
                       std::uint8_t service, const Bytes& payload) {
    Bytes apdu{static_cast<std::uint8_t>(more_follows ? 0x3C : 0x38), invoke_id, sequence, window, service};
    append_bytes(apdu, payload);
    return apdu;
  }

  // An outstanding or once used (peer, invoke ID) most of the time, else any.
  TransactionKey pick_key() {
    if (!sent_.empty() && in_.ConsumeIntegralInRange<int>(0, 7) != 0) {
      return sent_[in_.ConsumeIntegralInRange<std::size_t>(0, sent_.size() - 1)];
    }
    return {pick_source(), in_.ConsumeIntegral<std::uint8_t>()};
  }

  BacnetAddr pick_source() {
    return in_.ConsumeIntegralInRange<int>(0, 7) == 0 ? kStranger : in_.PickValueInArray(kPeers);
  }

  void remember(const TransactionKey& key) {
    if (sent_.size() < 64) {
      sent_.push_back(key);
    } else {
      sent_[next_slot_++ % sent_.size()] = key;
    }
  }

  static Bytes framed_length(Bytes datagram) {
    datagram[2] = static_cast<std::uint8_t>(datagram.size() >> 8);
    datagram[3] = static_cast<std::uint8_t>(datagram.size());
    return datagram;
  }

  // An APDU in the framing a device uses: Original-Unicast, plain NPDU; from
  // behind a router, from the router with SNET and SADR.
  std::vector<Output> receive(const Bytes& apdu, const BacnetAddr& src, bool check_tables_after = true) {
    Bytes npdu = routed_npdu(src);
    append_bytes(npdu, apdu);
    return deliver(unicast(npdu), src.udp(), check_tables_after);
  }

  // The NPDU header of what `src` sends: SNET and SADR from behind a router.
  static Bytes routed_npdu(const BacnetAddr& src) {
    if (!src.remote()) return {0x01, 0x00};
    Bytes npdu{0x01, 0x08, static_cast<std::uint8_t>(src.network >> 8), static_cast<std::uint8_t>(src.network),
               src.mac_length};
    append_bytes(npdu, src.mac_octets());
    return npdu;
  }

  static Bytes unicast(const Bytes& npdu) {
    Bytes datagram{0x81, 0x0A, 0x00, 0x00};
    append_bytes(datagram, npdu);
    return framed_length(std::move(datagram));
  }

  static Bytes forwarded(const Bytes& npdu, const BacnetAddr& original) {
    Bytes datagram{0x81, 0x04, 0x00, 0x00};
    append_bytes(datagram, original.addr);
    append_u16_be(datagram, original.port);
    append_bytes(datagram, npdu);
    return framed_length(std::move(datagram));
  }

  // What was outstanding before a datagram, against what it yields: only a
  // SimpleACK or ComplexACK gives a Response; to an outstanding request, one
  // for its service, and from a reassembly one that holds at least what was
  // received in order.
  std::vector<Output> deliver(Bytes datagram, const BacnetAddr& src, bool check_tables_after = true) {
    serving_ = served(datagram, src);
    if (serving_) {
      const std::string before = tables_summary();
      std::vector<Output> outputs = process(input::Received{std::move(datagram), src}, check_tables_after);
      check_served(outputs);
      FUZZ_CHECK(tables_summary() == before);
      serving_.reset();
      return outputs;
    }
    const std::optional<Answered> answer = answered(datagram);
    const std::optional<BacnetAddr> sender = sender_of(datagram, src);
    std::optional<std::uint8_t> asked;
    std::size_t reassembled = 0;
    if (answer && sender) {
      const TransactionKey key{*sender, answer->invoke_id};
      if (const auto found = stack_.transactions().find(key); found != stack_.transactions().end()) {
        asked = found->second.service_choice;
      }
      if (const auto found = stack_.recv_segments().find(key); found != stack_.recv_segments().end()) {
        reassembled = found->second.payload.size();
      }
    }
    std::vector<Output> outputs = process(input::Received{std::move(datagram), src}, check_tables_after);
    for (const Output& o : outputs) {
      const auto* e = std::get_if<output::Event>(&o);
      const auto* response = e ? std::get_if<event::Response>(&e->event) : nullptr;
      if (e != nullptr) FUZZ_CHECK(!std::holds_alternative<event::CovNotification>(e->event) ||
                                   std::get<event::CovNotification>(e->event).src == sender);
      if (response == nullptr) continue;
      FUZZ_CHECK(answer && sender && response->peer == *sender && response->invoke_id == answer->invoke_id);
      if (!asked) continue;  // a stray for an ID not in use: reported, ends nothing
      FUZZ_CHECK(answer->service_choice == *asked);
      if (services::answered_by_simple_ack(*asked)) FUZZ_CHECK(response->payload.empty());
      FUZZ_CHECK(response->payload.size() >= reassembled);
    }
    return outputs;
  }

  // --- the checks ----------------------------------------------------------

  // A Confirmed-Request the engine must answer: one it can read up to its
  // service choice, in a datagram it reads.
  // `src` is the device's whole address: behind a router, or through a BBMD.
  struct Served {
    BacnetAddr src;
    apdu::ConfirmedRequestHeader header;
    bool notification_decodes = false;
  };

  static std::optional<Served> served(ByteSpan datagram, const BacnetAddr& udp_src) {
    const auto bvlc_frame = bvlc::unwrap(datagram);
    if (!bvlc_frame) return std::nullopt;
    const auto frame = npdu::decode(bvlc_frame->npdu);
    if (!frame || frame->network_layer_message) return std::nullopt;
    const auto sender = sender_of(datagram, udp_src);
    if (!sender) return std::nullopt;
    const auto request = apdu::decode_confirmed_request(frame->apdu);
    if (!request) return std::nullopt;
    Served s{*sender, request->header, false};
    if (!s.header.segmentation && s.header.service_choice == services::kServiceConfirmedCovNotification) {
      s.notification_decodes = services::cov_notification::decode(request->service_data).ok();
    }
    if (!s.header.segmentation && s.header.service_choice == services::kServiceConfirmedEventNotification) {
      s.notification_decodes = services::event_notification::decode(request->service_data).ok();
    }
    return s;
  }

  // Exactly one answer, and the confirmed event only after a SimpleACK.
  void check_served(const std::vector<Output>& outputs) {
    const Served& s = *serving_;
    FUZZ_CHECK(!outputs.empty() && std::holds_alternative<output::Transmit>(outputs[0]));
    FUZZ_CHECK(outputs.size() == (s.notification_decodes ? 2u : 1u));
    // An answer carries the device's invoke ID, none of ours.
    FUZZ_CHECK(!std::get<output::Transmit>(outputs[0]).invoke_id);
    const output::Transmit& answer = std::get<output::Transmit>(outputs[0]);
    FUZZ_CHECK(answer.dest == s.src);
    const auto bvlc_frame = bvlc::unwrap(answer.data);
    FUZZ_CHECK(bvlc_frame && bvlc_frame->function == bvlc::kOriginalUnicastNpdu);
    const auto frame = npdu::decode(bvlc_frame->npdu);
    FUZZ_CHECK(frame.ok() && !frame->source && !frame->expecting_reply);
    // Back through the router: the device's network and MAC, every hop left.
    if (s.src.remote()) {
      FUZZ_CHECK(frame->destination && frame->destination->net == s.src.network && frame->hop_count == 255);
      FUZZ_CHECK(same_bytes(frame->destination->mac, s.src.mac_octets()));
    } else {
      FUZZ_CHECK(!frame->destination);
    }
    const ByteSpan apdu = frame->apdu;
    FUZZ_CHECK(apdu.size() == 3 && apdu[1] == s.header.invoke_id);
    if (s.header.segmentation) {
      FUZZ_CHECK(apdu[0] == 0x71 && apdu[2] == apdu::kAbortSegmentationNotSupported);
    } else if (s.notification_decodes) {
      FUZZ_CHECK(apdu[0] == 0x20 && apdu[2] == s.header.service_choice);
      const auto& e = std::get<output::Event>(outputs[1]).event;
      if (const auto* cov = std::get_if<event::CovNotification>(&e)) {
        FUZZ_CHECK(cov->confirmed && cov->src == s.src && s.header.service_choice == 1);
      } else {
        const auto& alarm = std::get<event::EventNotification>(e);
        FUZZ_CHECK(alarm.confirmed && alarm.src == s.src && s.header.service_choice == 2);
      }
    } else {
      FUZZ_CHECK(apdu[0] == 0x60);
      const bool notification = s.header.service_choice == 1 || s.header.service_choice == 2;
      FUZZ_CHECK(notification != (apdu[2] == apdu::kRejectUnrecognizedService));
    }
  }

  std::string tables_summary() const {
    std::string summary;
    for (const std::size_t n : {stack_.transactions().size(), stack_.invoke_pools().size(),
                                stack_.send_segments().size(), stack_.recv_segments().size(),
                                stack_.device_limits().size()}) {
      summary += std::to_string(n) + ' ';
    }
    for (const auto& [key, pool] : stack_.invoke_pools()) summary += std::to_string(pool.used_count()) + ' ';
    return summary;
  }

  std::vector<Output> process(Input input, bool check_tables_after = true) {
    std::vector<Output> outputs = stack_.process(std::move(input));
    check_outputs(outputs);
    check_windows();
    if (check_tables_after) check_tables();
    return outputs;
  }

  // A window of segments only ever moves forward while its request lives.
  void check_windows() {
    std::unordered_map<TransactionKey, std::size_t, TransactionKeyHash> now;
    for (const auto& [key, segments] : stack_.send_segments()) {
      FUZZ_CHECK(segments.window_start <= segments.next_to_send);
      FUZZ_CHECK(segments.next_to_send <= segments.total_segments);
      FUZZ_CHECK(segments.next_to_send <= segments.window_start + std::max<std::size_t>(segments.window_size, 1));
      if (const auto before = windows_.find(key); before != windows_.end()) {
        FUZZ_CHECK(segments.window_start >= before->second);
      }
      now.emplace(key, segments.window_start);
    }
    windows_ = std::move(now);
  }

  void check_outputs(const std::vector<Output>& outputs) {
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      if (const auto* transmit = std::get_if<output::Transmit>(&outputs[i])) check_transmit(*transmit);
      if (std::holds_alternative<output::Deadline>(outputs[i])) FUZZ_CHECK(i + 1 == outputs.size());
      if (const auto* event = std::get_if<output::Event>(&outputs[i])) {
        if (const auto* error = std::get_if<event::Error>(&event->event)) check_error(*error);
      }
    }
  }

  // The fields an Error event carries are those of its kind.
  static void check_error(const event::Error& error) {
    const bool is_error = error.kind == event::ErrorKind::Error;
    const bool is_reject = error.kind == event::ErrorKind::Reject;
    // A router's reject names a device behind it: the network it could not reach.
    const bool is_network = error.kind == event::ErrorKind::Network;
    FUZZ_CHECK(error.error_class.has_value() == is_error && error.error_code.has_value() == is_error);
    FUZZ_CHECK(error.reject_reason.has_value() == (is_reject || is_network));
    FUZZ_CHECK(!is_network || (error.peer.remote() && error.peer.mac_length != 0));
    FUZZ_CHECK(!error.message.empty());
  }

  // Every datagram is a whole, well-framed confirmed request, SegmentACK,
  // Abort or Who-Is, and goes only where we sent requests: SegmentACKs for
  // unsolicited segments would let anyone make us talk.
  void check_transmit(const output::Transmit& transmit) {
    // The answer to a device's request, checked by check_served.
    if (serving_ && transmit.dest == serving_->src) return;
    // Only a registration goes to the BBMD by itself, and only while registered.
    if (transmit.data.size() >= 2 && transmit.data[1] == bvlc::kRegisterForeignDevice) {
      FUZZ_CHECK(registered_ && transmit.dest == kBbmd && transmit.data.size() == 6 && !transmit.invoke_id);
      return;
    }
    // An unconfirmed request goes where it was sent, or to the BBMD to be
    // distributed when it is a broadcast and we are registered.
    if (unconfirmed_dest_) {
      const bool distributed = transmit.data[1] == bvlc::kDistributeBroadcastToNetwork;
      const bool broadcast = unconfirmed_dest_->addr[3] == 255;
      FUZZ_CHECK(distributed == (broadcast && registered_));
      FUZZ_CHECK(transmit.dest == (distributed ? kBbmd : *unconfirmed_dest_));
      FUZZ_CHECK(distributed || (transmit.data[1] == bvlc::kOriginalBroadcastNpdu) == broadcast);
      FUZZ_CHECK(!transmit.invoke_id);
      return;
    }
    const bool to_peer = std::find(std::begin(kPeers), std::end(kPeers), transmit.dest) != std::end(kPeers) ||
                         std::find(std::begin(kRoutedPeers), std::end(kRoutedPeers), transmit.dest) !=
                             std::end(kRoutedPeers);
    FUZZ_CHECK(to_peer);
    const auto bvlc_frame = bvlc::unwrap(transmit.data);
    FUZZ_CHECK(bvlc_frame.has_value());
    FUZZ_CHECK(bvlc_frame->npdu.size() + bvlc::kHeaderLength == transmit.data.size());
    FUZZ_CHECK(bvlc_frame->function == bvlc::kOriginalUnicastNpdu);
    auto frame = npdu::decode(bvlc_frame->npdu);
    FUZZ_CHECK(frame.ok());
    // A device behind the router is named by DNET and DADR, with every hop left.
    if (transmit.dest.remote()) {
      FUZZ_CHECK(frame->destination && frame->destination->net == transmit.dest.network);
      FUZZ_CHECK(same_bytes(frame->destination->mac, transmit.dest.mac_octets()) && frame->hop_count == 255);
    } else {
      FUZZ_CHECK(!frame->destination);
    }
    const ByteSpan apdu = frame->apdu;
    const auto type = apdu::pdu_type(apdu);
    FUZZ_CHECK(type.has_value());
    if (*type == static_cast<std::uint8_t>(apdu::PduType::SegmentAck)) {
      const auto ack = apdu::decode_segment_ack(apdu);
      FUZZ_CHECK(ack.ok() && !ack->server && ack->actual_window_size >= 1 && ack->actual_window_size <= 127);
      FUZZ_CHECK(!transmit.invoke_id);
      return;
    }
    if (*type == static_cast<std::uint8_t>(apdu::PduType::Abort)) {
      // Only for a request that ends with it: over the buffer, stalled, or cancelled.
      const auto abort = apdu::decode_abort(apdu);
      FUZZ_CHECK(abort.ok() && !abort->server && apdu.size() == 3);
      FUZZ_CHECK(abort->reason == apdu::kAbortOther || abort->reason == apdu::kAbortBufferOverflow ||
                 abort->reason == apdu::kAbortTsmTimeout);
      FUZZ_CHECK(!stack_.transactions().contains(TransactionKey{transmit.dest, abort->invoke_id}));
      FUZZ_CHECK(!transmit.invoke_id);
      return;
    }
    FUZZ_CHECK(*type == static_cast<std::uint8_t>(apdu::PduType::ConfirmedRequest));
    FUZZ_CHECK(apdu.size() > 2 && transmit.invoke_id == apdu[2]);
    check_request(apdu, transmit.dest);
  }

  // The request, or its segment, carries exactly the octets the service
  // encoder wrote, in an APDU no longer than configured.
  void check_request(ByteSpan apdu, const BacnetAddr& dest) {
    FUZZ_CHECK(apdu.size() >= 4);
    // A Send puts only its own request on the wire (under an ID that may have
    // served an earlier one); any other input only repeats a known one.
    const TransactionKey key{dest, apdu[2]};
    if (new_request_) requests_.insert_or_assign(key, *new_request_);
    const auto known = requests_.find(key);
    FUZZ_CHECK(known != requests_.end());
    const Request& request = known->second;
    const std::size_t max_apdu = request.max_apdu;
    FUZZ_CHECK(apdu.size() <= max_apdu);
    // What we advertise follows the configuration.
    FUZZ_CHECK((apdu[1] & 0x0F) == apdu::max_apdu_code(stack_.config().max_apdu_length));
    if (!(apdu[0] & apdu::kFlagSegmented)) {
      FUZZ_CHECK(apdu[3] == request.service_choice);
      FUZZ_CHECK(same_bytes(apdu.subspan(4), request.parameters));
      return;
    }
    FUZZ_CHECK(apdu.size() >= 6);
    FUZZ_CHECK(apdu[5] == request.service_choice);
    const std::size_t segment_size = max_apdu - 6;
    const std::size_t begin = std::size_t{apdu[3]} * segment_size;
    FUZZ_CHECK(begin < request.parameters.size());
    const std::size_t end = std::min(request.parameters.size(), begin + segment_size);
    FUZZ_CHECK(same_bytes(apdu.subspan(6), ByteSpan(request.parameters).subspan(begin, end - begin)));
    FUZZ_CHECK(((apdu[0] & apdu::kFlagMoreFollows) != 0) == (end < request.parameters.size()));
  }

  void check_tables() const {
    const auto& pools = stack_.invoke_pools();
    const auto& transactions = stack_.transactions();
    // An ID is in use exactly when a transaction holds it: every transaction's
    // ID is marked, and each pool marks no more IDs than it has transactions.
    // Pools exist only for our peers.
    struct PoolView {
      BacnetAddr addr;
      const InvokeIdPool* pool = nullptr;
      std::size_t held = 0;
    };
    std::array<PoolView, std::size(kPeers) + std::size(kRoutedPeers)> views{};
    std::size_t view_count = 0;
    for (const auto& [addr, pool] : pools) {
      FUZZ_CHECK(view_count < views.size());
      views[view_count++] = {addr, &pool};
    }
    for (const auto& [key, transaction] : transactions) {
      const BacnetAddr& addr = key.addr;
      FUZZ_CHECK(transaction.dest == addr);
      auto* view = std::find_if(views.begin(), views.begin() + static_cast<std::ptrdiff_t>(view_count),
                                [&addr](const PoolView& v) { return v.addr == addr; });
      FUZZ_CHECK(view != views.begin() + static_cast<std::ptrdiff_t>(view_count));
      FUZZ_CHECK(view->pool->is_used(key.invoke_id));
      ++view->held;
      // A segmented request kept to go again was delivered whole, and is
      // neither being sent nor answered in segments.
      if (const auto& kept = transaction.delivered) {
        FUZZ_CHECK(kept->delivered() && transaction.datagram.empty());
        FUZZ_CHECK(!stack_.send_segments().contains(key) && !stack_.recv_segments().contains(key));
      }
    }
    for (std::size_t i = 0; i < view_count; ++i) FUZZ_CHECK(views[i].pool->used_count() == views[i].held);
    // Segmentation state lives only beside its transaction.
    for (const auto& [key, segments] : stack_.send_segments()) {
      FUZZ_CHECK(transactions.contains(key));
      FUZZ_CHECK(segments.segment_size > 0);
      FUZZ_CHECK(segments.total_segments <= kMaxSegments);
      FUZZ_CHECK(segments.window_start < segments.total_segments);
      FUZZ_CHECK(segments.segment_size + 6 <= requests_.at(key).max_apdu);
    }
    // Reassembly holds no more than the configured limit, and its window
    // lies ahead of what it received.
    for (const auto& [key, reassembly] : stack_.recv_segments()) {
      FUZZ_CHECK(transactions.contains(key));
      FUZZ_CHECK(reassembly.max_buffer == stack_.config().max_segment_buffer);
      FUZZ_CHECK(reassembly.payload.size() <= reassembly.max_buffer);
      FUZZ_CHECK(reassembly.window_start <= reassembly.next_index && reassembly.next_index < reassembly.window_end);
      FUZZ_CHECK(reassembly.window_end - reassembly.window_start <= apdu::kLargestWindow);
    }
  }

  FuzzedDataProvider in_;
  Stack stack_;
  double now_ = 0.0;
  // The request of the Send being processed, until it has been checked.
  std::optional<Request> new_request_;
  // The device's request being delivered, until it has been checked.
  std::optional<Served> serving_;
  // What each (peer, invoke ID) was last used for.
  std::unordered_map<TransactionKey, Request, TransactionKeyHash> requests_;
  // Where the window of each segmented request stood after the last step.
  std::unordered_map<TransactionKey, std::size_t, TransactionKeyHash> windows_;
  bool registered_ = false;
  // The destination of the SendUnconfirmed being processed.
  std::optional<BacnetAddr> unconfirmed_dest_;
  unsigned burst_budget_ = 300;
  std::vector<TransactionKey> sent_;
  std::size_t next_slot_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Script(data, size).run();
  return 0;
}
