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

namespace lbfuzz {

// Stops the process with a message; libFuzzer records the input as a crash.
[[noreturn]] void Fail(const std::string& what);

// A fresh machine and a fresh process: nothing probed yet.
void FreshProcess();

// What one entry of a volume looks like from outside.
struct Entry {
  bool isDirectory = false;
  DWORD attributes = 0;
  DWORD reparseTag = 0;
  std::vector<uint8_t> reparseData;
  uint64_t fileId = 0;
  uint32_t linkCount = 0;
  bool operator==(const Entry& o) const {
    return isDirectory == o.isDirectory && attributes == o.attributes &&
           reparseTag == o.reparseTag && reparseData == o.reparseData && fileId == o.fileId &&
           linkCount == o.linkCount;
  }
  bool operator!=(const Entry& o) const { return !(*this == o); }
};
// Upper-cased absolute path -> entry. Reparse points are recorded, never
// entered, so a cycle cannot make the walk endless.
typedef std::unordered_map<std::u16string, Entry> Snapshot;
Snapshot Take(const std::u16string& root);

// Paths whose entry differs between the two snapshots (added, removed or
// changed).
std::vector<std::u16string> Changed(const Snapshot& before, const Snapshot& after);

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
