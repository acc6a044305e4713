// Program entry of the firmware updater.
#include <cstdio>

#include "common/aVersion.h"

int main() {
  std::printf("Version: %s %s\n", aVersion_GetString(), __DATE__);
  std::fprintf(stderr, "The command line is not available in this build.\n");
  return 1;
}
