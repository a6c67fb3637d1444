#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/pcap.hpp"

namespace ferromesh::test {
namespace {

using Octets = std::vector<std::uint8_t>;

void append(Octets& out, const Octets& more) { out.insert(out.end(), more.begin(), more.end()); }

// A big-endian capture record: timestamp, captured and original length, frame.
void append_record(Octets& capture, const Octets& frame, std::uint32_t original_length) {
  const auto captured = static_cast<std::uint32_t>(frame.size());
  append(capture, {0, 0, 0, 1, 0, 0, 0, 2});
  for (const std::uint32_t v : {captured, original_length}) {
    append(capture, {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                     static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
  }
  append(capture, frame);
}

const Octets kMacs(12, 0xEE);

TEST(PcapReader, YieldsWholeUdpDatagramsOnly) {
  Octets capture{0xA1, 0xB2, 0xC3, 0xD4, 0, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 1};

  // VLAN tag, an IPv4 header with 4 octets of options, UDP 47808 -> 47809,
  // a 3-octet payload and Ethernet padding after it.
  Octets tagged = kMacs;
  append(tagged, {0x81, 0x00, 0x00, 0x05, 0x08, 0x00});
  append(tagged, {0x46, 0, 0, 35, 0, 0, 0x40, 0, 64, 17, 0, 0, 10, 0, 0, 1, 192, 168, 1, 20, 1, 2, 3, 4});
  append(tagged, {0xBA, 0xC0, 0xBA, 0xC1, 0, 11, 0, 0, 0x81, 0x0B, 0x00, 0, 0, 0, 0});
  append_record(capture, tagged, static_cast<std::uint32_t>(tagged.size()));

  Octets arp = kMacs;
  append(arp, {0x08, 0x06, 0, 1});
  append_record(capture, arp, static_cast<std::uint32_t>(arp.size()));

  Octets tcp = kMacs;
  append(tcp, {0x08, 0x00, 0x45, 0, 0, 28, 0, 0, 0, 0, 64, 6, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 0, 1, 0, 2, 0, 8, 0, 0});
  append_record(capture, tcp, static_cast<std::uint32_t>(tcp.size()));

  // The same datagram again, but the capture kept fewer octets than were sent.
  append_record(capture, tagged, static_cast<std::uint32_t>(tagged.size() + 1));

  const auto datagrams = parse_pcap(capture);
  ASSERT_TRUE(datagrams.has_value());
  ASSERT_EQ(datagrams->size(), 1u);
  const UdpDatagram& d = datagrams->front();
  EXPECT_EQ(d.source_ip, (std::array<std::uint8_t, 4>{10, 0, 0, 1}));
  EXPECT_EQ(d.destination_ip, (std::array<std::uint8_t, 4>{192, 168, 1, 20}));
  EXPECT_EQ(d.source_port, 47808);
  EXPECT_EQ(d.destination_port, 47809);
  EXPECT_EQ(d.payload, (Octets{0x81, 0x0B, 0x00}));

  // A record that runs past the end of the file makes the whole capture unreadable.
  capture.pop_back();
  EXPECT_FALSE(parse_pcap(capture).has_value());
  EXPECT_FALSE(parse_pcap(Octets{0x0A, 0x0D, 0x0D, 0x0A}).has_value());
}

}  // namespace
}  // namespace ferromesh::test
