// Placeholder until the volume model lands.
#include "sim/sim.h"
namespace sim {
void ResetFileSystem() {}
}  // namespace sim
