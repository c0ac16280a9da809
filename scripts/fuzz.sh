#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ (clang, AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each for the given number of seconds, one after the other:
#
#   scripts/fuzz.sh 30            build, then 30 seconds per target (what CI runs)
#   scripts/fuzz.sh 900 smtp      one target for 15 minutes
#   scripts/fuzz.sh 0             build only
#   BUILD=/path scripts/fuzz.sh   build directory (default: <repo>/build-fuzz)
#
# Targets: codec (codec and text exports against a reference coder), smtp (the SMTP machine
# against a hostile server), pop3 (the POP3 machine and the decoder against a hostile
# server), mime (the MIME decoder fed lines), starttls (STARTTLS, STLS and implicit TLS
# against a hostile server that runs real TLS handshakes, or answers with raw bytes; it
# makes its test certificates at start-up), names (attachment names and the files around
# them: a pre-filled attachment directory of any name length, clashing long names in every
# header form; nothing but new files may appear, nothing old may change), imap_parser (the
# IMAP response tokenizer fed in random chunks must give the tokens it gives fed whole,
# with literals taken as strings or skipped; mailbox names through modified UTF-7 and back;
# command arguments written and read back), imap (the IMAP client against a hostile server
# that answers every command from the input: greeting, untagged data anywhere, literals
# huge or broken, continuations, BYE, deep parentheses, all in random TCP writes; LIST,
# SELECT, SEARCH, FETCH into files and buffers, STORE, COPY/MOVE, EXPUNGE, APPEND and the
# mailbox commands, blocking or driven; buffers, files, descriptors and the heap checked
# after each input). Each starts from its seed corpus in the tree
# (fuzz/corpus-NAME, fuzz/corpus for mime) and keeps what it finds in BUILD/work-NAME. A
# crash, a leak or a hang (10 s for one input) fails the run; the reproducer is printed in
# base64 and as a hex dump, and kept as BUILD/crash-NAME-*.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD:-$root/build-fuzz}"
seconds="${1:-60}"
only="${2:-}"
cxx="${CXX:-clang++}"
if ! command -v "$cxx" >/dev/null 2>&1; then
    if command -v clang++-14 >/dev/null 2>&1; then cxx=clang++-14; else echo "fuzz.sh: clang++ not found"; exit 1; fi
fi
san="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
common="-std=c++17 -g -O1 $san -Wall -Wextra -Wno-missing-field-initializers -I$root/include -I$root/src"

mkdir -p "$build/obj"
objs=()
newest_header=$(find "$root/src" "$root/include" -name '*.h' -printf '%T@\n' | sort -n | tail -1)
for src in $(find "$root/src" -name '*.cpp' | sort); do
    obj="$build/obj/$(echo "${src#"$root"/src/}" | tr '/' '_').o"
    if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ "$(stat -c %Y "$obj")" -lt "${newest_header%.*}" ]; then
        # The library objects get the coverage hooks, not libFuzzer's main.
        $cxx $common -fsanitize=fuzzer-no-link -DZEM_BUILDING -c "$src" -o "$obj"
    fi
    objs+=("$obj")
done

targets=(codec smtp pop3 mime starttls names imap_parser imap)
for t in "${targets[@]}"; do
    [ -z "$only" ] || [ "$only" = "$t" ] || continue
    extra=()
    # The protocol targets cap the library's sleeps (fuzz/hostile_server.h).
    case $t in smtp|pop3|starttls|imap) extra+=("-Wl,--wrap=_ZN3zem7SleepMsEi") ;; esac
    # The IMAP target's server takes its turn whenever the client waits for its socket, and
    # answers the client's lingering close at once (fuzz/imap_fuzz.cpp).
    case $t in imap) extra+=("-Wl,--wrap=_ZN3zem10SocketWaitEiii" "-Wl,--wrap=_ZN3zem17SocketCloseLingerEi") ;; esac
    # The TLS target makes its own test certificates at start-up, and its server answers
    # the client's lingering close at once (fuzz/starttls_fuzz.cpp).
    case $t in
    starttls) extra+=("-DZEM_FUZZ_CERT_SCRIPT=\"$root/tests/support/make_test_certs.sh\"" "-Wl,--wrap=_ZN3zem17SocketCloseLingerEi") ;;
    esac
    $cxx $common -fsanitize=fuzzer "$root/fuzz/${t}_fuzz.cpp" "${objs[@]}" -lssl -lcrypto -lpthread "${extra[@]}" -o "$build/${t}_fuzz"
    echo "built $build/${t}_fuzz"
done
[ "$seconds" -gt 0 ] || exit 0

status=0
for t in "${targets[@]}"; do
    [ -z "$only" ] || [ "$only" = "$t" ] || continue
    seeds="$root/fuzz/corpus-$t"
    [ "$t" = mime ] && seeds="$root/fuzz/corpus"
    work="$build/work-$t"
    mkdir -p "$work"
    rm -f "$build/crash-$t-"* "$build/timeout-$t-"* "$build/leak-$t-"* "$build/oom-$t-"*
    echo "== fuzzing $t for $seconds s"
    set +e
    (cd "$build" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "./${t}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1536 -max_len=16384 \
        -print_final_stats=1 -artifact_prefix="$build/crash-$t-" "$work" "$seeds" >"$build/log-$t.txt" 2>&1)
    rc=$?
    set -e
    grep -E '^(stat::number_of_executed_units|stat::new_units_added|#[0-9]+ +DONE)' "$build/log-$t.txt" || true
    if [ $rc -ne 0 ]; then
        status=1
        echo "fuzz.sh: $t failed (exit $rc); the end of its log:"
        tail -60 "$build/log-$t.txt"
        for f in "$build/crash-$t-"*; do
            [ -f "$f" ] || continue
            echo "---- reproducer $f ($(stat -c %s "$f") bytes), base64:"
            base64 -w 76 "$f"
            echo "---- hex dump (first 4 KiB):"
            head -c 4096 "$f" | od -A x -t x1z -v
        done
    fi
done
exit $status
