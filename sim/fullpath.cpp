// Placeholder until the path rules land.
#include "sim/fullpath.h"
namespace sim {
bool ComputeFullPath(const std::u16string& input, const std::u16string&,
                     const std::function<std::u16string(char16_t)>&, std::u16string* out) {
  if (input.empty()) return false;
  *out = input;
  return true;
}
}  // namespace sim
