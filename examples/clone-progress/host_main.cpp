// Host entry of clone-progress: there is no disk, so the example runs against
// the simulated machine. --demo-tree builds a small tree on the simulated C:
// and appends its source and destination to the arguments:
//
//   C:\demo\src\a.txt, b.txt, sub\c.txt, sub\deeper\d.txt
//   C:\demo\dst\b.txt already exists, so linking b.txt fails with 183
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "examples/clone-progress/clone_progress.h"
#include "sim/sim.h"

namespace {

void BuildDemoTree() {
  sim::MakeFile(u"C:\\demo\\src\\a.txt");
  sim::MakeFile(u"C:\\demo\\src\\b.txt");
  sim::MakeFile(u"C:\\demo\\src\\sub\\c.txt");
  sim::MakeFile(u"C:\\demo\\src\\sub\\deeper\\d.txt");
  sim::MakeFile(u"C:\\demo\\dst\\b.txt");
}

}  // namespace

int main(int argc, char** argv) {
  sim::Reset();
  std::vector<std::u16string> args = {u"clone-progress"};
  bool demo = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--demo-tree") == 0) {
      demo = true;
    } else {
      args.push_back(sim::W(argv[i]));
    }
  }
  if (demo) {
    BuildDemoTree();
    args.push_back(u"C:\\demo\\src");
    args.push_back(u"C:\\demo\\dst");
  }
  sim::SetStdoutPassthrough(true);
  int code = static_cast<int>(sim::RunEntryPoint(CloneProgressMain, args));
  sim::SetStdoutPassthrough(false);
  sim::TakeStdout();

  // A handle left open is a fault of the example's clean-up, not of the run.
  if (sim::OpenHandleCount() != 0) {
    std::string kinds;
    for (const auto& k : sim::OpenHandleKinds()) kinds += " " + k;
    std::fprintf(stderr, "clone-progress: %zu handle(s) left open:%s\n", sim::OpenHandleCount(),
                 kinds.c_str());
    return 3;
  }
  return code;
}
