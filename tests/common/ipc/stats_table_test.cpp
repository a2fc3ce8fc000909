#include "ipc/stats_table.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// Stored counts come from every process of the user, over many runs; a sum
// that passed 2^64 - 1 used to wrap round to a small count.
TEST(StatsTableTest, MergedCountsSaturateAndMeansStayBetweenTheirInputs) {
  ipc::SendCounts send{kMax - 1, 5};
  ipc::MergeSend(send, {5, 1});
  EXPECT_EQ(send.total, kMax);
  EXPECT_EQ(send.success, 6u);

  ipc::RecvCounts recv{kMax, 100};
  ipc::MergeRecv(recv, {kMax, 300});
  EXPECT_EQ(recv.total, kMax);
  EXPECT_EQ(recv.avg_cost, 200);

  const ipc::SendTable stored = ipc::ParseSendTable(
      R"([[{"from":1,"to":2,"msg_id":3},{"total":18446744073709551615,"success":1}],)"
      R"( [{"from":1,"to":2,"msg_id":3},{"total":2,"success":18446744073709551615}]])");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored.begin()->second.total, kMax);
  EXPECT_EQ(stored.begin()->second.success, kMax);
}

}  // namespace
