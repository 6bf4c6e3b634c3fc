// Smallest use of the library: an object for a volume and its bitmap file name.
#include <kqbitmapops/KQBitMapOps.h>

#include <cstdio>

int main(int argc, char** argv) {
  KQBitMapOps ops(argc > 1 ? argv[1] : "/dev/sda1", nullptr);
  std::printf("%s\n", ops.PrepareAbsoluteBitmapFileName("", nullptr).c_str());
  return 0;
}
