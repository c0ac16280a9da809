#!/usr/bin/env bash
# peers.sh - time peer SMTP/POP3/MIME/base64 tools on loopback.
#
# Usage:  bench/perf/peers.sh            (see README.md for details)
#
# Environment (all optional):
#   ZEM_PERF_DATA   data dir (default /tmp/zem-perf-data); messages are made
#                   there by gen_messages.py if missing; results go to
#                   $ZEM_PERF_DATA/results/
#   PERF_RUNS       timed runs per command (default 5); PERF_WARMUP (default 1)
#   PERF_RUNS_MANY  timed runs for the 1000-message workloads (default 3)
#   PERF_SMTP_PORT  sink port (default 2625)   PERF_POP3_PORT (default 2610)
#   PERF_SINK       auto | smtp-sink | python  (default auto: Postfix's
#                   smtp-sink if found or fetchable, else sink.py)
#   PERF_ONLY       extended regex; only "WORKLOAD tool" rows matching it run
#   PERF_EXTRA      a bash file sourced after the peers ran, while the
#                   servers are still up; it may call
#                     bench WORKLOAD TOOL AMOUNT UNIT 'CMD' ['PREPARE']
#                   to time other clients (e.g. ours) in the same run.
#   PERF_SKIP_PEERS =1: run only PERF_EXTRA
#   PERF_TIMEOUT    seconds one bench (all its runs) may take (default 900)
#
# Output: a table (workload, tool, median s, throughput, peak RSS, min..max)
# on stdout, and $ZEM_PERF_DATA/results/peers.tsv + peers.md.  TSV columns:
# workload tool median_s throughput peak_rss_mib runs min_s max_s command
set -u -o pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
DATA=${ZEM_PERF_DATA:-/tmp/zem-perf-data}
mkdir -p "$DATA"
DATA=$(cd "$DATA" && pwd)           # munpack -C needs absolute paths
RUNS=${PERF_RUNS:-5}
WARMUP=${PERF_WARMUP:-1}
RUNS_MANY=${PERF_RUNS_MANY:-3}
SMTP_PORT=${PERF_SMTP_PORT:-2625}
POP3_PORT=${PERF_POP3_PORT:-2610}
SINK=${PERF_SINK:-auto}
ONLY=${PERF_ONLY:-}
BENCH_TIMEOUT=${PERF_TIMEOUT:-900}
RES=$DATA/results
WORK=$DATA/work
TSV=$RES/peers.tsv
mkdir -p "$RES" "$WORK"
export ZEM_PERF_DATA=$DATA

PY=${PYTHON:-python3}
FROM=sender@example.test
RCPT=receiver@example.test
HAVE_HYPERFINE=0; command -v hyperfine >/dev/null && HAVE_HYPERFINE=1
PIDS=()
SINK_DESC=""

log() { printf '%s\n' "$*" >&2; }

