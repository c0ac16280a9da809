#!/usr/bin/env bash
# bench/compare.sh [BUILD_DIR]: the library against peer tools (curl, msmtp, Python,
# Postfix's smtp-source, ripmime, munpack) on the same loopback workloads, in one run on
# one machine, and a table of the ratios.
#
#   1. installs what is missing when run as root (apt-get; Postfix is not installed, the
#      kit unpacks smtp-sink and smtp-source from the downloaded package)
#   2. builds zem_perf and zem_decode_file in BUILD_DIR (default build/; configured
#      first when it holds no build yet)
#   3. makes the test data in $ZEM_PERF_DATA (default /tmp/zem-perf-data) when missing
#   4. checks our output once, untimed, against sink.py --save and pop3serve.py: the sent
#      message carries the attachment, a decoded RETR writes it, a raw RETR holds the
#      message; the MD5s come from the data's manifest.json
#   5. runs bench/perf/peers.sh with PERF_EXTRA=bench/ours.sh: every peer and ours
#      (and the figures without a peer: 128 channels from one thread, the CPU of a
#      blocking wait, latency at the default timings)
#   6. prints ours against the best peer per workload ($ZEM_PERF_DATA/results/compare.md)
#
# The whole run takes about 10 minutes of both cores. The kit's settings pass through,
# for example a smoke test of one workload:
#   PERF_ONLY='SEND-10M' PERF_RUNS=1 bench/compare.sh
# Others: PERF_RUNS PERF_RUNS_MANY PERF_WARMUP PERF_SINK PERF_SMTP_PORT PERF_POP3_PORT
# (see bench/perf/README.md); ZEM_CHECK_SMTP_PORT / ZEM_CHECK_POP3_PORT (2627 / 2612) for
# the checks; ZEM_PERF_LOCK (default /tmp/zem-integration.lock, empty for none) is held
# during the timed run so that the loopback test suites do not share the cores with it.
# Exit status: 0, or 1 when a check or a timed row failed.
set -u -o pipefail

REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-${ZEM_BUILD:-$REPO/build}}
mkdir -p "$BUILD" && BUILD=$(cd "$BUILD" && pwd)
KIT=$REPO/bench/perf
PY=${PYTHON:-python3}
export ZEM_PERF_DATA=${ZEM_PERF_DATA:-/tmp/zem-perf-data}
mkdir -p "$ZEM_PERF_DATA" && ZEM_PERF_DATA=$(cd "$ZEM_PERF_DATA" && pwd)
DATA=$ZEM_PERF_DATA
RES=$DATA/results
CHK=$DATA/work/compare-check
CHECK_SMTP_PORT=${ZEM_CHECK_SMTP_PORT:-2627}
CHECK_POP3_PORT=${ZEM_CHECK_POP3_PORT:-2612}
LOCK=${ZEM_PERF_LOCK-/tmp/zem-integration.lock}
FAILED=0
PIDS=()

log() { printf 'compare: %s\n' "$*" >&2; }
die() { log "$*"; exit 1; }

