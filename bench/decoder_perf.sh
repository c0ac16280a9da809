# The incoming decoder in the perf kit's run, beside its peers. Sourced by the kit's
# peers.sh (perf/peers.sh beside this file) through PERF_EXTRA, for example from the top
# of the repository:
#
#   python3 bench/perf/gen_messages.py
#   PERF_ONLY='RETR-DECODE-10M|DECODE-50M' PERF_EXTRA=$PWD/bench/decoder_perf.sh \
#     flock /tmp/zem-integration.lock bench/perf/peers.sh
#
# ZEM_BUILD names the build directory (default: build beside this directory). Rows:
#   DECODE-50M       the decoder alone on att-50m.eml (zem_decode_file: every line of the
#                    file through the decoder's line entry, attachment and message file written)
#   RETR-DECODE-10M  zem-pop fetch: POP3 RETR of att-10m.eml decoded on the fly
ZEM_BUILD=${ZEM_BUILD:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build}
ZEM_DECODE="$ZEM_BUILD/bench/zem_decode_file"
ZEM_POP="$ZEM_BUILD/tools/zem-pop -q --server 127.0.0.1 --port $POP3_PORT --user perf --password perf"

# Correctness first, untimed: the attachments must be the generated ones.
rm -rf "$W/zem-chk"
"$ZEM_DECODE" "$DATA/att-50m.eml" "$W/zem-chk/d" >/dev/null &&
  check_md5 "$W/zem-chk/d/att-50m.bin" "$(md5_of att-50m.bin)" "zem decoder 50M attachment"
$ZEM_POP fetch 1 --dir "$W/zem-chk/p" --attach-dir "$W/zem-chk/p/a" >/dev/null &&
  check_md5 "$W/zem-chk/p/a/att-10m.bin" "$(md5_of att-10m.bin)" "zem-pop RETR+decode 10M attachment"
rm -rf "$W/zem-chk"

bench DECODE-50M "zem decoder (line entry, from disk)" "$M50" MiB \
  "$ZEM_DECODE $DATA/att-50m.eml $W/out-zem" "rm -rf $W/out-zem"
bench RETR-DECODE-10M "zem-pop fetch (RETR + decode)" "$M10" MiB \
  "$ZEM_POP fetch 1 --dir $W/out-zp --attach-dir $W/out-zp/a" "rm -rf $W/out-zp"
