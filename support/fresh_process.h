// A fresh simulated process on a fresh machine, for every host that runs
// the product's code more than once in one process: tests, fuzz targets,
// the benchmark and the dry-run tool.
#pragma once

namespace support {

// One empty volume C:, nothing probed, no call logged, no fault armed.
void FreshProcess();

}  // namespace support
