// Kill stress: kills a job mid-workflow thousands of times and prints, per
// workflow, kills, lost writes (must be 0), full backups the recovery forced
// and how many of them were needed (without them a write would have been
// lost; the rest were killed after the record was written and before the
// driver was cleared, which no later call can tell apart), torn files and
// leftovers. Exit 1 on any loss, torn file or leftover.
//
//   kq_kill_stress [kills per workflow, default 1000] [seed]
#include <cstdio>
#include <cstdlib>
#include <string>

#include <KqLogControl.h>

#include "KqKillHarness.h"
#include "KqTestSupport.h"

int main(int argc, char** argv) {
  const int kills = argc > 1 ? std::atoi(argv[1]) : 1000;
  const unsigned seed = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 1;
  kqlog::SetLevel(0);  // thousands of calls: the figures are the output
  int bad = 0;
  std::printf("%-24s %6s %6s %12s %7s %5s %10s %7s\n", "workflow", "kills", "lost", "forced full",
              "needed", "torn", "leftovers", "failed");
  for (auto w : {kqtest::KillWorkflow::Formalities, kqtest::KillWorkflow::Dump,
                 kqtest::KillWorkflow::Level}) {
    kqtest::TempDir dir;
    const kqtest::KillStats s = kqtest::RunKills(w, kills, seed, dir.path());
    std::printf("%-24s %6d %6d %12d %7d %5d %10d %7d\n", kqtest::KillWorkflowName(w), s.kills,
                s.losses, s.fullBackups, s.fullBackups - s.unneeded, s.torn, s.leftovers,
                s.failedCalls);
    std::fflush(stdout);
    bad += s.losses + s.torn + s.leftovers;
  }
  return bad == 0 ? 0 : 1;
}
