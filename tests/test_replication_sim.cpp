// The replication stand-in itself: what the IsAsyncMirror tests rely on.
#include <ReplicaDBSim.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

using kqsim::ReplicaDB;

// Runs one query the way IsAsyncMirror does; -1 failed, -2 threw, else the record count.
int Query(int kind = 4) {
  ReplicaDBClient client(kind);
  GetReplicationVolumeList42Ret_t result;
  try {
    return client.GetReplicationVolumeList(result) ? static_cast<int>(result.volumes.size()) : -1;
  } catch (const kqsim::ReplicaDBFault&) {
    return -2;
  }
}

TEST(ReplicaDBSim, InjectedFaultsAreUsedUpInOrderAndCounted) {
  EXPECT_EQ(Query(), -1);  // no database installed
  ReplicaDB db;
  db.Add(7, 3);
  db.Add(-1, 2);
  db.FailNextQueries(1);
  db.ThrowNextQueries(2);
  const std::vector<int> want = {-2, -2, -1, 2};
  for (int expected : want) EXPECT_EQ(Query(9), expected);
  EXPECT_EQ(db.Queries(), 4);
  EXPECT_EQ(db.LastClientKind(), 9);

  ReplicaDBClient client(4);
  GetReplicationVolumeList42Ret_t result;
  ASSERT_TRUE(client.GetReplicationVolumeList(result));
  const ReplicationVolumeRecord42_t zero{};
  ReplicationVolumeRecord42_t second = zero;
  second.volumeId = -1;
  second.replicationType = 2;
  ASSERT_EQ(result.volumes.size(), 2u);
  EXPECT_EQ(std::memcmp(&result.volumes[1], &second, sizeof second), 0);
  {
    const GetReplicationVolumeList42Ret_t copy = result;
    EXPECT_EQ(ReplicaDB::LiveResults(), 2);
    EXPECT_EQ(ReplicaDB::LiveClients(), 1);
  }
  EXPECT_EQ(ReplicaDB::LiveResults(), 1);
}

TEST(ReplicaDBSim, LaterDatabaseTakesOverUntilDestroyed) {
  auto outer = std::make_unique<ReplicaDB>();
  outer->Add(1, 3);
  {
    auto middle = std::make_unique<ReplicaDB>();
    ReplicaDB inner;
    EXPECT_EQ(Query(), 0);
    middle.reset();  // out of order: inner must not fall back to it afterwards
  }
  EXPECT_EQ(Query(), 1);
  outer.reset();
  EXPECT_EQ(Query(), -1);
  EXPECT_EQ(ReplicaDB::LiveClients(), 0);
  EXPECT_EQ(ReplicaDB::LiveResults(), 0);
}

}  // namespace
