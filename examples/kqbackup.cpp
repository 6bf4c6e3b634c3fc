// kqbackup: the reference backup job on the command line. It keeps a backup
// chain of one volume (a full backup, then increments of the blocks the
// driver marked changed) and restores it.
#include <kqbitmapops/KQBitMapOps.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "BackupChain.h"
#include "BackupJob.h"

namespace {

const char kUsage[] = R"(Usage:
  kqbackup full    VOLUME DEVICE CHAIN BITMAP-FILE [--block-size B]
  kqbackup incr    VOLUME DEVICE CHAIN BITMAP-FILE [--block-size B]
  kqbackup restore CHAIN IMAGE
  kqbackup verify  CHAIN

full     takes the driver's changes of VOLUME over, copies DEVICE (the volume,
         or a snapshot of it) into the new chain directory CHAIN
incr     takes the changes over into BITMAP-FILE, writes the chain's next
         increment with exactly the blocks marked changed, then deletes
         BITMAP-FILE; after a failure the file stays and the next incr carries it
restore  writes the full backup and every increment, in order, to the new
         file IMAGE; stops at a torn or missing increment
verify   reads every increment of CHAIN and checks it whole

--block-size B  bytes per bit of the driver's bitmap (default 4096)

full and incr need the block-filter driver (the stand-in's simulated driver
lives inside one process: see restore-check for a job run against it).
Exit status: 0 done, 1 failed, 2 bad arguments.
)";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

int Backup(bool full, const std::vector<std::string>& args) {
  kqjob::Job job{args[1], args[2], args[3], 4096};
  if (args.size() == 6 && args[4] == "--block-size") {
    job.blockSize = static_cast<uint32_t>(std::strtoul(args[5].c_str(), nullptr, 10));
  } else if (args.size() != 4) {
    return Usage();
  }
  if (job.blockSize == 0) return Usage();
  KQBitMapOps ops(args[0], nullptr);
  const kqjob::Result r = full ? kqjob::FullBackup(ops, job) : kqjob::IncrementalBackup(ops, job);
  if (r.stage != kqjob::Result::kDone) {
    std::fprintf(stderr, "kqbackup: %s: %s\n", kqjob::StageName(r.stage), r.error.c_str());
    return 1;
  }
  if (full) {
    std::printf("full backup: %llu blocks\n", static_cast<unsigned long long>(r.blocks));
  } else {
    std::printf("increment %llu: %llu blocks\n", static_cast<unsigned long long>(r.sequence),
                static_cast<unsigned long long>(r.blocks));
  }
  return 0;
}

int Verify(const std::string& chain) {
  std::vector<uint64_t> sequences;
  std::string error;
  if (!kqchain::ListIncrements(chain, &sequences, &error)) {
    std::fprintf(stderr, "kqbackup: %s\n", error.c_str());
    return 1;
  }
  int bad = 0;
  for (uint64_t seq : sequences) {
    kqchain::IncrementInfo info;
    if (kqchain::ReadIncrement(kqchain::IncrementPath(chain, seq), &info, &error)) {
      std::printf("increment %llu: %zu blocks\n", static_cast<unsigned long long>(seq),
                  info.blocks.size());
    } else {
      std::printf("increment %llu: %s\n", static_cast<unsigned long long>(seq), error.c_str());
      ++bad;
    }
  }
  return bad > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
    return argc < 2 ? Usage() : (std::fputs(kUsage, stdout), 0);
  }
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if ((command == "full" || command == "incr") && args.size() >= 4) {
    return Backup(command == "full", args);
  }
  if (command == "restore" && args.size() == 2) {
    std::string error;
    const bool ok = kqchain::Restore(
        args[0], args[1], [](const std::string& line) { std::printf("%s\n", line.c_str()); },
        &error);
    if (!ok) std::fprintf(stderr, "kqbackup: restore: %s\n", error.c_str());
    return ok ? 0 : 1;
  }
  if (command == "verify" && args.size() == 1) return Verify(args[0]);
  return Usage();
}
