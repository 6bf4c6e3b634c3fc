// Kills a job mid-workflow, again and again: a forked child runs one
// workflow in a loop on a volume whose simulated driver keeps its state in a
// file (so it outlives the child), while this process records writes; the
// child is killed with SIGKILL at a random instant, this process makes one
// more call of the workflow and checks that every write recorded before the
// kill is on the driver or in the bitmap file (or the driver's bitmap was
// marked dirty, which sets every bit), that no file is torn and that no
// temporary is left. Used by the test suite (a few tens of kills) and by the
// stress program (thousands).
#pragma once

#include <string>

namespace kqtest {

enum class KillWorkflow { Formalities, Dump, Level };
const char* KillWorkflowName(KillWorkflow w);

struct KillStats {
  int kills = 0;
  int losses = 0;       // writes missing afterwards: must stay 0
  int fullBackups = 0;  // recoveries that marked the driver's bitmap dirty
  int unneeded = 0;     // ... of which nothing would have been lost without it
  int torn = 0;         // bitmap or restart files of the wrong length
  int leftovers = 0;    // temporaries still there after the next call
  int failedCalls = 0;  // next calls that did not succeed
};

// Needs no other thread running in this process (it forks).
KillStats RunKills(KillWorkflow workflow, int kills, unsigned seed, const std::string& dir);

}  // namespace kqtest
