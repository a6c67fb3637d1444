#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "stack/stack_test_support.hpp"

namespace ferromesh::stack::test {
namespace {

// The pool against a model of what it promises: free IDs in a queue, each
// freed one at the back. Random allocations and releases (of used and free
// IDs alike), long enough to wrap the ring many times.
TEST(InvokeIdPool, HandsOutTheIdFreeTheLongest) {
  InvokeIdPool pool;
  std::deque<std::uint8_t> model;
  for (unsigned id = 0; id < 256; ++id) model.push_back(static_cast<std::uint8_t>(id));
  std::mt19937 random(7);
  for (int step = 0; step < 20000; ++step) {
    ASSERT_EQ(pool.next(), model.empty() ? std::nullopt : std::optional(model.front())) << step;
    if (random() % 3 != 0) {  // allocate more often than release, so that the pool fills up
      const std::optional<std::uint8_t> id = pool.allocate();
      ASSERT_EQ(id, model.empty() ? std::nullopt : std::optional(model.front())) << step;
      if (id) model.pop_front();
    } else {
      const auto id = static_cast<std::uint8_t>(random());
      if (pool.is_used(id)) model.push_back(id);  // a free ID stays where it is
      pool.release(id);
    }
    ASSERT_EQ(pool.used_count(), 256 - model.size()) << step;
  }
}

TEST(InvokeIds, FirstSendToAnAddressUsesIdZeroAndFramesTheRequest) {
  Stack stack;
  const auto out = stack.process(read_property(kDevice));
  const Bytes expected{0x81, 0x0A, 0x00, 0x11, 0x01, 0x04, 0x02, 0x75, 0x00,
                       0x0C, 0x0C, 0x00, 0x00, 0x00, 0x01, 0x19, 0x55};
  EXPECT_EQ(out, (std::vector<Output>{transmit(expected, kDevice, 0), deadline(3.0)}));
  expect_invariants(stack);
}

TEST(InvokeIds, PoolsArePerAddressAndPortAndExhaustionChangesNothing) {
  Stack stack;
  for (int i = 0; i < 256; ++i) {
    const auto out = stack.process(read_property(kDevice));
    ASSERT_EQ(invoke_id_of(transmitted(out).at(0)), i);
  }
  const std::string before = describe_tables(stack);
  EXPECT_EQ(stack.process(read_property(kDevice)),
            std::vector<Output>{local_error(0, "invoke ID pool exhausted", kDevice, event::ErrorKind::NoInvokeId)});
  EXPECT_EQ(describe_tables(stack), before);

  BacnetAddr other_port = kDevice;
  other_port.port = 47809;
  for (const BacnetAddr& dest : {kOtherDevice, other_port}) {
    EXPECT_EQ(invoke_id_of(transmitted(stack.process(read_property(dest))).at(0)), 0) << dest;
  }
  expect_invariants(stack);
}

TEST(InvokeIds, FreedIdsAreReusedLastAndPoolsOutliveTransactions) {
  Stack stack;
  for (int i = 0; i < 10; ++i) (void)stack.process(read_property(kDevice));
  (void)stack.process(from(kDevice, device_datagram({0x30, 0x05, 0x0C})));  // the answer frees 5
  EXPECT_FALSE(stack.invoke_pools().at(kDevice).is_used(5));
  EXPECT_EQ(invoke_id_of(transmitted(stack.process(read_property(kDevice))).at(0)), 10);

  for (int id = 0; id <= 10; ++id) {
    (void)stack.process(from(kDevice, device_datagram({0x30, static_cast<std::uint8_t>(id), 0x0C})));
  }
  EXPECT_TRUE(stack.transactions().empty());
  EXPECT_EQ(invoke_id_of(transmitted(stack.process(read_property(kDevice))).at(0)), 11);
  expect_invariants(stack);
}

// With every ID busy, the one freed first comes back first: a request that
// timed out long ago gives its ID before one answered a moment ago.
TEST(InvokeIds, AFullPoolGivesBackIdsInTheOrderTheyWereFreed) {
  Stack stack;
  for (int i = 0; i < 256; ++i) (void)stack.process(read_property(kDevice));
  for (std::uint8_t id : {std::uint8_t{200}, std::uint8_t{3}, std::uint8_t{77}}) {
    (void)stack.process(from(kDevice, device_datagram({0x30, id, 0x0C})));
  }
  for (int expected : {200, 3, 77}) {
    EXPECT_EQ(invoke_id_of(transmitted(stack.process(read_property(kDevice))).at(0)), expected);
  }
}

// Pools of devices with nothing outstanding are dropped once more than
// kIdlePoolsKept devices were used since; busy ones and recent ones stay.
TEST(InvokeIds, IdlePoolsOfManyDevicesAreDropped) {
  Stack stack;
  (void)stack.process(read_property(kDevice));  // stays busy
  std::size_t most = 0;
  for (std::uint32_t i = 0; i < 20000; ++i) {
    const BacnetAddr dest{{10, 1, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)}, 47808};
    (void)stack.process(read_property(dest));
    (void)stack.process(from(dest, device_datagram({0x30, 0x00, 0x0C})));
    most = std::max(most, stack.invoke_pools().size());
  }
  // Swept at twice what a sweep keeps: the busy pool and the recent ones.
  EXPECT_LE(most, 2 * (kIdlePoolsKept + 2));
  EXPECT_TRUE(stack.invoke_pools().contains(kDevice));
  // The latest devices keep their pools: their next request gets ID 1, not 0 again.
  const BacnetAddr latest{{10, 1, 0x4E, 0x1F}, 47808};  // device 19999
  EXPECT_EQ(invoke_id_of(transmitted(stack.process(read_property(latest))).at(0)), 1);
  expect_invariants(stack);
}

}  // namespace
}  // namespace ferromesh::stack::test
