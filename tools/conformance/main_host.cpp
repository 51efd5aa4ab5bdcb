// Host entry of the conformance probe: runs against a fresh simulated
// machine (volume C:, current directory C:\) and prints to real stdout.
#include <cstdio>

#include "sim/sim.h"
#include "tools/conformance/conformance.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: conformance <scratch directory to create, e.g. C:\\scratch>\n");
    return 2;
  }
  sim::Reset();
  sim::SetStdoutPassthrough(true);
  std::u16string root = sim::W(argv[1]);
  int rc = RunConformance(root.c_str());
  fflush(stdout);
  return rc;
}
