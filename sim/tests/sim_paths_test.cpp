// The Win32 full-path rules the simulated GetFullPathNameW applies.
#include <gtest/gtest.h>

#include <map>

#include "sim/fullpath.h"
#include "sim/sim.h"

namespace {

struct Case {
  const char* input;
  const char* expected;
};

std::u16string Full(const std::u16string& input, const std::u16string& cwd) {
  std::u16string out = u"<untouched>";
  EXPECT_TRUE(sim::ComputeFullPath(input, cwd, &out)) << sim::U8(input);
  return out;
}

void CheckTable(const std::u16string& cwd, const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    EXPECT_EQ(sim::U8(Full(sim::W(c.input), cwd)), c.expected) << "input: " << c.input;
  }
}

// Absolute drive paths: separators converted and collapsed, the given drive
// letter case kept, "." and ".." resolved, a trailing separator kept.
TEST(FullPath, DriveAbsolute) {
  CheckTable(u"C:\\windows", {
      {"c:/test", "c:\\test"},
      {"C:\\test", "C:\\test"},
      {"c:/test/", "c:\\test\\"},
      {"c:/", "c:\\"},
      {"c:///test\\.\\.\\file//", "c:\\test\\file\\"},
      {"c:/test/..", "c:\\"},
      {"c:///test\\..\\file\\..\\//", "c:\\"},
      {"C:\\..\\..\\x", "C:\\x"},
      {"D:\\a\\b\\..\\c", "D:\\a\\c"},
  });
}

// Trailing dots and spaces go from the last component only; a component
// followed by a separator loses a single trailing dot.
TEST(FullPath, TrailingDotsAndSpaces) {
  CheckTable(u"C:\\windows", {
      {"c:/test     ", "c:\\test"},
      {"c:/test.", "c:\\test"},
      {"c:/test  ....   ..   ", "c:\\test"},
      {"c:\\test\\*.", "c:\\test\\*"},
      {"c:/test.. /file", "c:\\test.. \\file"},
      {"c:/test../file", "c:\\test.\\file"},
      {"c:/test./file", "c:\\test\\file"},
      {"c:/test/.. ", "c:\\test\\"},
      {"...", "C:\\windows\\"},
  });
}

// Relative, rooted and drive-relative input is resolved against the current
// directory of the right drive.
TEST(FullPath, RelativeForms) {
  CheckTable(u"C:\\windows", {
      {".", "C:\\windows"},
      {"..", "C:\\"},
      {"foo", "C:\\windows\\foo"},
      {"./foo", "C:\\windows\\foo"},
      {"foo/..", "C:\\windows"},
      {"foo\\..\\", "C:\\windows\\"},
      {"\\foo", "C:\\foo"},
      {"/", "C:\\"},
      {"\\??\\foo", "C:\\??\\foo"},
      {"c:foo", "C:\\windows\\foo"},
      {"c:.", "C:\\windows"},
      {"C:", "C:\\windows"},
      {"c:..\\x", "C:\\x"},
      {"D:foo", "D:\\foo"},
      {"d:foo", "D:\\foo"},
      {"D:", "D:\\"},
  });
  CheckTable(u"C:\\", {
      {"C:", "C:\\"},
      {"x\\..\\..", "C:\\"},
      {"a", "C:\\a"},
  });
}

// UNC paths: "\\server\share" is the root, ".." never leaves the share.
TEST(FullPath, Unc) {
  CheckTable(u"C:\\windows", {
      {"\\\\foo", "\\\\foo"},
      {"//foo/", "\\\\foo\\"},
      {"//", "\\\\"},
      {"\\\\server\\share", "\\\\server\\share"},
      {"\\\\server\\share\\a\\..\\..\\..\\b", "\\\\server\\share\\b"},
      {"//server/share/dir//f.", "\\\\server\\share\\dir\\f"},
      {"\\\\server\\share\\..", "\\\\server\\share\\"},
  });
  // A current directory on a share: "\x" is rooted at the share.
  EXPECT_EQ(sim::U8(Full(u"\\x", u"\\\\srv\\sh\\dir")), "\\\\srv\\sh\\x");
  EXPECT_EQ(sim::U8(Full(u"..\\..\\y", u"\\\\srv\\sh\\dir")), "\\\\srv\\sh\\y");
}

// Device namespace "\\.\" and "\\?\": the prefix is the root and is kept;
// what follows is normalised.
TEST(FullPath, DevicePrefixes) {
  CheckTable(u"C:\\windows", {
      {"//./foo/bar", "\\\\.\\foo\\bar"},
      {"//./foo/..", "\\\\.\\"},
      {"//?/foo/..", "\\\\?\\"},
      {"\\\\?\\C:\\a\\..\\b", "\\\\?\\C:\\b"},
      {"\\\\?\\C:\\long\\path\\", "\\\\?\\C:\\long\\path\\"},
      {"\\\\?\\UNC\\server\\share\\f", "\\\\?\\UNC\\server\\share\\f"},
      {"\\\\.\\C:", "\\\\.\\C:"},
  });
}

// The legacy DOS device names: the last component, cut at its first '.' or
// ':' and stripped of trailing spaces, compared without regard to case; never
// in a UNC or device path, nor with a separator after it.
TEST(FullPath, DosDeviceNames) {
  const struct {
    const char* input;
    const char* device;  // null: not a device
  } cases[] = {
      {"C:\\nonexistent\\nul", "nul"}, {"\\windows\\nul", "nul"}, {"C:NUL.", "NUL"},
      {"AUX", "AUX"}, {"COM1", "COM1"}, {"CoM4:", "CoM4"}, {"lpt9:", "lpt9"},
      {"c:\\nul::::::", "nul"}, {"c:NUL  ....  ", "NUL"}, {"c:prn:.txt:", "prn"},
      {"C:\\x\\nul.txt", "nul"}, {"CONOUT$", "CONOUT$"}, {"\\??\\CON", "CON"},
      {"\\\\foo\\nul", nullptr}, {"\\\\.\\CON", nullptr}, {"c:\\nul\\", nullptr},
      {"c:\\nul\\foo", nullptr}, {"c:nul0", nullptr}, {"c:\\lpt0.txt", nullptr},
      {"CONERR$", nullptr}, {"nulx", nullptr}, {"c:", nullptr}, {"C:\\x\\a nul", nullptr},
  };
  for (const auto& c : cases) {
    std::u16string name = u"<untouched>";
    const bool device = sim::DosDeviceName(sim::W(c.input), &name);
    EXPECT_EQ(device, c.device != nullptr) << c.input;
    if (c.device) EXPECT_EQ(sim::U8(name), c.device) << c.input;
  }
}

// An empty input fails and leaves the output alone.
TEST(FullPath, EmptyInputFails) {
  std::u16string out = u"kept";
  EXPECT_FALSE(sim::ComputeFullPath(u"", u"C:\\", &out));
  EXPECT_EQ(sim::U8(out), "kept");
}

}  // namespace
