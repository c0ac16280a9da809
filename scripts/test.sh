#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks, builds ZEM32 and runs every test: the unit
# and protocol tests, the integration suite against real Postfix and Dovecot on loopback,
# the manual pages, the Debian packages, the README's build commands in a clean clone, and
# the unit and protocol tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   scripts/test.sh            everything
#   scripts/test.sh --quick    one build, unit and protocol tests only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

need=()
for pkg in build-essential cmake g++ libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev python3 pkg-config binutils \
           libssl-dev openssl mpack s-nail clang-14 libclang-rt-14-dev mandoc dpkg-dev git man-db; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then echo "missing packages: ${need[*]} (run as root to install them)"; exit 1; fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi

quick=0
[ "${1:-}" = "--quick" ] && quick=1

cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$jobs"
if [ $quick -eq 1 ]; then
  ctest --test-dir "$root/build" -L 'unit|docs' --output-on-failure -j"$jobs"
  exit 0
fi
ctest --test-dir "$root/build" -L unit --output-on-failure -j"$jobs"
# Fault injection: every case is its own process, bounded by its own time-out.
ctest --test-dir "$root/build" -L faults --output-on-failure -j"$jobs"
# Each fuzz target for half a minute; a crash prints its reproducer and fails the run.
CXX=clang++-14 "$root/scripts/fuzz.sh" 30
# The integration suite starts real servers on fixed loopback ports: run it serially.
ctest --test-dir "$root/build" -L integration --output-on-failure
# Every export has its manual page and every page is clean; the Debian packages build,
# install, serve the examples and go again; the README's build commands work in a clean
# clone with and without the optional packages.
ctest --test-dir "$root/build" -L 'docs|package' --output-on-failure
if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
  tests/fresh/test_fresh_clone.sh "$root" both
fi

cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DZEM_SANITIZE=ON -DZEM_BENCH=OFF -DZEM_TOOLS=OFF >/dev/null
cmake --build "$root/build-asan" -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$root/build-asan" -L unit --output-on-failure -j"$jobs"
echo "all tests passed"
