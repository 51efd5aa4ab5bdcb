// The cost of the results file on the simulated platform: a command file of
// N lines run with and without it, and a clone line in which every one of N
// files fails. Counters: lines (or failures) per second, write calls per
// record, platform calls the file adds per record over the same run without
// it (the floor is one write per record, plus the create, the head and the
// close once per run), and how far the heap grew during the run.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/heap_counter.h"
#include "platform/probe.h"
#include "sim/sim.h"
#include "support/fresh_process.h"

int wmain(int argc, WCHAR** argv);

namespace {

std::u16string Number(long long n) { return sim::W(std::to_string(n)); }

// A host command file holding text as UTF-16LE; removed by the caller.
std::string WriteCommands(const std::u16string& text) {
  char name[] = "/tmp/linkbatch-bench-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) abort();
  std::string bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) abort();
  close(fd);
  return name;
}

void Fresh() {
  support::FreshProcess();
  sim::SetCallLogEnabled(false);
  sim::MakeDirs(u"C:\\out");
}

struct Run {
  size_t calls;
  size_t writes;
  size_t heapGrowth;  // the run's peak heap above what was held when it began
};

void Prepare(void (*setup)(long long), long long n) {
  Fresh();
  setup(n);
  sim::ClearCalls();
}

// Runs the command file, with a results file when asked.
Run Execute(const std::string& commands, bool results) {
  std::vector<std::u16string> args = {u"linkbatch.exe", sim::W(commands)};
  if (results) {
    args.push_back(u"C:\\out\\results.txt");
    // On the host, so that the records the volume would keep in memory do
    // not count as the run's heap.
    sim::RouteToHost(args.back(), "/dev/null");
  }
  const size_t before = bench::HeapLive();
  bench::ResetHeapPeak();
  sim::RunEntryPoint(wmain, args);
  return Run{sim::TotalCalls(), sim::CallCount("WriteFile"), bench::HeapPeak() - before};
}

void NoSetup(long long) {}

void MakeFailingSource(long long files) {
  for (long long i = 0; i < files; ++i) sim::MakeFile(u"C:\\src\\f" + Number(i));
}

// Directories of 100 files each, so that no listing holds more than a
// hundred names; without the privilege every file's link fails with 1314.
void MakeFailingFolders(long long files) {
  for (long long i = 0; i < files; ++i) {
    sim::MakeFile(u"C:\\src\\d" + Number(i / 100) + u"\\f" + Number(i % 100));
  }
  sim::MakeDirs(u"C:\\dst");
  sim::SetTokenPrivileges({});
}

// records: what one run reports (lines, or a clone's failures).
void Measure(benchmark::State& state, const std::u16string& text, void (*setup)(long long),
             long long records, bool results) {
  const long long n = state.range(0);
  const std::string commands = WriteCommands(text);
  Run plain{0, 0, 0};
  if (results) {
    // The same run without the file, for the calls the file adds.
    Prepare(setup, n);
    plain = Execute(commands, false);
  }
  Run last{0, 0, 0};
  long long runs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Prepare(setup, n);
    state.ResumeTiming();
    last = Execute(commands, results);
    ++runs;
  }
  unlink(commands.c_str());
  state.counters["records_per_second"] = benchmark::Counter(
      static_cast<double>(records) * static_cast<double>(runs), benchmark::Counter::kIsRate);
  state.counters["writes_per_record"] = static_cast<double>(last.writes) / static_cast<double>(records);
  state.counters["heap_growth_kib"] = static_cast<double>(last.heapGrowth) / 1024.0;
  if (results) {
    state.counters["added_calls_per_record"] =
        (static_cast<double>(last.calls) - static_cast<double>(plain.calls)) / static_cast<double>(records);
  }
}

std::u16string Lines(long long n) {
  std::u16string text;
  for (long long i = 0; i < n; ++i) text += u" k \"C:\\none" + Number(i) + u"\" \"x\"\r\n";
  return text;
}

void LinesPlain(benchmark::State& state) { Measure(state, Lines(state.range(0)), NoSetup, state.range(0), false); }
void LinesWithResults(benchmark::State& state) {
  Measure(state, Lines(state.range(0)), NoSetup, state.range(0), true);
}
void CloneFailures(benchmark::State& state) {
  Measure(state, u" c \"C:\\nodst\" \"C:\\src\"\r\n", MakeFailingSource, state.range(0) + 1, true);
}
void CloneFailuresInFolders(benchmark::State& state) {
  Measure(state, u" c \"C:\\dst\" \"C:\\src\"\r\n", MakeFailingFolders, state.range(0) + 1, true);
}

BENCHMARK(LinesPlain)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(LinesWithResults)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(CloneFailures)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(CloneFailuresInFolders)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
