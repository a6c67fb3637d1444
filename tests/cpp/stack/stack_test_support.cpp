#include "stack/stack_test_support.hpp"

#include "codec/bvlc.hpp"
#include "codec/npdu.hpp"
#include "services/write_property.hpp"

namespace ferromesh::stack::test {

input::Send write_octets(const BacnetAddr& dest, std::size_t parameter_length) {
  const ObjectIdentifier object{ObjectType::Member::AnalogValue, 7};
  const PropertyIdentifier property = PropertyIdentifier::Member::PresentValue;
  auto with_octets = [&](std::size_t n) {
    return PropertyValue{PropertyValue::OctetString{Bytes(n, 0xA5)}};
  };
  // The tag header grows with the value's length; find the value length that
  // gives exactly the wanted parameter length.
  std::size_t n = parameter_length;
  while (n > 0 && services::write_property::encode_request(object, property, with_octets(n), std::nullopt,
                                                           std::nullopt)
                          .size() > parameter_length) {
    --n;
  }
  // Vary the octets so that a misplaced segment boundary shows.
  PropertyValue value = with_octets(n);
  auto& octets = std::get<PropertyValue::OctetString>(value.variant).value;
  for (std::size_t i = 0; i < octets.size(); ++i) octets[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return {service::WriteProperty{object, property, std::move(value), std::nullopt, std::nullopt}, dest};
}

Bytes ack_segment(std::uint8_t invoke_id, std::uint8_t sequence, bool more_follows, std::uint8_t window,
                  const Bytes& payload) {
  const std::size_t length = 6 + 5 + payload.size();
  Bytes out{0x81,
            0x0A,
            static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(length),
            0x01,
            0x00,
            static_cast<std::uint8_t>(more_follows ? 0x3C : 0x38),
            invoke_id,
            sequence,
            window,
            0x0C};
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::vector<Bytes> transmitted(const std::vector<Output>& outputs) {
  std::vector<Bytes> out;
  for (const Output& o : outputs) {
    if (const auto* t = std::get_if<output::Transmit>(&o)) out.push_back(t->data);
  }
  return out;
}

std::vector<Event> events(const std::vector<Output>& outputs) {
  std::vector<Event> out;
  for (const Output& o : outputs) {
    if (const auto* e = std::get_if<output::Event>(&o)) out.push_back(e->event);
  }
  return out;
}

std::string kinds(const std::vector<Output>& outputs) {
  std::string out;
  for (const Output& o : outputs) out += "TED"[o.index()];
  return out;
}

std::uint8_t invoke_id_of(const Bytes& request_datagram) {
  // After the NPDU header, which names DNET and DADR for a routed device.
  const auto bvlc_frame = bvlc::unwrap(request_datagram);
  const auto frame = bvlc_frame ? npdu::decode(bvlc_frame->npdu) : Result<npdu::NpduFrame>(DecodeError::InvalidData);
  return frame ? frame->apdu[2] : request_datagram.at(8);
}

namespace {

template <class Table, class Line>
void describe_table(std::ostringstream& os, const char* name, const Table& table, Line line) {
  std::vector<std::string> lines;
  for (const auto& [key, value] : table) {
    std::ostringstream entry;
    line(entry, key, value);
    lines.push_back(entry.str());
  }
  std::sort(lines.begin(), lines.end());
  os << name << ":\n";
  for (const std::string& l : lines) os << "  " << l << "\n";
}

}  // namespace

std::string describe_tables(const Stack& stack) {
  std::ostringstream os;
  describe_table(os, "pools", stack.invoke_pools(), [](auto& e, const BacnetAddr& a, const InvokeIdPool& p) {
    e << a << " used=" << p.used_count() << " next=" << (p.next() ? int{*p.next()} : -1) << " last_use=" << p.last_use;
    for (unsigned id = 0; id < 256; ++id) {
      if (p.is_used(static_cast<std::uint8_t>(id))) e << " " << id;
    }
  });
  describe_table(os, "transactions", stack.transactions(), [](auto& e, const TransactionKey& k, const Transaction& t) {
    e << k.addr << "#" << int{k.invoke_id} << " deadline=" << t.deadline << " retries=" << int{t.retries}
      << " dest=" << t.dest << " service=" << int{t.service_choice} << " datagram=" << hex(t.datagram);
  });
  describe_table(os, "send", stack.send_segments(), [](auto& e, const TransactionKey& k, const SendSegState& s) {
    e << k.addr << "#" << int{k.invoke_id} << " start=" << s.window_start << " sent=" << s.next_to_send
      << " size=" << int{s.window_size} << " total=" << s.total_segments << " last=" << s.last_activity
      << " active=" << s.activity_since_tick << " resends=" << int{s.window_resends};
  });
  describe_table(os, "recv", stack.recv_segments(), [](auto& e, const TransactionKey& k, const RecvSegState& r) {
    e << k.addr << "#" << int{k.invoke_id} << " next=" << r.next_index << " window=" << r.window_start << ".."
      << r.window_end << " size=" << int{r.window_size} << " buffered=" << r.payload.size()
      << " last=" << r.last_activity << " active=" << r.activity_since_tick;
  });
  return os.str();
}

void expect_invariants(const Stack& stack) {
  std::size_t ids_in_use = 0;
  for (const auto& [addr, pool] : stack.invoke_pools()) {
    ids_in_use += pool.used_count();
    for (unsigned id = 0; id < 256; ++id) {
      const bool held = stack.transactions().contains(TransactionKey{addr, static_cast<std::uint8_t>(id)});
      EXPECT_EQ(pool.is_used(static_cast<std::uint8_t>(id)), held) << addr << " invoke ID " << id;
    }
  }
  EXPECT_EQ(ids_in_use, stack.transactions().size()) << "a transaction without a pool";
  for (const auto& [key, state] : stack.send_segments()) {
    EXPECT_TRUE(stack.transactions().contains(key)) << "send state of an ended transaction " << key.addr;
  }
  for (const auto& [key, state] : stack.recv_segments()) {
    EXPECT_TRUE(stack.transactions().contains(key)) << "recv state of an ended transaction " << key.addr;
    EXPECT_LE(state.payload.size(), state.max_buffer);
  }
}

}  // namespace ferromesh::stack::test
