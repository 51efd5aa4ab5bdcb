# One-command set-up, build and test on Debian 12 (run as root, or with sudo).
#   make demo   install what is missing, build everything, run the demo
#   make test   install what is missing, build everything, run every test
#   make check  the daily loop: host build and unit tests only (no installation)
#   make build  build every preset (no package installation)
#   make dist   build/dist/linkbatch-<version>.zip and SHA256SUMS from the two executables
#   make clean  remove build/

SHELL := /bin/bash
.ONESHELL:
.SHELLFLAGS := -euo pipefail -c

HOST_PRESETS := host host-asan host-tsan
WIN_PRESETS  := mingw-x64 mingw-x86
JOBS         ?= 2
FUZZ_DIR     := build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_LONG    ?= 3600

# Debian packages the builds and tests need. The -win32 compiler variants
# use native Windows threads, so no winpthread DLL is ever needed. wine32
# comes from the i386 architecture, which deps adds to dpkg first; it runs
# the 32-bit executable under Wine.
FOREIGN_ARCHES := i386
PACKAGES := cmake ninja-build make g++ clang libgtest-dev libgmock-dev \
            libbenchmark-dev mingw-w64 g++-mingw-w64-x86-64-win32 \
            g++-mingw-w64-i686-win32 binutils-mingw-w64-x86-64 \
            binutils-mingw-w64-i686 wine wine64 wine32:i386 python3 python3-pefile zip \
            clang-tidy cppcheck lcov libclang-rt-14-dev ntfs-3g qemu-user

export WINEDEBUG := -all
export WINEPREFIX := $(CURDIR)/build/wine-prefix
# Where qemu runs Wine's 32-bit loader (tests/wine/enable_i386.sh), the
# address space it reserves sets Wine's start-up time.
export QEMU_RESERVED_VA := 0x81000000
export DEBIAN_FRONTEND := noninteractive

# CI runs with CI set: there every compiler warning is an error.
CMAKE_FLAGS := $(if $(CI),-DLINKBATCH_WERROR=ON,)

.PHONY: all deps build check demo test fuzz-build fuzz lint coverage dist clean

all: build

deps:
	@missing=()
	for p in $(PACKAGES); do
	  dpkg-query -W -f='$${Status}' "$$p" 2>/dev/null | grep -q '^install ok installed$$' || missing+=("$$p")
	done
	sudo=""; if [ "$$(id -u)" -ne 0 ]; then sudo=sudo; fi
	if [ $${#missing[@]} -ne 0 ]; then
	  echo "Installing: $${missing[*]}"
	  for a in $(FOREIGN_ARCHES); do
	    dpkg --print-foreign-architectures | grep -qx "$$a" || $$sudo dpkg --add-architecture "$$a"
	  done
	  # A mirror caught mid-sync fails one index; a later try usually gets
	  # it, and an install that still lacks an index says which package.
	  for try in 1 2 3 4; do
	    $$sudo apt-get update && break
	    echo "apt-get update failed (try $$try of 4)"; sleep $$((try * 20))
	  done
	  if ! $$sudo apt-get install -y "$${missing[@]}" </dev/null; then
	    # A foreign architecture's index is the one a mirror most often
	    # serves half-synced. Without it only the x86 executable's Wine runs
	    # are lost, and those tests report themselves skipped.
	    rest=()
	    for p in "$${missing[@]}"; do [[ "$$p" == *:i386 ]] || rest+=("$$p"); done
	    [ $${#rest[@]} -lt $${#missing[@]} ] || exit 1
	    echo "WARNING: the i386 packages cannot be installed now; the x86 executable will not run under Wine, and its tests will be skipped"
	    $$sudo apt-get install -y "$${rest[@]}" </dev/null
	  fi
	fi
	# A kernel without IA-32 emulation runs the 32-bit Wine loader only
	# through qemu; the registration does not survive a reboot.
	$$sudo tests/wine/enable_i386.sh

build:
	for p in $(HOST_PRESETS) $(WIN_PRESETS); do
	  cmake --preset "$$p" $(CMAKE_FLAGS) >/dev/null
	  cmake --build --preset "$$p" -j $(JOBS)
	done

# The host build and its unit tests (the product's and the simulation's),
# without Wine, ntfs-3g, the release checks, sanitizers or fuzzing.
check:
	cmake --preset host $(CMAKE_FLAGS) >/dev/null
	cmake --build --preset host -j $(JOBS)
	ctest --preset host -j $(JOBS) -L 'unit|sim' --output-on-failure

demo: deps build
	@if [ -x build/host/tools/linkbatch-sim/linkbatch-sim ]; then
	  # D: and the two empty directories are the mount lines' targets.
	  build/host/tools/linkbatch-sim/linkbatch-sim --volume C:=examples/tree --volume D: \
	    --mkdir 'C:\mnt\d' --mkdir 'C:\mnt\spare' --show examples/demo.cmd
	else
	  echo "(the simulator tool is not built yet: build/host/tools/linkbatch-sim/linkbatch-sim)"
	fi
	echo
	echo "Windows executables:"
	for p in $(WIN_PRESETS); do ls -l "$(CURDIR)/build/$$p/linkbatch.exe"; done

# The Windows trees check their images; the x64 image is built twice more,
# in two other folders, and must come out byte for byte the same; the
# coverage report is made so that its command keeps working; the sanitizer
# trees run the unit tests; the plain host tree runs them too, together with
# the Windows executables under Wine, and ends the run with its summary line.
test: deps build fuzz-build
	ctest --preset mingw-x64
	ctest --preset mingw-x86
	JOBS=$(JOBS) tools/check_reproducible.sh build/reproducible
	tools/lint/run.sh build/lint
	JOBS=$(JOBS) tools/coverage.sh build/coverage
	ctest --preset host-asan
	ctest --preset host-tsan
	ctest --test-dir $(FUZZ_DIR) -L fuzz -j 2 --output-on-failure
	ctest --preset host

# The libFuzzer targets (clang, ASan + UBSan). make test replays each seed
# corpus and runs each target for FUZZ_SECONDS; make fuzz runs them for
# FUZZ_LONG seconds, two at a time, keeping new inputs in build/fuzz/long-*.
fuzz-build:
	cmake -S fuzz -B $(FUZZ_DIR) -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DLB_FUZZ_SECONDS=$(FUZZ_SECONDS) >/dev/null
	cmake --build $(FUZZ_DIR) -j $(JOBS)

fuzz: deps fuzz-build
	run() {
	  mkdir -p $(FUZZ_DIR)/long-$$1
	  $(FUZZ_DIR)/fuzz_$$1 -max_total_time=$(FUZZ_LONG) -timeout=30 -rss_limit_mb=3000 \
	    -detect_leaks=0 -print_final_stats=1 -artifact_prefix=$(FUZZ_DIR)/long-$$1- \
	    $(FUZZ_DIR)/long-$$1 fuzz/corpus/$$1 >$(FUZZ_DIR)/long-$$1.log 2>&1
	}
	run runner & a=$$!
	run reparse & b=$$!
	wait $$a; wait $$b
	run clone
	tail -n 6 $(FUZZ_DIR)/long-*.log

# clang-tidy (bugprone, cert, clang-analyzer) and cppcheck over the product
# code; fails on any finding not in tools/lint's suppression lists.
lint: deps
	tools/lint/run.sh build/lint

# gcov/lcov line and branch coverage of the product code on a host build.
coverage: deps
	JOBS=$(JOBS) tools/coverage.sh build/coverage

dist: deps build
	tools/make_dist.sh

clean:
	rm -rf build
