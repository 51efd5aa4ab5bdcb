// Shared pieces of the fuzz targets: a fresh simulated process per input, a
// snapshot of what a volume holds, and the checks every target makes after a
// run (no handle open, no backup context alive).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "support/volume_snapshot.h"

namespace lbfuzz {

// Stops the process with a message; libFuzzer records the input as a crash.
[[noreturn]] void Fail(const std::string& what);

// A fresh machine and a fresh process: nothing probed yet.
void FreshProcess();

// What one entry of a volume looks like from outside.
typedef support::Entry Entry;
// The shared snapshot keyed by the upper-cased absolute path, as the clone's
// records are compared with it. Reparse points are recorded, never entered.
typedef std::unordered_map<std::u16string, Entry> Snapshot;
Snapshot Take(const std::u16string& root);

// Paths whose entry differs between two snapshots.
using support::Changed;

// After every run: nothing left open (but for handles whose release call
// failed), no backup context alive.
void CheckNoLeaks();

// Runs wmain on a command file holding exactly these bytes, with a results
// file at that simulated path when one is given; returns the exit code.
DWORD RunCommandBytes(const uint8_t* data, size_t size, const std::u16string& results = u"");

// Consumes bytes of a fuzz input as numbers; past the end it gives zeros.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t U16() {
    uint16_t lo = Byte();
    return static_cast<uint16_t>(lo | (Byte() << 8));
  }
  uint32_t U32() {
    uint32_t lo = U16();
    return lo | (static_cast<uint32_t>(U16()) << 16);
  }
  size_t Left() const { return size_ - at_; }
  const uint8_t* Rest() const { return data_ + at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

std::u16string UpperAscii(std::u16string s);

}  // namespace lbfuzz
