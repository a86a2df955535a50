#include <cstdio>

#include "frontends.h"

int RunEthernetFrontEnd(int, char**) {
  std::printf("talo-sim: ethernet front end not built yet\n");
  return 2;
}
