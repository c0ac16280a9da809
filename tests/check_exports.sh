#!/usr/bin/env bash
# The shared library must export the zem* functions and nothing else of its own.
set -euo pipefail
lib="$1"
syms=$(nm -D --defined-only "$lib" | awk '$2 ~ /[TtWwDdBbRrVv]/ {print $3}' | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' || true)
bad=$(echo "$syms" | grep -v -E '^zem[A-Z][A-Za-z0-9]*$' || true)
if [ -n "$bad" ]; then echo "unexpected exported symbols:"; echo "$bad"; exit 1; fi
for f in zemAttach zemRelease zemErrorText zemIntegerParam zemStringParam zemDebug zemStatistics zemDriver \
         zemClose zemAbort zemWaitAny zemSmtpConnect zemVerifyUser zemSendEmail zemPop3Connect zemGetEmailCount \
         zemGetEmailSize zemGetEmailUID zemDeleteEmail zemCommand zemGetEmailLines zemGetEmailFile \
         zemEncodeBuffer zemDecodeBuffer zemVerifyFormat zemExtractText zemExtractLine zemSendMessageFile \
         zemImapConnect zemImapList zemImapSelect zemImapSearch zemImapFetchFile zemImapFetchHeader \
         zemImapStore zemImapCopy zemImapExpunge zemImapAppend zemImapMailbox zemImapIdle; do
  echo "$syms" | grep -qx "$f" || { echo "missing export $f"; exit 1; }
done
soname=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
[ "$soname" = "libzem32.so.3" ] || { echo "bad SONAME $soname"; exit 1; }
echo "exports ok"
