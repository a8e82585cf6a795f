// Opens an image file and prints its size.
#include <cstdio>

#include "zqorall.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  try {
    TImageEnsemble e(argv[1]);
    std::printf("%d x %d\n", e.sizeX(), e.sizeY());
    return 0;
  } catch (const x_qor& x) {
    std::fprintf(stderr, "%s\n", x.msg());
    return 1;
  }
}
