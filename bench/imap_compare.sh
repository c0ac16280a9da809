#!/usr/bin/env bash
# bench/imap_compare.sh [BUILD_DIR]: the library's IMAP client against peer tools (curl,
# curl + ripmime, Python's imaplib and email package) on the real Dovecot of the test
# fixtures (tests/fixtures/mailservers.sh, IMAP 21143, alice@zem.test), in one run on one
# machine, and a table of the ratios.
#
#   1. installs what is missing when run as root (curl, ripmime, time)
#   2. builds imap_perf (bench/imap_perf.cpp, the shared library) in BUILD_DIR (default build/)
#   3. starts the fixture's servers (a no-op when they are up; they are never stopped here)
#   4. makes the test data in $ZEM_PERF_DATA/imap/data (bench/imap/imap_data.py gen): one
#      message with a 10 MiB random binary attachment (base64, 76-character lines), and
#      1,000 messages of 2-4 KiB (a text part, every other one a small attachment)
#   5. fills the mailboxes over IMAP APPEND (imaplib) when they do not hold that data yet:
#      the big message into alice's INBOX, the small ones into the mailbox zem-bench-small
#      (removed again at the end unless ZEM_IMAP_KEEP=1)
#   6. times (bench/imap/imap_bench.py; medians of ZEM_IMAP_RUNS, default 5, after one
#      warm-up round; wall time, user+sys CPU, peak RSS of the processes):
#        A   UID FETCH of the 10 MiB message to files, decoded: ours (zemImapFetchFile:
#            message file + attachment) / curl imap:// to a file + ripmime (sum) / imaplib +
#            email writing the attachment
#        A'  the same raw: ours (ZEM_PARAM_DECODE_STATE 1) / curl / imaplib
#        B   the 1,000 small messages to files over one connection: ours decoded and raw
#            (zemImapFetchFile each) / curl -K (one process, 1,000 URLs, the connection
#            reused) / imaplib raw and imaplib + email decoded (UID FETCH each); imaplib
#            with one UID FETCH for all is shown for information
#      and checks once, untimed, that our decoded attachment is the original file
#   7. prints the table to stdout and to $ZEM_PERF_DATA/results/imap.md (every run:
#      imap-runs.tsv); with ZEM_IMAP_PROFILE=1 also perf profiles of our rows A and B
#      (imap-profile-*.txt)
#
# Settings: ZEM_PERF_DATA (/tmp/zem-perf-data), ZEM_IMAP_OUT (where the tools write:
# /dev/shm/zem-imap-bench when /dev/shm is a tmpfs, else $ZEM_PERF_DATA/work/imap/out; on
# ext4, after the rounds' own deletions, most of the CPU of row B goes to the kernel's
# inode allocation), ZEM_IMAP_RUNS (5), ZEM_IMAP_WARMUP (1),
# ZEM_IMAP_KEEP (0; 1 leaves the test messages in the mailboxes for the next run),
# ZEM_IMAP_ONLY (a regex on "ROW tool"), ZEM_IMAP_DEADLINE (HH:MM UTC: no run starts
# after it; the servers are shared), ZEM_IMAP_PROFILE (0), ZEM_PERF_LOCK (default
# /tmp/zem-integration.lock, empty for none; held while timing, as bench/compare.sh does).
# The mailboxes are shared with the integration tests: a test run's clear-mailboxes
# empties them, and the timing then fills them again and repeats the round.
# Exit status: 0, or 1 when a check or a row failed.
set -u -o pipefail

REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-${ZEM_BUILD:-$REPO/build}}
mkdir -p "$BUILD" && BUILD=$(cd "$BUILD" && pwd)
PY=${PYTHON:-python3}
export ZEM_PERF_DATA=${ZEM_PERF_DATA:-/tmp/zem-perf-data}
mkdir -p "$ZEM_PERF_DATA" && ZEM_PERF_DATA=$(cd "$ZEM_PERF_DATA" && pwd)
DATA=$ZEM_PERF_DATA/imap/data
STATE=$ZEM_PERF_DATA/imap/state.json
WORK=$ZEM_PERF_DATA/work/imap
RES=$ZEM_PERF_DATA/results
LOCK=${ZEM_PERF_LOCK-/tmp/zem-integration.lock}
FIXTURE=$REPO/tests/fixtures/mailservers.sh
# Where the tools write their files: a tmpfs when there is one, so that the figures are the
# clients' and not ext4's inode allocation (which the rounds' own deletions make slow).
if [ -z "${ZEM_IMAP_OUT:-}" ] && [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] && [ -w /dev/shm ]; then
  OUT=/dev/shm/zem-imap-bench
else
  OUT=${ZEM_IMAP_OUT:-$WORK/out}
fi

log() { printf 'imap_compare: %s\n' "$*" >&2; }
die() { log "$*"; exit 1; }

# ---- 1. packages ----------------------------------------------------------------------
missing=()
for p in curl ripmime time python3; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    log "installing ${missing[*]}"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"; } >/dev/null || log "apt-get failed; going on with what is there"
  else
    log "missing (install them as root): ${missing[*]}"
  fi
fi

