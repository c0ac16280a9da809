# The library's rows in the perf kit's run, beside the peer tools. Sourced by
# bench/perf/peers.sh through PERF_EXTRA while its SMTP sink and POP3 server are up;
# bench/compare.sh does that and prints the comparison. By hand:
#
#   PERF_EXTRA=$PWD/bench/ours.sh bench/perf/peers.sh                   # peers and ours
#   PERF_EXTRA=$PWD/bench/ours.sh PERF_SKIP_PEERS=1 bench/perf/peers.sh # ours only
#
# ZEM_PERF_BIN names the directory of zem_perf and zem_decode_file (default: build/bench
# beside this directory). peers.sh provides $DATA $WORK $SMTP_PORT $POP3_PORT $M10 $M50,
# bench, check_md5, md5_of, log and $ONLY (PERF_ONLY).
#
# Timed rows (bench, in peers.tsv), each one process of zem_perf:
#   SEND-10M            send-attach: att-10m.bin composed into base64 while it is sent
#   SEND-MANY-1CONN     send-many: 1000 messages of 1 KiB text on one connection
#   SEND-MANY-1000CONN  send-conn: the same 1000 messages, one connection each
#   RETR-DECODE-10M     retr: message 1 of the kit's POP3 server (att-10m.eml), decoded
#                       (the attachment written) and raw (the message saved as received,
#                       up to and with its end line)
#   DECODE-50M          zem_decode_file: att-50m.eml from disk through the decoder
# Figures without a peer (direct runs, into $RES/ours-extra.tsv, which compare.sh reads):
#   CHANNELS-128        128 channels from one thread (zemDriver + zemWaitAny): wall and CPU
#   WAIT-CPU            CPU used by a blocking connect waiting 2 s for a greeting
#   LATENCY-DEFAULT     per-message time at the library's default timings
ZEM_PERF_BIN=${ZEM_PERF_BIN:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/bench}
ZP="$ZEM_PERF_BIN/zem_perf"
ZD="$ZEM_PERF_BIN/zem_decode_file"
OURS_EXTRA_TSV=$RES/ours-extra.tsv
OURS_EXTRA_RUNS=${OURS_EXTRA_RUNS:-3}
: "${CHECK_FAILS:=0}"
: >"$OURS_EXTRA_TSV"

if [ ! -x "$ZP" ] || [ ! -x "$ZD" ]; then
  log "ours.sh: $ZP or $ZD missing (build the targets zem_perf and zem_decode_file); our rows skipped"
else

# Correctness first, untimed: the attachments must be the generated ones.
rm -rf "$WORK/ours-chk"
"$ZP" retr --port "$POP3_PORT" --user perf --pass perf --decode --dir "$WORK/ours-chk/p" >/dev/null 2>&1 &&
  check_md5 "$WORK/ours-chk/p/att-10m.bin" "$(md5_of att-10m.bin)" "ours RETR + decode 10M attachment"
"$ZD" "$DATA/att-50m.eml" "$WORK/ours-chk/d" >/dev/null 2>&1 &&
  check_md5 "$WORK/ours-chk/d/att-50m.bin" "$(md5_of att-50m.bin)" "ours decoder 50M attachment"
rm -rf "$WORK/ours-chk"

bench SEND-10M "ours (compose+send)" "$M10" MiB \
  "$ZP send-attach --port $SMTP_PORT $DATA/att-10m.bin"
bench SEND-MANY-1CONN "ours (compose each)" 1000 msg \
  "$ZP send-many --port $SMTP_PORT --count 1000"
bench SEND-MANY-1000CONN "ours (new conn each)" 1000 msg \
  "$ZP send-conn --port $SMTP_PORT --count 1000"
bench RETR-DECODE-10M "ours (RETR + decode)" "$M10" MiB \
  "$ZP retr --port $POP3_PORT --user perf --pass perf --decode --dir $WORK/out-ours" "rm -rf $WORK/out-ours"
bench RETR-DECODE-10M "ours raw (RETR -> file, no decode)" "$M10" MiB \
  "$ZP retr --port $POP3_PORT --user perf --pass perf --raw --dir $WORK/out-ours-raw" "rm -rf $WORK/out-ours-raw"
bench DECODE-50M "ours (zem_decode_file, from disk)" "$M50" MiB \
  "$ZD $DATA/att-50m.eml $WORK/out-ours-dec" "rm -rf $WORK/out-ours-dec"

# ours_extra NAME RUNS CMD...: runs CMD RUNS times and keeps its summary lines
# ("zem_perf MODE key=value ...") in $OURS_EXTRA_TSV, one row per run.
ours_extra() {
  local name=$1 runs=$2 line
  shift 2
  if [ -n "$ONLY" ] && ! [[ "$name ours" =~ $ONLY ]]; then return 0; fi
  for _ in $(seq 1 "$runs"); do
    if line=$("$@" 2>&1 >/dev/null | grep '^zem_perf '); then
      printf '%s\t%s\n' "$name" "$line" >>"$OURS_EXTRA_TSV"
    else
      printf '%s\tFAILED\n' "$name" >>"$OURS_EXTRA_TSV"
      log "FAILED: $name ($*)"
    fi
  done
  log "$(printf '%-22s %s' "$name" "$(tail -n 1 "$OURS_EXTRA_TSV" | cut -f2)")"
}

ours_extra CHANNELS-128 "$OURS_EXTRA_RUNS" "$ZP" channels --port "$SMTP_PORT" --count 128
ours_extra WAIT-CPU 1 "$ZP" wait-cpu
# Default timings: 25 ms step delay, 200 ms login pause, 500 ms close pause.
ours_extra LATENCY-DEFAULT-1CONN 1 "$ZP" send-many --port "$SMTP_PORT" --count 20 --default-timings
ours_extra LATENCY-DEFAULT-CONN 1 "$ZP" send-conn --port "$SMTP_PORT" --count 5 --default-timings
ours_extra LATENCY-DEFAULT-CHANNELS 1 "$ZP" channels --port "$SMTP_PORT" --count 8 --default-timings

fi
