#!/bin/sh
# Builds the MIME decoder fuzz target with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs it.
#
#   fuzz/build.sh              build, then fuzz for 600 seconds
#   fuzz/build.sh 60           build, then fuzz for 60 seconds
#   fuzz/build.sh 0            build only
#   BUILD=/path fuzz/build.sh  build directory (default: <repo>/build-fuzz)
#
# The run starts from the seeds in fuzz/corpus/ and keeps what it finds in
# fuzz/corpus-work/ (not part of the tree); a crash is written to the build directory.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
BUILD=${BUILD:-$ROOT/build-fuzz}
SECONDS_TO_RUN=${1:-600}
CXX=${CXX:-clang++}
FLAGS="-std=c++17 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined"

mkdir -p "$BUILD/obj"
objs=""
for src in $(find "$ROOT/src" -name '*.cpp' | sort); do
    obj="$BUILD/obj/$(echo "${src#$ROOT/src/}" | tr '/' '_').o"
    if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$(find "$ROOT/src" -name '*.h' -newer "$obj" | head -1)" ]; then
        # The library objects get the sanitizers and the coverage hooks, not libFuzzer's main.
        $CXX -std=c++17 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined \
            -fno-sanitize-recover=undefined -Wall -Wextra -Wno-missing-field-initializers \
            -DZEM_BUILDING -I"$ROOT/include" -I"$ROOT/src" -c "$src" -o "$obj"
    fi
    objs="$objs $obj"
done
$CXX $FLAGS -Wall -Wextra -I"$ROOT/include" -I"$ROOT/src" "$HERE/mime_fuzz.cpp" $objs -lpthread -o "$BUILD/mime_fuzz"
echo "built $BUILD/mime_fuzz"

[ "$SECONDS_TO_RUN" -gt 0 ] || exit 0
mkdir -p "$HERE/corpus-work"
cd "$BUILD"
exec "$BUILD/mime_fuzz" -max_total_time="$SECONDS_TO_RUN" -max_len=8192 -timeout=10 \
    -print_final_stats=1 "$HERE/corpus-work" "$HERE/corpus"
