// IsAsyncMirror against the in-memory replication database, and the volume
// name to replication id mapping that this platform does not do.
#include "KqTestSupport.h"

#include <ReplicaDBSim.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using kqsim::ReplicaDB;

class AsyncMirrorTest : public kqtest::KqFixture {
 protected:
  // Whatever the path, no client or result record is left behind.
  void TearDown() override {
    EXPECT_EQ(ReplicaDB::LiveClients(), 0);
    EXPECT_EQ(ReplicaDB::LiveResults(), 0);
    KqFixture::TearDown();
  }
};

TEST_F(AsyncMirrorTest, AnswersFromTheVolumeList) {
  struct Case {
    const char* what;
    std::vector<std::pair<int, int>> records;  // volume id, replication type
    int id;
    bool mirror;
  };
  const Case cases[] = {
      {"empty list", {}, 7, false},
      {"the only record", {{7, 3}}, 7, true},
      {"another type first, type 3 later", {{7, 2}, {5, 3}, {7, 3}}, 7, true},
      {"type 3 first, another type later", {{7, 3}, {7, 2}}, 7, true},
      {"type 3 only on other ids", {{5, 3}, {9, 3}, {7, 2}, {7, 0}, {7, 4}}, 7, false},
      {"a negative id", {{0, 3}, {-1, 3}}, -1, true},
      {"id 0, not listed", {{4, 1}}, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ReplicaDB db;
    for (const auto& [id, type] : c.records) db.Add(id, type);

    EXPECT_EQ(ops->IsAsyncMirror(c.id), c.mirror);

    EXPECT_EQ(db.Queries(), 1);
    EXPECT_EQ(db.LastClientKind(), 4);
    // The volume name to id mapping is not done here: no answer, no query.
    int id = 77;
    EXPECT_FALSE(ops->FigureOutSNRIdFromVolName(c.id != 0 ? kVolume : "", &id));
    EXPECT_EQ(id, 77);
    EXPECT_EQ(db.Queries(), 1);
  }
  EXPECT_TRUE(log->lines().empty());
}

TEST_F(AsyncMirrorTest, AFailedQueryIsLoggedAndAThrowPassesThrough) {
  EXPECT_FALSE(ops->IsAsyncMirror(3));  // no database at all
  ReplicaDB db;
  db.Add(-1, 3);  // would be a mirror: the failure must win
  db.Add(42, 3);
  db.FailNextQueries(2);
  EXPECT_FALSE(ops->IsAsyncMirror(-1));
  EXPECT_FALSE(ops->IsAsyncMirror(42));
  EXPECT_TRUE(ops->IsAsyncMirror(42));  // the database answers again
  db.ThrowNextQueries(1);
  EXPECT_THROW(ops->IsAsyncMirror(42), kqsim::ReplicaDBFault);
  EXPECT_TRUE(ops->IsAsyncMirror(42));

  // The signed id of each failed query; nothing for the throw.
  const std::string failed =
      kqtest::Line("KQBitMapOps::IsAsyncMirror",
                   "Failed to Find if the Dest Vol is a existing Async Mirror, SNRVolId = ");
  EXPECT_EQ(log->lines(), (std::vector<std::string>{failed + "3", failed + "-1", failed + "42"}));
  for (const kqlog::Entry& e : log->entries()) {
    EXPECT_TRUE(e.kind == kqlog::Entry::Kind::Debug && e.fromEvent);
  }
}

}  // namespace
