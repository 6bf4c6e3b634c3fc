// An outside job: the README's example job (included from the build tree,
// where CMake copied it), run on the simulated driver of the installed stand-ins.
#include <KQVolumeSim.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "readme_example_job.inc"

int main() {
  auto driver = kqsim::SimDriver::Install();
  kqsim::VolumeConfig cfg;
  cfg.bytes = 1 << 20;
  driver->AddVolume("/dev/sdb1", cfg);
  driver->RecordWrite("/dev/sdb1", 3 * 4096, 4096);
  driver->RecordWrite("/dev/sdb1", 10 * 4096, 100);

  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kqjob.XXXXXX";
  if (mkdtemp(&dir[0]) == nullptr) return 2;
  const long blocks = IncrementalBackup("/dev/sdb1", (dir + "/job.bm").c_str());
  rmdir(dir.c_str());
  std::printf("%ld blocks backed up\n", blocks);
  return blocks == 2 ? 0 : 1;
}
