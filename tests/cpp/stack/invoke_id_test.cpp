#include <gtest/gtest.h>

#include "stack/stack_test_support.hpp"

namespace ferromesh::stack::test {
namespace {

struct PoolCase {
  const char* name;
  std::vector<int> free_ids;  // every other ID is in use; empty list: all free
  bool all_free;
  std::uint8_t next_id;
  std::optional<std::uint8_t> expected;
};

class PoolSearch : public ::testing::TestWithParam<PoolCase> {};

TEST_P(PoolSearch, TakesFirstFreeIdFromNextIdWrapping) {
  const PoolCase& c = GetParam();
  InvokeIdPool pool;
  if (!c.all_free) {
    pool.in_use.fill(~std::uint64_t{0});
    for (int id : c.free_ids) pool.release(static_cast<std::uint8_t>(id));
  }
  pool.next_id = c.next_id;
  const std::size_t used_before = pool.used_count();
  EXPECT_EQ(pool.allocate(), c.expected);
  if (c.expected) {
    EXPECT_TRUE(pool.is_used(*c.expected));
    EXPECT_EQ(pool.next_id, static_cast<std::uint8_t>(*c.expected + 1));
    EXPECT_EQ(pool.used_count(), used_before + 1);
  } else {
    EXPECT_EQ(pool.next_id, c.next_id);
    EXPECT_EQ(pool.used_count(), 256u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PoolSearch,
    ::testing::Values(PoolCase{"fresh", {}, true, 0, 0}, PoolCase{"last_wraps_next_to_0", {}, true, 255, 255},
                      PoolCase{"later_word", {201}, false, 10, 201},
                      PoolCase{"earlier_word_after_wrap", {3}, false, 100, 3},
                      PoolCase{"same_word_below_start", {70}, false, 100, 70},
                      PoolCase{"same_word_above_start", {70, 120}, false, 100, 120},
                      PoolCase{"exactly_at_start", {100}, false, 100, 100},
                      PoolCase{"full", {}, false, 42, std::nullopt}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(InvokeIds, FirstSendToAnAddressUsesIdZeroAndFramesTheRequest) {
  Stack stack;
  const auto out = stack.process(read_property(kDevice));
  const Bytes expected{0x81, 0x0A, 0x00, 0x11, 0x01, 0x04, 0x02, 0x05, 0x00,
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

TEST(InvokeIds, FreedIdsAreNotReusedBeforeTheSearchWrapsAndPoolsOutliveTransactions) {
  Stack stack;
  for (int i = 0; i < 10; ++i) (void)stack.process(read_property(kDevice));
  (void)stack.process(from(kDevice, device_datagram({0x20, 0x05, 0x0C})));  // SimpleACK frees 5
  EXPECT_FALSE(stack.invoke_pools().at(kDevice).is_used(5));
  EXPECT_EQ(invoke_id_of(transmitted(stack.process(read_property(kDevice))).at(0)), 10);

  for (int id = 0; id <= 10; ++id) {
    (void)stack.process(from(kDevice, device_datagram({0x20, static_cast<std::uint8_t>(id), 0x0C})));
  }
  EXPECT_TRUE(stack.transactions().empty());
  EXPECT_EQ(invoke_id_of(transmitted(stack.process(read_property(kDevice))).at(0)), 11);
  expect_invariants(stack);
}

}  // namespace
}  // namespace ferromesh::stack::test
