#!/usr/bin/env bash
# ZEM32 in one command, on a fresh Debian 12 machine as root (safe to run again):
#   1. installs the build dependencies that are missing,
#   2. builds the library and the tools and installs them under /usr/local,
#   3. starts the loopback mail servers of the test suite (Postfix and Dovecot on
#      127.0.0.1 only; tests/fixtures/mailservers.sh),
#   4. sends a message with a random attachment to alice@zem.test with zem-send
#      (SMTP with authentication), waits for its delivery,
#   5. fetches it back with zem-pop (POP3) and compares the saved attachment with the
#      original, then deletes the message again.
# The servers stay up afterwards for trying the tools; tests/fixtures/mailservers.sh stop
# ends them.
#
#   scripts/demo.sh [--prefix DIR]     (default prefix /usr/local)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
prefix=/usr/local
if [ "${1:-}" = "--prefix" ] && [ -n "${2:-}" ]; then prefix="$2"; fi
jobs="$(nproc 2>/dev/null || echo 2)"
build="$root/build-demo"
work=/tmp/zem-demo
servers="$root/tests/fixtures/mailservers.sh"
t0=$(date +%s)

step() { printf '\n==> %s\n' "$*"; }
fail() { printf '\nDEMO FAILED: %s\n' "$*" >&2; exit 1; }

step "Checking the build dependencies"
need=()
for pkg in build-essential cmake g++ pkg-config libssl-dev libcli11-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || fail "missing packages ${need[*]}: run as root to install them"
  echo "installing ${need[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
else
  echo "all present"
fi

step "Building ZEM32 and its tools (build-demo/)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DZEM_TESTS=OFF -DZEM_BENCH=OFF -DZEM_TOOLS=ON >"$work.cmake.log" 2>&1 ||
  { cat "$work.cmake.log"; fail "cmake configure failed"; }
cmake --build "$build" -j"$jobs" >"$work.build.log" 2>&1 || { tail -40 "$work.build.log"; fail "build failed"; }
echo "built $(ls "$build"/libzem32.so.* | head -n1 | xargs basename), zem-send, zem-pop"

step "Installing under $prefix"
cmake --install "$build" >"$work.install.log" 2>&1 || { cat "$work.install.log"; fail "install failed"; }
command -v ldconfig >/dev/null && ldconfig 2>/dev/null || true
send="$prefix/bin/zem-send"
pop="$prefix/bin/zem-pop"
"$send" --version

step "Starting the loopback mail servers"
"$servers" start
set -a
eval "$("$servers" env)"
set +a
# The password comes from the environment, never from the command line (ps shows that).
export ZEM_POP3_PASSWORD=alice-secret ZEM_SMTP_PASSWORD=alice-secret
zpop() { "$pop" --server "$ZEM_POP3_HOST" --port "$ZEM_POP3_PORT" --user alice@zem.test "$@"; }
before="$(zpop -q count)" || fail "zem-pop count failed"
echo "alice@zem.test has $before message(s)"

step "Sending a message with a random attachment (zem-send, SMTP AUTH)"
rm -rf "$work"
mkdir -p "$work"
head -c 300000 /dev/urandom >"$work/random.bin"
subject="ZEM32 demo $(date +%Y%m%d-%H%M%S)-$$"
"$send" --server "$ZEM_SMTP_HOST" --port "$ZEM_SMTP_PORT" \
  --user alice@zem.test \
  --from alice@zem.test --to alice@zem.test \
  --subject "$subject" --text "A random attachment, sent by zem-send." \
  --attach "$work/random.bin" --log "$work/send.log" || fail "zem-send failed (log: $work/send.log)"
grep -a "^S: AUTH" "$work/send.log" | head -n1 | sed 's/^S: /authenticated with /' || true

step "Waiting for the delivery to alice@zem.test"
"$servers" wait-mail alice $((before + 1)) 60 >/dev/null || fail "the message was not delivered within 60 s"
echo "delivered"

step "Fetching it back (zem-pop, POP3)"
echo "alice@zem.test holds (number, size in bytes):"
zpop list || fail "zem-pop list failed"
n="$(zpop -q count)"
msg=0
for ((i = n; i >= 1; i--)); do
  if zpop -q top "$i" 0 | grep -qxF "Subject: $subject"; then msg=$i; break; fi
done
[ "$msg" -gt 0 ] || fail "the demo message is not in the mailbox"
zpop fetch "$msg" --dir "$work/inbox" --attach-dir "$work/inbox/attachments" --log "$work/pop.log" ||
  fail "zem-pop fetch failed (log: $work/pop.log)"

step "Comparing the attachment"
sent="$work/random.bin"
got="$work/inbox/attachments/random.bin"
[ -f "$got" ] || fail "no attachment was saved"
sha256sum "$sent" "$got"
cmp "$sent" "$got" || fail "the saved attachment differs from the original"
zpop delete "$msg" >/dev/null || fail "zem-pop delete failed"
echo "the demo message was deleted from the mailbox again"

printf '\nDEMO PASSED: the attachment fetched back is identical to the one sent (%s bytes, %s s).\n' \
  "$(stat -c %s "$got")" "$(($(date +%s) - t0))"
printf 'Files: %s. The servers keep running: try zem-send --help and zem-pop --help;\n' "$work"
printf 'stop them with tests/fixtures/mailservers.sh stop\n'
