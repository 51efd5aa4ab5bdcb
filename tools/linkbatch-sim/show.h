// Listing of simulated volumes: one line per entry, reparse points described
// from their raw data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lbsim {

struct ReparseView {
  std::string kind;       // junction, mount, symlink-dir, symlink-file or reparse:0xTTTTTTTT
  bool hasTarget = false;
  std::u16string target;  // the print name; the substitute name for a mount point
};

// Reads reparse data as the volume stores it. The data may be hostile: any
// name that does not lie wholly inside the data makes the entry an
// unrecognised reparse point of its tag.
ReparseView DescribeReparse(const std::vector<uint8_t>& data, bool isDirectory);

// UTF-8 for one line of output: control characters and lone surrogates
// become '?', so a name can neither break the line layout nor the encoding.
std::string Printable(const std::u16string& s);

// "  aa bb cc ..." for the raw data.
std::string HexLine(const std::vector<uint8_t>& data);

// The tree under a drive root ("C:\"), depth first in enumeration order;
// reparse points are listed but never entered. dumpReparse adds a hex line
// under each reparse point, dumpData one under each file that holds data.
std::string FormatTree(char16_t letter, bool dumpReparse, bool dumpData = false);

}  // namespace lbsim
