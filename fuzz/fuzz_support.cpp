#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/probe.h"
#include "support/fresh_process.h"

int wmain(int argc, WCHAR** argv);

namespace lbfuzz {

// LB_FUZZ_CALLS=1 in the environment prints the run's platform calls with a
// broken invariant, for replaying one input by hand.
void Fail(const std::string& what) {
  fprintf(stderr, "INVARIANT BROKEN: %s\n", what.c_str());
  if (getenv("LB_FUZZ_CALLS") != nullptr) {
    for (const sim::Call& c : sim::Calls()) fprintf(stderr, "  %s\n", sim::FormatCall(c).c_str());
  }
  abort();
}

namespace {
// Backup contexts outlive sim::Reset; each run is measured against this.
int contextsAtStart = 0;
}  // namespace

void FreshProcess() {
  support::FreshProcess();
  contextsAtStart = sim::LiveBackupContexts();
}

std::u16string UpperAscii(std::u16string s) {
  for (auto& c : s) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
  }
  return s;
}

Snapshot Take(const std::u16string& root) {
  Snapshot s;
  for (auto& kv : support::Take(root)) s[UpperAscii(kv.first)] = kv.second;
  return s;
}


void CheckNoLeaks() {
  // A handle whose CloseHandle or FindClose failed stays with the system;
  // the caller has no second way to release it.
  // Likewise a context whose aborting BackupWrite failed.
  size_t failedReleases = 0;
  int failedAborts = 0;
  for (const auto& c : sim::Calls()) {
    if ((c.name == "CloseHandle" || c.name == "FindClose") && c.result == "0") ++failedReleases;
    if (c.name == "BackupWrite" && c.result == "0" && c.args.find("abort") != std::string::npos) {
      ++failedAborts;
    }
  }
  if (sim::OpenHandleCount() > failedReleases) {
    std::string kinds;
    for (const auto& k : sim::OpenHandleKinds()) kinds += k + " ";
    Fail("handles left open: " + kinds);
  }
  if (sim::LiveBackupContexts() - contextsAtStart > failedAborts) Fail("backup context left alive");
}

namespace {
char commandFile[64];  // this process's command file, removed when it exits
void RemoveCommandFile() { unlink(commandFile); }
}  // namespace

DWORD RunCommandBytes(const uint8_t* data, size_t size, const std::u16string& results) {
  if (!commandFile[0]) {
    snprintf(commandFile, sizeof commandFile, "/tmp/linkbatch-fuzz-%d.txt", static_cast<int>(getpid()));
    atexit(RemoveCommandFile);
  }
  FILE* f = fopen(commandFile, "wb");
  if (!f) Fail("cannot write the command file");
  if (size != 0 && fwrite(data, 1, size, f) != size) Fail("short write of the command file");
  fclose(f);
  std::vector<std::u16string> args = {u"linkbatch.exe", sim::W(commandFile)};
  if (!results.empty()) args.push_back(results);
  return sim::RunEntryPoint(wmain, args);
}

}  // namespace lbfuzz
