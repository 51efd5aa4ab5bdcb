// linkbatch-sim: runs the product's own wmain on a command file against the
// simulated Windows machine, and shows what the run did to the volumes.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "options.h"
#include "platform/probe.h"
#include "setup.h"
#include "show.h"
#include "sim/sim.h"

int wmain(int argc, WCHAR** argv);

namespace {

// The exit code of a process ended from outside, as taskkill /F and
// TerminateProcess(process, 1) from Python's Popen.kill end one.
const UINT KilledExitCode = 1;

void PrintTrees(const lbsim::Options& options) {
  for (char16_t letter : lbsim::ShownVolumes(options))
    fputs(lbsim::FormatTree(letter, options.dumpReparse, options.dumpData).c_str(), stdout);
}

void ArmFaults(const lbsim::RunOption& run) {
  using Kind = lbsim::FaultOption::Kind;
  for (const auto& f : run.faults) {
    const DWORD code = static_cast<DWORD>(f.code);
    if (f.kind == Kind::Kill) {
      sim::TerminateAtCall(f.name, f.nth, KilledExitCode);
    } else if (f.kind == Kind::FailNth) {
      if (f.silent) sim::FailNthCallSilently(f.nth);
      else sim::FailNthCall(f.nth, code);
    } else if (f.silent) {
      sim::FailCallSilently(f.name, f.nth);
    } else {
      sim::FailCall(f.name, f.nth, code);
    }
  }
}

// The --kill-at of the run that came due, or null. A kill ends the process
// as its call begins, so the call counts reach it only when it fired.
const lbsim::FaultOption* KillThatFired(const lbsim::RunOption& run) {
  for (const auto& f : run.faults) {
    if (f.kind == lbsim::FaultOption::Kind::Kill &&
        sim::CallCount(f.name) >= static_cast<size_t>(f.nth))
      return &f;
  }
  return nullptr;
}

// What the process ended with: ExitProcess's code, or wmain's return value
// handed to exit() by the C runtime. A results file is written on the host,
// where the command file is read from, unless it names the simulated machine.
DWORD RunProduct(const lbsim::RunOption& run) {
  std::vector<std::u16string> args = {u"linkbatch.exe"};
  for (const auto& a : run.args) args.push_back(sim::W(a));
  if (run.args.size() >= 2 && !lbsim::IsMachinePath(run.args[1])) sim::RouteToHost(args[2], run.args[1]);
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
  // The set-up refuses what Windows refuses through the simulated calls; an
  // exception is a use the simulation does not model, and still nothing runs.
  try {
    if (!lbsim::SetUpMachine(options, stderr, &error)) {
      fprintf(stderr, "linkbatch-sim: %s\n", error.c_str());
      return 2;
    }
  } catch (const std::exception& e) {
    fprintf(stderr, "linkbatch-sim: the set-up stopped: %s\n", e.what());
    return 2;
  }

  if (options.show) {
    fputs("before:\n", stdout);
    PrintTrees(options);
  }
  DWORD code = 0;
  for (size_t i = 0; i < options.runs.size(); ++i) {
    const lbsim::RunOption& run = options.runs[i];
    if (i > 0) {
      printf("then: run %zu\n", i + 1);
      bool started = false;
      try {
        started = lbsim::StartProcess(options, &error);
      } catch (const std::exception& e) {
        error = std::string("the set-up stopped: ") + e.what();
      }
      if (!started) {
        fprintf(stderr, "linkbatch-sim: %s\n", error.c_str());
        return 2;
      }
    }
    ResetCapabilities();
    ArmFaults(run);
    fflush(stdout);
    sim::SetStdoutPassthrough(true);
    if (options.trace) sim::SetTrace(stderr);
    try {
      code = RunProduct(run);
    } catch (const std::exception& e) {
      fflush(stdout);
      fprintf(stderr, "linkbatch-sim: the run stopped with an exception: %s\n", e.what());
      return 3;
    }
    sim::SetTrace(nullptr);
    sim::SetStdoutPassthrough(false);
    std::string productOutput = sim::TakeStdout();
    if (!productOutput.empty() && productOutput.back() != '\n') fputs("\n", stdout);

    const lbsim::FaultOption* kill = KillThatFired(run);
    if (kill) {
      printf("killed at %s:%d\n", kill->name.c_str(), kill->nth);
      // The system closes what the killed process held open: its handles and
      // its C runtime streams.
      sim::CloseProcessHandles();
      sim::ResetCrtStreams();
    }
    size_t leaked = sim::OpenHandleCount();
    if (leaked) {
      std::string kinds;
      for (const auto& k : sim::OpenHandleKinds()) kinds += " " + k;
      fprintf(stderr, "linkbatch-sim: warning: the run left %zu handle(s) open:%s\n", leaked,
              kinds.c_str());
    }
    const size_t fired = static_cast<size_t>(sim::FaultsFired());
    if (fired < run.faults.size()) {
      fprintf(stderr, "linkbatch-sim: warning: %zu of the run's %zu fault(s) never came due\n",
              run.faults.size() - fired, run.faults.size());
    }
    if (options.show) {
      fputs("after:\n", stdout);
      PrintTrees(options);
    }
    printf("exit code: %lu\n", static_cast<unsigned long>(code));
  }
  fflush(stdout);
  return static_cast<int>(code % 256);
}
