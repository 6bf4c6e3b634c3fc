// An outside job: links the installed library and names a volume's bitmap file.
#include <kqbitmapops/KQBitMapOps.h>

#include <cstdio>

int main() {
  KQBitMapOps ops("/dev/sda1", nullptr);
  std::string name = ops.PrepareAbsoluteBitmapFileName("", nullptr);
  std::printf("%s\n", name.c_str());
  return name == "/etc/tessel/.sda1__YBVolBitmap" ? 0 : 1;
}
