// linkbatch-sim: runs the product's own wmain on a command file against the
// simulated Windows machine, and shows what the run did to the volumes.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "options.h"
#include "setup.h"
#include "show.h"
#include "sim/sim.h"

int wmain(int argc, WCHAR** argv);

namespace {

void PrintTrees(const lbsim::Options& options) {
  for (char16_t letter : lbsim::ShownVolumes(options))
    fputs(lbsim::FormatTree(letter, options.dumpReparse).c_str(), stdout);
}

// What the process ended with: ExitProcess's code, or wmain's return value
// handed to exit() by the C runtime. A results file is written on the host,
// where the command file is read from.
DWORD RunProduct(const lbsim::Options& options) {
  std::vector<std::u16string> args = {u"linkbatch.exe", sim::W(options.commandFile)};
  if (!options.resultsFile.empty()) {
    args.push_back(sim::W(options.resultsFile));
    sim::RouteToHost(args.back(), options.resultsFile);
  }
  return sim::RunEntryPoint(wmain, args);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  lbsim::Options options;
  std::string error;
  if (!lbsim::ParseOptions(args, &options, &error)) {
    fprintf(stderr, "linkbatch-sim: %s\n%s", error.c_str(), lbsim::UsageText());
    return 2;
  }
  if (options.help) {
    fputs(lbsim::UsageText(), stdout);
    return 0;
  }
  if (!lbsim::SetUpMachine(options, stderr, &error)) {
    fprintf(stderr, "linkbatch-sim: %s\n", error.c_str());
    return 2;
  }

  if (options.show) {
    fputs("before:\n", stdout);
    PrintTrees(options);
  }
  fflush(stdout);
  sim::SetStdoutPassthrough(true);
  if (options.trace) sim::SetTrace(stderr);
  DWORD code;
  try {
    code = RunProduct(options);
  } catch (const std::exception& e) {
    fflush(stdout);
    fprintf(stderr, "linkbatch-sim: the run stopped with an exception: %s\n", e.what());
    return 3;
  }
  sim::SetTrace(nullptr);
  sim::SetStdoutPassthrough(false);
  std::string productOutput = sim::TakeStdout();
  if (!productOutput.empty() && productOutput.back() != '\n') fputs("\n", stdout);

  size_t leaked = sim::OpenHandleCount();
  if (leaked) {
    std::string kinds;
    for (const auto& k : sim::OpenHandleKinds()) kinds += " " + k;
    fprintf(stderr, "linkbatch-sim: warning: the run left %zu handle(s) open:%s\n", leaked,
            kinds.c_str());
  }
  if (options.show) {
    fputs("after:\n", stdout);
    PrintTrees(options);
  }
  printf("exit code: %lu\n", static_cast<unsigned long>(code));
  fflush(stdout);
  return static_cast<int>(code % 256);
}
