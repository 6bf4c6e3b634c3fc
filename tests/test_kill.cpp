// A job killed at random instants of its workflow loses no change: a short
// run of the kill stress program's harness (tools: tests/stress).
#include "KqKillHarness.h"
#include "KqTestSupport.h"

namespace {

class Kill : public kqtest::KqFixture {};

TEST_F(Kill, NoChangeLostWhenTheJobIsKilled) {
  for (auto w : {kqtest::KillWorkflow::Formalities, kqtest::KillWorkflow::Dump,
                 kqtest::KillWorkflow::Level}) {
    SCOPED_TRACE(kqtest::KillWorkflowName(w));
    const kqtest::KillStats s = kqtest::RunKills(w, 15, 7, dir.path());
    EXPECT_EQ(s.losses, 0);
    EXPECT_EQ(s.torn, 0);
    EXPECT_EQ(s.leftovers, 0);
    EXPECT_EQ(s.failedCalls, 0);
  }
}

}  // namespace