cleanup() {
  local p
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
  PIDS=()
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_port() {  # up to 10 s
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  log "port $1 did not open"
  return 1
}

# ---- 1. packages ----------------------------------------------------------------------
PACKAGES=(build-essential cmake libssl-dev python3 hyperfine msmtp ripmime mpack curl openssl time)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    log "installing ${missing[*]}"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"; } >/dev/null || log "apt-get failed; going on with what is there"
  else
    log "missing (install them as root for the full table): ${missing[*]}"
  fi
fi

# ---- 2. build -------------------------------------------------------------------------
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  log "configuring $BUILD"
  cmake -S "$REPO" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >"$BUILD/compare-configure.log" 2>&1 ||
    die "configure failed (see $BUILD/compare-configure.log)"
fi
log "building zem_perf and zem_decode_file in $BUILD"
cmake --build "$BUILD" --target zem_perf zem_decode_file -j"${ZEM_JOBS:-2}" >"$BUILD/compare-build.log" 2>&1 ||
  die "build failed (see $BUILD/compare-build.log)"
ZP=$BUILD/bench/zem_perf
[ -x "$ZP" ] || die "$ZP was not built (is ZEM_BENCH off in $BUILD?)"

# ---- 3. data --------------------------------------------------------------------------
for f in att-10m.bin att-10m.eml att-50m.bin att-50m.eml text-1k.eml multi-100.eml rand-100m.bin rand-100m.b64 manifest.json; do
  if [ ! -f "$DATA/$f" ]; then
    log "making the test data in $DATA"
    "$PY" "$KIT/gen_messages.py" >&2 || die "gen_messages.py failed"
    break
  fi
done
MANIFEST=$DATA/manifest.json

# ---- 4. output checks (untimed) -------------------------------------------------------
check() { "$@" >&2 || FAILED=1; }
rm -rf "$CHK" && mkdir -p "$CHK"
"$PY" "$KIT/sink.py" --port "$CHECK_SMTP_PORT" --max-seconds 600 --save "$CHK/sink" >"$CHK/sink.log" 2>&1 &
PIDS+=($!)
"$PY" "$KIT/pop3serve.py" --port "$CHECK_POP3_PORT" --max-seconds 600 "$DATA/att-10m.eml" >"$CHK/pop3.log" 2>&1 &
PIDS+=($!)
if wait_port "$CHECK_SMTP_PORT" && wait_port "$CHECK_POP3_PORT"; then
  if "$ZP" send-attach --port "$CHECK_SMTP_PORT" "$DATA/att-10m.bin" 2>"$CHK/send.err"; then
    check "$PY" "$REPO/bench/compare.py" check-sent "$MANIFEST" "$CHK/sink/msg-000001.eml" att-10m.bin
  else
    log "check FAIL: send-attach: $(cat "$CHK/send.err")"; FAILED=1
  fi
  if "$ZP" retr --port "$CHECK_POP3_PORT" --decode --dir "$CHK/decoded" >/dev/null 2>"$CHK/retr.err"; then
    check "$PY" "$REPO/bench/compare.py" check-file "$MANIFEST" "$CHK/decoded/att-10m.bin" att-10m.bin
  else
    log "check FAIL: retr --decode: $(cat "$CHK/retr.err")"; FAILED=1
  fi
  if "$ZP" retr --port "$CHECK_POP3_PORT" --raw --dir "$CHK/raw" 2>"$CHK/raw.err"; then
    check "$PY" "$REPO/bench/compare.py" check-raw "$MANIFEST" "$CHK/raw/message.eml" att-10m.eml
  else
    log "check FAIL: retr --raw: $(cat "$CHK/raw.err")"; FAILED=1
  fi
else
  log "check servers did not start (ports $CHECK_SMTP_PORT, $CHECK_POP3_PORT busy?)"; FAILED=1
fi
cleanup
rm -rf "$CHK"

# ---- 5. peers and ours in one run -----------------------------------------------------
run_peers() {
  PERF_EXTRA=$REPO/bench/ours.sh ZEM_PERF_BIN=$BUILD/bench "$KIT/peers.sh"
}
mkdir -p "$RES"
log "running bench/perf/peers.sh with bench/ours.sh${PERF_ONLY:+ (PERF_ONLY=$PERF_ONLY)}"
if [ -n "$LOCK" ] && command -v flock >/dev/null; then
  export -f run_peers; export REPO BUILD KIT
  flock "$LOCK" bash -c run_peers >"$RES/peers.out" || FAILED=1
else
  run_peers >"$RES/peers.out" || FAILED=1
fi
cat "$RES/peers.out"
grep -q 'FAILED' "$RES/peers.tsv" 2>/dev/null && FAILED=1
grep -q 'FAILED' "$RES/ours-extra.tsv" 2>/dev/null && FAILED=1

# ---- 6. the comparison ----------------------------------------------------------------
echo
echo "## ZEM32 against its peers ($(nproc) CPUs, $(date -u +%Y-%m-%d))"
echo
"$PY" "$REPO/bench/compare.py" table "$RES/peers.tsv" "$RES/ours-extra.tsv" "$RES/compare.md" || FAILED=1
log "results: $RES/peers.tsv, $RES/ours-extra.tsv, $RES/compare.md"
[ "$FAILED" = 0 ] || log "something failed: see the lines above"
exit "$FAILED"
