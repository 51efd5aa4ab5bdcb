// Tree clone throughput on the simulated platform: files per second, platform
// calls per file, and heap allocations per file.
//
// The platform-call floor of a clone: per file one listing step and one link;
// per directory one create (not for the root), one listing start, the steps
// for "." and ".." and the end of the listing, the look at why the listing
// ended (its end, or an error that must be recorded), one close, and the
// clearing of the ERROR_NO_MORE_FILES the end leaves (so that an enclosing
// listing that fails without an error is not taken for its end); plus the two
// roots made absolute and one clearing of the last error before the walk. A
// volume root lists no "." and "..", so its own level costs two calls fewer.
// "calls_over_floor" is what the clone spends above it.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/heap_counter.h"
#include "clone/clone.h"
#include "platform/probe.h"
#include "sim/sim.h"
#include "support/fresh_process.h"

namespace {

std::u16string Number(long long n) { return sim::W(std::to_string(n)); }

struct Tree {
  long long files = 0;
  long long directories = 0;  // below the root
};

// All files in the source root.
Tree MakeFlat(long long files) {
  for (long long i = 0; i < files; ++i) sim::MakeFile(u"C:\\src\\file" + Number(i));
  sim::MakeDirs(u"C:\\src");
  return Tree{files, 0};
}

// All files in the root of drive D:, cloned into the root of drive E:.
Tree MakeDriveRoot(long long files) {
  sim::AddVolume(u'D');
  sim::AddVolume(u'E');
  for (long long i = 0; i < files; ++i) sim::MakeFile(u"D:\\file" + Number(i));
  return Tree{files, 0};
}

// A binary tree of directories 8 levels deep (254 below the root); the files
// are dealt out over its 128 deepest directories.
Tree MakeNested(long long files) {
  const int depth = 8;
  std::vector<std::u16string> level = {u"C:\\src"};
  Tree tree;
  for (int d = 1; d < depth; ++d) {
    std::vector<std::u16string> next;
    for (const auto& parent : level) {
      for (char16_t c : {u'l', u'r'}) {
        next.push_back(parent + u"\\" + std::u16string(1, c));
        sim::MakeDirs(next.back());
        ++tree.directories;
      }
    }
    level.swap(next);
  }
  for (long long i = 0; i < files; ++i)
    sim::MakeFile(level[static_cast<size_t>(i) % level.size()] + u"\\file" + Number(i));
  tree.files = files;
  return tree;
}

void Prepare() {
  support::FreshProcess();
  ProbeCapabilities();
  sim::SetCallLogEnabled(false);
}

enum Shape { FlatShape, NestedShape, DriveRootShape };

void CloneBench(benchmark::State& state, Shape shape) {
  const long long files = state.range(0);
  Prepare();
  Tree tree = shape == NestedShape      ? MakeNested(files)
              : shape == DriveRootShape ? MakeDriveRoot(files)
                                        : MakeFlat(files);
  // A volume root lists no "." and "..": its walk has two steps fewer.
  const long long rootCalls = shape == DriveRootShape ? 4 : 6;
  const long long floor = 2 + 1 + rootCalls + 2 * tree.files + 8 * tree.directories;

  long long run = 0;
  long long calls = 0;
  long long allocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // The drive root is cloned into the root of E:, emptied between runs by
    // giving it a fresh volume.
    std::u16string dest = u"C:\\dst" + Number(run++);
    const char16_t* source = u"C:\\src";
    if (shape == DriveRootShape) {
      sim::AddVolume(static_cast<char16_t>(u'E' + run));
      dest = std::u16string(1, static_cast<char16_t>(u'E' + run)) + u":\\";
      source = u"D:\\";
    } else {
      sim::MakeDirs(dest);
    }
    sim::ClearCalls();
    long long heapBefore = bench::HeapAllocations();
    state.ResumeTiming();

    DWORD counter = 0;
    FailureList failures;
    DWORD result = CloneTree(source, dest.c_str(), counter, 1, LinkKindSymbolic, 1, failures, nullptr);

    state.PauseTiming();
    allocations += bench::HeapAllocations() - heapBefore;
    calls += static_cast<long long>(sim::TotalCalls());
    if (result != 0 || counter != tree.files) state.SkipWithError("the clone failed");
    state.ResumeTiming();
  }
  const double perRun = static_cast<double>(run);
  state.counters["files_per_second"] =
      benchmark::Counter(static_cast<double>(tree.files) * perRun, benchmark::Counter::kIsRate);
  state.counters["calls_per_file"] = static_cast<double>(calls) / perRun / static_cast<double>(tree.files);
  state.counters["calls_over_floor"] = static_cast<double>(calls) / perRun - static_cast<double>(floor);
  state.counters["allocs_per_file"] = static_cast<double>(allocations) / perRun / static_cast<double>(tree.files);
}

void Flat(benchmark::State& state) { CloneBench(state, FlatShape); }
void Nested8(benchmark::State& state) { CloneBench(state, NestedShape); }
void DriveRoot(benchmark::State& state) { CloneBench(state, DriveRootShape); }

BENCHMARK(Flat)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(Nested8)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(DriveRoot)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
