#include "support/fresh_process.h"

#include "platform/probe.h"
#include "sim/sim.h"

namespace support {

void FreshProcess() {
  sim::Reset();
  ResetCapabilities();
}

}  // namespace support
