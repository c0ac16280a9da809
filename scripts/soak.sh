#!/usr/bin/env bash
# The soak: 128 channels over 4 threads sending and retrieving against fault servers with
# random faults, RSS and descriptors sampled (tests/faults/soak.cpp). Not part of CI.
#
#   scripts/soak.sh [MINUTES] [plain|tsan|asan]     default: 5 minutes, plain build
#
# tsan and asan build into build-tsan / build-asan; the run fails on a data race,
# a memory error, growth of memory or descriptors, or a channel that does not work again.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
minutes="${1:-5}"
kind="${2:-plain}"
case $kind in
    plain) build="$root/build"; opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    # The same configurations as scripts/tsan.sh and the CI sanitizer build.
    tsan) build="$root/build-tsan"; opts=(-DZEM_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEM_BENCH=OFF -DZEM_TOOLS=OFF) ;;
    asan) build="$root/build-asan"; opts=(-DZEM_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DZEM_BENCH=OFF -DZEM_TOOLS=OFF) ;;
    *) echo "soak.sh: plain, tsan or asan"; exit 2 ;;
esac
cmake -S "$root" -B "$build" "${opts[@]}" >/dev/null
cmake --build "$build" -j2 --target zem_soak
run=("$build/tests/faults/zem_soak" "$((minutes * 60))")
if [ "$kind" = tsan ]; then
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
    if command -v setarch >/dev/null 2>&1 && setarch "$(uname -m)" -R true 2>/dev/null; then
        run=(setarch "$(uname -m)" -R "${run[@]}")
    fi
fi
# A small quarantine: with the default 256 MiB, freed memory held back by ASan would read as growth.
[ "$kind" = asan ] && export ASAN_OPTIONS="detect_leaks=1 quarantine_size_mb=8 ${ASAN_OPTIONS:-}"
exec "${run[@]}"
