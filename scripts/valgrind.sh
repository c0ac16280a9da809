#!/usr/bin/env bash
# Runs the protocol tests (the SMTP and POP3 machines against the scripted server, the
# decoder, the driver) under valgrind memcheck, from the normal build in build/:
#
#   scripts/valgrind.sh                    every protocol test suite
#   scripts/valgrind.sh 'Pop3Test.*'       any other gtest filter
#
# Fails on any memcheck error (invalid reads or writes, uses of uninitialised values) and
# on memory definitely lost. Not part of CI: under valgrind the protocol tests take far
# longer than the CI budget leaves (see the note in the report of the run).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD:-$root/build}"
command -v valgrind >/dev/null || { echo "valgrind.sh: valgrind is not installed (apt-get install valgrind)"; exit 1; }
if [ ! -x "$build/tests/zem_tests" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j2 --target zem_tests
fi
if [ $# -gt 0 ]; then
    filter="$1"
else
    # The suites defined in tests/protocol/, less the two that drive 128 channels or many
    # threads against time limits (valgrind runs threads one at a time; ThreadSanitizer
    # covers them, scripts/tsan.sh).
    filter=$(grep -ho '^TEST[_FP]*( *[A-Za-z0-9_]*' "$root"/tests/protocol/*.cpp | sed 's/.*( *//' | sort -u |
        grep -v -x -e AllChannelsTest -e ThreadedChannelsTest | sed 's/$/.*/' | paste -sd: -)
fi
exec valgrind --tool=memcheck --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
    --show-leak-kinds=definite --track-origins=yes --trace-children=no --num-callers=30 \
    "$build/tests/zem_tests" --gtest_filter="$filter"