# ---- 2. build -------------------------------------------------------------------------
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  log "configuring $BUILD"
  cmake -S "$REPO" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$BUILD/imap-configure.log" 2>&1 ||
    die "configure failed (see $BUILD/imap-configure.log)"
fi
log "building imap_perf in $BUILD"
cmake --build "$BUILD" --target imap_perf -j"${ZEM_JOBS:-2}" >"$BUILD/imap-build.log" 2>&1 ||
  die "build failed (see $BUILD/imap-build.log)"
ZI=$BUILD/bench/imap_perf
[ -x "$ZI" ] || die "$ZI was not built (is ZEM_BENCH off in $BUILD?)"

# ---- 3. servers -----------------------------------------------------------------------
log "starting the fixture's mail servers (no-op when up)"
"$FIXTURE" start >&2 || die "mailservers.sh start failed"
eval "$("$FIXTURE" env)"
PORT=${ZEM_IMAP_PORT:-21143}

# ---- 4./5. data and mailboxes ---------------------------------------------------------
mkdir -p "$DATA" "$WORK" "$RES"
"$PY" "$REPO/bench/imap/imap_data.py" gen "$DATA" || die "imap_data.py gen failed"
if ! "$PY" "$REPO/bench/imap/imap_data.py" --port "$PORT" verify "$DATA" "$STATE"; then
  log "filling alice's mailboxes over IMAP APPEND"
  "$PY" "$REPO/bench/imap/imap_data.py" --port "$PORT" fill "$DATA" "$STATE" || die "imap_data.py fill failed"
fi

# ---- 6./7. timing ---------------------------------------------------------------------
run_bench() {
  "$PY" "$REPO/bench/imap/imap_bench.py" --zem "$ZI" --data "$DATA" --state "$STATE" --work "$WORK" \
    --results "$RES" --out "$OUT" --port "$PORT" --runs "${ZEM_IMAP_RUNS:-5}" --warmup "${ZEM_IMAP_WARMUP:-1}" \
    --only "${ZEM_IMAP_ONLY:-}" --deadline "${ZEM_IMAP_DEADLINE:-}"
}
FAILED=0
if [ -n "$LOCK" ] && command -v flock >/dev/null; then
  exec 8>"$LOCK"
  flock -w 900 8 || log "could not take $LOCK within 15 minutes; timing without it"
fi
run_bench || FAILED=1

if [ "${ZEM_IMAP_PROFILE:-0}" = 1 ] && command -v perf >/dev/null; then
  # perf record -g of our rows A (decoded) and B (decoded), one run each; the report's
  # top entries by self time (children: the call graphs are in the .data files).
  st() { "$PY" -c "import json,sys; print(json.load(open('$STATE'))[sys.argv[1]])" "$1"; }
  for what in A B; do
    out=$OUT/prof-$what
    rm -rf "$out"
    if [ "$what" = A ]; then
      cmd=("$ZI" fetch --port "$PORT" --uid "$(st big_uid)" --mailbox "$(st big_mailbox)" --decode --dir "$out")
    else
      cmd=("$ZI" fetch-many --port "$PORT" --mailbox "$(st small_mailbox)" \
        --uids "$(st small_first):$(st small_last)" --decode --dir "$out")
    fi
    perf record -q -g -F 4999 -o "$RES/imap-profile-$what.data" -- "${cmd[@]}" 2>"$RES/imap-profile-$what.err" ||
      log "perf record $what failed (see $RES/imap-profile-$what.err)"
    {
      echo "# ours, row $what: ${cmd[*]}"
      echo "## by library (self time)"
      perf report -q -i "$RES/imap-profile-$what.data" --no-children -g none --sort dso --stdio 2>/dev/null
      echo "## by function (self time, >= 0.5 %)"
      perf report -q -i "$RES/imap-profile-$what.data" --no-children -g none --percent-limit 0.5 \
        --sort dso,symbol --stdio 2>/dev/null | grep -E '^ +[0-9]'
      echo "## system calls and their kernel paths (with callees, >= 1 %)"
      perf report -q -i "$RES/imap-profile-$what.data" --children -g none --percent-limit 1 --sort symbol \
        --stdio 2>/dev/null | grep -E '__x64_sys|ext4_create|__ext4_new_inode|tcp_sendmsg|tcp_recvmsg|write_iter'
    } >"$RES/imap-profile-$what.txt"
    rm -rf "$out"
    log "profile of ours, row $what: $RES/imap-profile-$what.txt"
  done
fi
[ -n "$LOCK" ] && exec 8>&-
[ "$OUT" = /dev/shm/zem-imap-bench ] && rm -rf "$OUT"
# The servers are shared: alice's mailboxes are left as they were, unless asked otherwise.
if [ "${ZEM_IMAP_KEEP:-0}" != 1 ]; then
  "$PY" "$REPO/bench/imap/imap_data.py" --port "$PORT" clean "$STATE" || log "could not remove the test messages"
fi

log "results: $RES/imap.md, $RES/imap-runs.tsv (stderr of the runs: $WORK/stderr.log)"
[ "$FAILED" = 0 ] || log "something failed: see the lines above"
exit "$FAILED"
