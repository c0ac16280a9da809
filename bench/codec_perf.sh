# Our base64 rows for the peer kit (sourced by peers.sh through PERF_EXTRA):
#   OURS_BIN=build/bench PERF_ONLY='CODEC' PERF_EXTRA=bench/codec_perf.sh peers.sh
bench CODEC-B64-ENC-100M "ours zemEncodeBuffer (76/line)" $M100 MiB "$OURS_BIN/codec_bench enc $DATA/rand-100m.bin"
bench CODEC-B64-DEC-100M "ours zemDecodeBuffer" $M100 MiB "$OURS_BIN/codec_bench dec $DATA/rand-100m.b64"