cleanup() {
  local p
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_port() {   # wait_port PORT: up to 10 s
  local i
  for i in $(seq 1 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  log "port $1 did not open"; return 1
}

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# ---------------------------------------------------------------- sink ----
SMTP_SINK_BIN=""; SMTP_SOURCE_BIN=""; POSTFIX_LIBS=""
find_postfix_tools() {
  if [ -x /usr/sbin/smtp-sink ]; then
    SMTP_SINK_BIN=/usr/sbin/smtp-sink
    [ -x /usr/sbin/smtp-source ] && SMTP_SOURCE_BIN=/usr/sbin/smtp-source
    return 0
  fi
  # Not installed: unpack the Debian postfix package into the data dir
  # (apt-get download + dpkg-deb -x; nothing is installed or started).
  local x=$DATA/postfix-deb
  if [ ! -x "$x/usr/sbin/smtp-sink" ] && command -v apt-get >/dev/null; then
    mkdir -p "$x"
    ( cd "$x" && timeout 120 apt-get download postfix >/dev/null 2>&1 &&
      dpkg-deb -x postfix_*.deb . && rm -f postfix_*.deb ) || true
  fi
  if [ -x "$x/usr/sbin/smtp-sink" ]; then
    SMTP_SINK_BIN=$x/usr/sbin/smtp-sink
    SMTP_SOURCE_BIN=$x/usr/sbin/smtp-source
    POSTFIX_LIBS=$x/usr/lib/postfix
    return 0
  fi
  return 1
}

start_sink() {
  port_free "$SMTP_PORT" || { log "port $SMTP_PORT busy"; exit 1; }
  local use=$SINK
  if [ "$use" = auto ]; then
    if find_postfix_tools; then use=smtp-sink; else use=python; fi
  elif [ "$use" = smtp-sink ]; then
    find_postfix_tools || { log "smtp-sink not available"; exit 1; }
  else
    find_postfix_tools || true     # smtp-source is still useful
  fi
  if [ "$use" = smtp-sink ]; then
    local u=(); [ "$(id -u)" = 0 ] && u=(-u nobody)
    # -m: max simultaneous connections; 1024: listen backlog
    local cmd=("$SMTP_SINK_BIN" "${u[@]}" -m 512 "127.0.0.1:$SMTP_PORT" 1024)
    [ -n "$POSTFIX_LIBS" ] && cmd=(env "LD_LIBRARY_PATH=$POSTFIX_LIBS" "${cmd[@]}")
    # a plain background command: $! is the sink itself (env execs it)
    "${cmd[@]}" >"$RES/sink.log" 2>&1 &
    PIDS+=($!)
    SINK_DESC="postfix smtp-sink ($SMTP_SINK_BIN)"
  else
    "$PY" "$HERE/sink.py" --port "$SMTP_PORT" --max-seconds 7200 \
       --stats-file "$RES/sink-stats.json" >"$RES/sink.log" 2>&1 &
    PIDS+=($!)
    SINK_DESC="bench/perf/sink.py (asyncio)"
  fi
  wait_port "$SMTP_PORT"
}

start_pop3() {
  port_free "$POP3_PORT" || { log "port $POP3_PORT busy"; exit 1; }
  # maildrop: message 1 = att-10m.eml
  "$PY" "$HERE/pop3serve.py" --port "$POP3_PORT" --max-seconds 7200 \
     "$DATA/att-10m.eml" >"$RES/pop3.log" 2>&1 &
  PIDS+=($!)
  wait_port "$POP3_PORT"
}

# --------------------------------------------------------------- bench ----
# bench WORKLOAD TOOL AMOUNT UNIT CMD [PREPARE]
#   UNIT MiB: AMOUNT is bytes, throughput in MiB/s
#   UNIT msg: AMOUNT is a message count, throughput in msg/s
# Median wall time from hyperfine (PERF_RUNS runs after PERF_WARMUP
# warm-ups); peak RSS from one more run under /usr/bin/time (for a
# pipeline or sequence: the largest single process).
bench() {
  local wl=$1 tool=$2 amount=$3 unit=$4 cmd=$5 prep=${6:-true}
  local runs=$RUNS
  case $wl in SEND-MANY*) runs=$RUNS_MANY;; esac
  if [ -n "$ONLY" ] && ! [[ "$wl $tool" =~ $ONLY ]]; then return 0; fi
  local j=$WORK/hf.json med tmin tmax rss status=ok
  rm -f "$j"
  if [ "$HAVE_HYPERFINE" = 1 ]; then
    if ! timeout "$BENCH_TIMEOUT" hyperfine --style none --runs "$runs" \
         --warmup "$WARMUP" --prepare "$prep" --export-json "$j" "$cmd" \
         >"$WORK/hf.out" 2>&1; then
      status=FAIL
    fi
    read -r med tmin tmax < <("$PY" -c 'import json,sys;r=json.load(open(sys.argv[1]))["results"][0];print("%.4f %.4f %.4f"%(r["median"],r["min"],r["max"]))' "$j" 2>/dev/null || echo nan nan nan)
  else
    local i t0 t1 ts=()
    for i in $(seq 1 "$WARMUP"); do sh -c "$prep"; sh -c "$cmd" >/dev/null 2>&1 || status=FAIL; done
    for i in $(seq 1 "$runs"); do
      sh -c "$prep"; t0=$(date +%s.%N)
      timeout "$BENCH_TIMEOUT" sh -c "$cmd" >/dev/null 2>&1 || status=FAIL
      t1=$(date +%s.%N); ts+=("$(awk "BEGIN{print $t1 - $t0}")")
    done
    read -r med tmin tmax < <(printf '%s\n' "${ts[@]}" | "$PY" -c 'import sys,statistics;v=[float(x) for x in sys.stdin];print("%.4f %.4f %.4f"%(statistics.median(v),min(v),max(v)))')
  fi
  sh -c "$prep"
  if timeout "$BENCH_TIMEOUT" /usr/bin/time -f %M -o "$WORK/rss" sh -c "$cmd" >/dev/null 2>"$WORK/last.err"; then
    rss=$(awk '{printf "%.1f", $1/1024}' "$WORK/rss")
  else
    rss=nan; status=FAIL
  fi
  local thr
  thr=$("$PY" -c '
import sys
a, u, m = float(sys.argv[1]), sys.argv[2], sys.argv[3]
try:
    m = float(m)
    print("%.1f %s/s" % ((a / 1048576 if u == "MiB" else a) / m, u))
except (ValueError, ZeroDivisionError):
    print("nan")' "$amount" "$unit" "$med")
  [ "$status" = FAIL ] && { thr="FAILED"; log "FAILED: $wl / $tool (see $WORK/hf.out, $WORK/last.err)"; }
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$wl" "$tool" "$med" "$thr" "$rss" "$runs" "$tmin" "$tmax" "$cmd" >>"$TSV"
  printf '%-22s %-44s %9s s %14s %9s MiB  (min %s max %s)\n' "$wl" "$tool" "$med" "$thr" "$rss" "$tmin" "$tmax" >&2
}

print_table() {
  {
    printf '| workload | tool | median s | throughput | peak RSS MiB | runs | min..max s |\n'
    printf '|---|---|---:|---:|---:|---:|---:|\n'
    awk -F'\t' '{printf "| %s | %s | %s | %s | %s | %s | %s..%s |\n", $1, $2, $3, $4, $5, $6, $7, $8}' "$TSV"
  } >"$RES/peers.md"
  printf '\n%-22s %-44s %10s %16s %12s %16s\n' WORKLOAD TOOL MEDIAN_S THROUGHPUT PEAK_RSS_MiB MIN..MAX_S
  awk -F'\t' '{printf "%-22s %-44s %10s %16s %12s %16s\n", $1, $2, $3, $4, $5, $7 ".." $8}' "$TSV"
}

# ------------------------------------------------------------- checks ----
md5_of() { "$PY" -c 'import json,sys;print(json.load(open(sys.argv[1]))[sys.argv[2]]["md5"])' "$DATA/manifest.json" "$1"; }
check_md5() {  # check_md5 FILE EXPECTED LABEL
  local got; got=$(md5sum <"$1" 2>/dev/null | cut -d' ' -f1)
  if [ "$got" = "$2" ]; then log "check ok:   $3"; else log "check FAIL: $3 ($1)"; CHECK_FAILS=$((CHECK_FAILS+1)); fi
}

# ================================================================ main ====
for f in att-10m.eml att-50m.eml text-1k.eml multi-100.eml rand-100m.bin rand-100m.b64; do
  if [ ! -f "$DATA/$f" ]; then
    log "generating test data in $DATA ..."; "$PY" "$HERE/gen_messages.py" || exit 1; break
  fi
done
: >"$TSV"
start_sink
start_pop3
log "sink: $SINK_DESC on 127.0.0.1:$SMTP_PORT; pop3: bench/perf/pop3serve.py on 127.0.0.1:$POP3_PORT"
log "timer: $([ $HAVE_HYPERFINE = 1 ] && hyperfine --version || echo 'date + /usr/bin/time')"
log "runs=$RUNS (1000-message workloads: $RUNS_MANY) warmup=$WARMUP; $(nproc) CPUs"

M10=$((10*1048576)); M50=$((50*1048576)); M100=$((100*1048576))
CURL_SMTP="curl -sS --max-time 120 smtp://127.0.0.1:$SMTP_PORT --mail-from $FROM --mail-rcpt $RCPT"
CURL_POP3="curl -sS --max-time 120 -u perf:perf pop3://127.0.0.1:$POP3_PORT/1"
MSMTP="msmtp -C /dev/null --host=127.0.0.1 --port=$SMTP_PORT --auth=off --tls=off -f $FROM $RCPT"
HAVE_MSMTP=0; command -v msmtp >/dev/null && HAVE_MSMTP=1
HAVE_RIPMIME=0; command -v ripmime >/dev/null && HAVE_RIPMIME=1
HAVE_MUNPACK=0; command -v munpack >/dev/null && HAVE_MUNPACK=1
W=$WORK

if [ "${PERF_SKIP_PEERS:-0}" != 1 ]; then
# ---- correctness checks (once, untimed) ---------------------------------
CHECK_FAILS=0
A10=$(md5_of att-10m.bin); A50=$(md5_of att-50m.bin); R100=$(md5_of rand-100m.bin)
rm -rf "$W/chk"; mkdir -p "$W/chk"
$CURL_POP3 -o "$W/chk/f.eml" && check_md5 "$W/chk/f.eml" "$(md5_of att-10m.eml)" "curl pop3 RETR returns att-10m.eml byte-exact"
"$PY" "$HERE/peer_py.py" pop3-fetch --port "$POP3_PORT" "$W/chk/py" && check_md5 "$W/chk/py/att-10m.bin" "$A10" "python poplib+email attachment"
[ $HAVE_RIPMIME = 1 ] && ripmime -i "$DATA/att-50m.eml" -d "$W/chk/rm" && check_md5 "$W/chk/rm/att-50m.bin" "$A50" "ripmime 50M attachment"
[ $HAVE_MUNPACK = 1 ] && mkdir -p "$W/chk/mp" && munpack -q -C "$W/chk/mp" "$DATA/att-50m.eml" >/dev/null && check_md5 "$W/chk/mp/att-50m.bin" "$A50" "munpack 50M attachment"
base64 -d "$DATA/rand-100m.b64" >"$W/chk/d1" && check_md5 "$W/chk/d1" "$R100" "coreutils base64 -d"
openssl base64 -d -in "$DATA/rand-100m.b64" -out "$W/chk/d2" && check_md5 "$W/chk/d2" "$R100" "openssl base64 -d (76-char lines)"
"$PY" "$HERE/peer_py.py" b64dec "$DATA/rand-100m.b64" "$W/chk/d3" && check_md5 "$W/chk/d3" "$R100" "python binascii decode"
base64 "$DATA/rand-100m.bin" >"$W/chk/e1" && check_md5 "$W/chk/e1" "$(md5_of rand-100m.b64)" "coreutils base64 = python encodebytes (76-char lines)"
rm -rf "$W/chk"
log "checks failed: $CHECK_FAILS"

# ---- a. SEND one message with a 10 MiB attachment ------------------------
bench SEND-10M "python smtplib+email (compose+send)" $M10 MiB \
  "$PY $HERE/peer_py.py send-attach --port $SMTP_PORT $DATA/att-10m.bin"
bench SEND-10M "python email compose only (no network)" $M10 MiB \
  "$PY $HERE/peer_py.py compose $DATA/att-10m.bin"
bench SEND-10M "curl -F MIME base64 (compose+send)" $M10 MiB \
  "$CURL_SMTP -H 'Subject: perf curl' -H 'From: $FROM' -H 'To: $RCPT' -F '=Attachment follows.;type=text/plain' -F '=@$DATA/att-10m.bin;encoder=base64'"
bench SEND-10M "curl --upload-file prebuilt .eml (send)" $M10 MiB \
  "$CURL_SMTP --upload-file $DATA/att-10m.eml"
[ $HAVE_MSMTP = 1 ] && bench SEND-10M "msmtp < prebuilt .eml (send)" $M10 MiB \
  "$MSMTP < $DATA/att-10m.eml"

# ---- b. SEND MANY: 1000 x ~1 KiB ----------------------------------------
N=1000
{ echo "mail-from = \"$FROM\""; echo "mail-rcpt = \"$RCPT\""
  echo "silent"; echo "show-error"; echo "max-time = 120"
  for i in $(seq 1 $N); do
    echo "url = \"smtp://127.0.0.1:$SMTP_PORT\""; echo "upload-file = \"$DATA/text-1k.eml\""
  done; } >"$W/curl-many.cfg"
bench SEND-MANY-1CONN "python smtplib+email (compose each)" $N msg \
  "$PY $HERE/peer_py.py send-many --port $SMTP_PORT --count $N"
bench SEND-MANY-1CONN "curl -K (1 process, conn reuse, prebuilt)" $N msg \
  "curl -K $W/curl-many.cfg"
[ -n "$SMTP_SOURCE_BIN" ] && bench SEND-MANY-1CONN "postfix smtp-source -d (C, generated)" $N msg \
  "$([ -n "$POSTFIX_LIBS" ] && echo "LD_LIBRARY_PATH=$POSTFIX_LIBS ")$SMTP_SOURCE_BIN -d -s 1 -m $N -l 1024 127.0.0.1:$SMTP_PORT"
bench SEND-MANY-1000CONN "python smtplib+email (new conn each)" $N msg \
  "$PY $HERE/peer_py.py send-many --port $SMTP_PORT --count $N --per-message-connection"
bench SEND-MANY-1000CONN "curl x1000 processes (prebuilt)" $N msg \
  "for i in \$(seq 1 $N); do $CURL_SMTP --upload-file $DATA/text-1k.eml || exit 1; done"
[ $HAVE_MSMTP = 1 ] && bench SEND-MANY-1000CONN "msmtp x1000 processes (prebuilt)" $N msg \
  "for i in \$(seq 1 $N); do $MSMTP < $DATA/text-1k.eml || exit 1; done"
[ -n "$SMTP_SOURCE_BIN" ] && bench SEND-MANY-1000CONN "postfix smtp-source (C, generated)" $N msg \
  "$([ -n "$POSTFIX_LIBS" ] && echo "LD_LIBRARY_PATH=$POSTFIX_LIBS ")$SMTP_SOURCE_BIN -s 1 -m $N -l 1024 127.0.0.1:$SMTP_PORT"

# ---- c. RETRIEVE + DECODE over POP3 (10 MiB attachment) ------------------
bench RETR-DECODE-10M "python poplib+email" $M10 MiB \
  "$PY $HERE/peer_py.py pop3-fetch --port $POP3_PORT $W/out-py" "rm -rf $W/out-py"
bench RETR-DECODE-10M "curl pop3 -> file (no decode)" $M10 MiB \
  "$CURL_POP3 -o $W/fetched.eml" "rm -f $W/fetched.eml"
[ $HAVE_RIPMIME = 1 ] && bench RETR-DECODE-10M "curl pop3 -> file + ripmime" $M10 MiB \
  "$CURL_POP3 -o $W/fetched.eml && ripmime -i $W/fetched.eml -d $W/out-rm" \
  "rm -rf $W/fetched.eml $W/out-rm"
[ $HAVE_MUNPACK = 1 ] && bench RETR-DECODE-10M "curl pop3 -> file + munpack" $M10 MiB \
  "$CURL_POP3 -o $W/fetched.eml && munpack -q -C $W/out-mp $W/fetched.eml" \
  "rm -rf $W/fetched.eml $W/out-mp; mkdir -p $W/out-mp"

# ---- d. DECODE ONLY from disk -------------------------------------------
for item in "DECODE-50M att-50m.eml $M50" "DECODE-MULTI-100 multi-100.eml $((100*32*1024))"; do
  set -- $item
  [ $HAVE_RIPMIME = 1 ] && bench "$1" "ripmime" "$3" MiB \
    "ripmime -i $DATA/$2 -d $W/out-rm" "rm -rf $W/out-rm"
  [ $HAVE_MUNPACK = 1 ] && bench "$1" "munpack" "$3" MiB \
    "munpack -q -C $W/out-mp $DATA/$2" "rm -rf $W/out-mp; mkdir -p $W/out-mp"
  bench "$1" "python email (BytesParser, policy.default)" "$3" MiB \
    "$PY $HERE/peer_py.py decode $DATA/$2 $W/out-py" "rm -rf $W/out-py"
done

# ---- e. CODECS on 100 MiB -----------------------------------------------
B=$DATA/rand-100m.bin; B64=$DATA/rand-100m.b64
bench CODEC-B64-ENC-100M "coreutils base64 (76/line)" $M100 MiB "base64 $B >/dev/null"
bench CODEC-B64-ENC-100M "openssl base64 (64/line)" $M100 MiB "openssl base64 -in $B -out /dev/null"
bench CODEC-B64-ENC-100M "python base64.encodebytes (76/line)" $M100 MiB "$PY $HERE/peer_py.py b64enc $B /dev/null"
bench CODEC-B64-DEC-100M "coreutils base64 -d" $M100 MiB "base64 -d $B64 >/dev/null"
bench CODEC-B64-DEC-100M "openssl base64 -d" $M100 MiB "openssl base64 -d -in $B64 -out /dev/null"
bench CODEC-B64-DEC-100M "python binascii.a2b_base64" $M100 MiB "$PY $HERE/peer_py.py b64dec $B64 /dev/null"
bench CODEC-MD5-100M "md5sum (reference)" $M100 MiB "md5sum $B >/dev/null"
bench CODEC-READ-100M "cat > /dev/null (reference)" $M100 MiB "cat $B >/dev/null"
fi

if [ -n "${PERF_EXTRA:-}" ]; then
  log "sourcing PERF_EXTRA=$PERF_EXTRA"
  # shellcheck disable=SC1090
  . "$PERF_EXTRA"
fi

print_table
{
  echo "# host: $(nproc) CPUs, $(awk '/MemTotal/{printf "%.0f GiB", $2/1048576}' /proc/meminfo), $(uname -r)"
  echo "# sink: $SINK_DESC; pop3: pop3serve.py; runs=$RUNS many=$RUNS_MANY warmup=$WARMUP"
} >"$RES/peers.env"
log "results: $TSV, $RES/peers.md"
