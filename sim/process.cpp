// Placeholder until the process model lands.
#include "sim/sim.h"
namespace sim {
void ResetProcess() {}
}  // namespace sim
