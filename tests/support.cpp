#include "tests/support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/probe.h"
#include "support/fresh_process.h"
#include "support/record_bytes.h"

int wmain(int argc, WCHAR** argv);

namespace lbtest {

namespace {
// The host files WriteRawFile made: each test removes its own when it ends,
// so that a run leaves the temp folder as it found it.
std::vector<std::string>& Made() {
  static std::vector<std::string> paths;
  return paths;
}
}  // namespace

// Every test is a fresh process on a fresh machine: nothing probed yet.
void SimTest::SetUp() { support::FreshProcess(); }

void SimTest::TearDown() {
  EXPECT_EQ(sim::OpenHandleCount(), 0u) << "handles left open";
  for (const std::string& path : Made()) unlink(path.c_str());
  Made().clear();
}

void CloneTestBase::SetUp() {
  SimTest::SetUp();
  ProbeCapabilities();
  sim::MakeDirs(u"C:\\dst");
}

std::vector<std::string> CloneTestBase::Records() const { return lbtest::Records(failures); }

DWORD RunWmain(const std::vector<std::u16string>& args) {
  std::vector<std::u16string> all = {u"linkbatch.exe"};
  all.insert(all.end(), args.begin(), args.end());
  return sim::RunEntryPoint(wmain, all);
}

std::u16string WriteRawFile(const std::string& bytes) {
  const char* dir = getenv("TMPDIR");
  std::string name = std::string(dir && *dir ? dir : "/tmp") + "/linkbatch-test-XXXXXX";
  int fd = mkstemp(&name[0]);
  if (fd < 0) abort();
  Made().push_back(name);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) abort();
    done += static_cast<size_t>(n);
  }
  close(fd);
  return sim::W(name);
}

std::u16string WriteCommandFile(const std::u16string& text, bool bom) {
  std::string bytes;
  if (bom) bytes += "\xFF\xFE";
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return WriteRawFile(bytes);
}

DWORD RunCommands(const std::u16string& text) { return RunWmain({WriteCommandFile(text)}); }

std::vector<std::string> Records(const FailureList& failures) {
  std::vector<std::string> out;
  for (const FailureRecord& r : failures) out.push_back(sim::U8(r.path) + "=" + std::to_string(r.errorCode));
  return out;
}

std::string LinkTarget(const std::u16string& path) {
  sim::NodeInfo n = sim::Inspect(path);
  if (!n.exists || n.reparseTag != IO_REPARSE_TAG_SYMLINK || n.reparseData.size() < 20) return "<not a link>";
  const support::Bytes& d = n.reparseData;
  size_t offset = SymbolicLinkPathBufferAt + support::At16(d, PrintNameOffsetAt);
  size_t length = support::At16(d, PrintNameLengthAt);
  std::u16string s;
  for (size_t i = 0; i + 1 < length + 1 && offset + i + 1 < d.size(); i += 2)
    s.push_back(char16_t(support::At16(d, offset + i)));
  return sim::U8(s);
}

std::vector<std::u16string> ListPattern(const char16_t* pattern, DWORD* endError) {
  std::vector<std::u16string> out;
  WIN32_FIND_DATAW d;
  HANDLE h = FindFirstFileW(pattern, &d);
  if (h == INVALID_HANDLE_VALUE) return out;
  do out.push_back(d.cFileName);
  while (FindNextFileW(h, &d));
  if (endError) *endError = GetLastError();
  FindClose(h);
  return out;
}

}  // namespace lbtest
