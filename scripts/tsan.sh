#!/usr/bin/env bash
# Builds the library and its tests with ThreadSanitizer into build-tsan and runs the tests
# that drive channels from several threads at once (and all 128 channels from one thread,
# which shares the library lock with the scripted server's threads).
#
#   scripts/tsan.sh                 # the threaded tests
#   scripts/tsan.sh 'DriverTest.*'  # any other gtest filter
#
# The run fails on the first data race (halt_on_error) and on any report at exit.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${root}/build-tsan"
filter="${1:-ThreadedChannelsTest.*:AllChannelsTest.*}"

cmake -S "$root" -B "$build" -DZEM_TSAN=ON -DZEM_BENCH=OFF -DZEM_TOOLS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target zem_tests

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
run=("$build/tests/zem_tests" "--gtest_filter=${filter}")
# Kernels with high mmap randomisation make ThreadSanitizer abort at start; run without
# address randomisation when setarch can do that.
if command -v setarch >/dev/null 2>&1 && setarch "$(uname -m)" -R true 2>/dev/null; then
    run=(setarch "$(uname -m)" -R "${run[@]}")
fi
"${run[@]}"
