#!/usr/bin/env bash
# The README's build commands, word for word, in a clean clone of the repository:
#   library only    the packages of the tools, tests and benchmarks count as missing
#                   (CMAKE_TOOLCHAIN_FILE=hide_optional.cmake sets CMAKE_DISABLE_FIND_PACKAGE_*
#                   for CLI11, GTest and benchmark): the library and its pages build and
#                   install, configure names each skipped part once;
#   everything      the same commands build the tools and the tests too.
# The apt-get line is checked, not run: every package it names must be installed. The
# install goes under DESTDIR, never into the machine.
#
#   tests/fresh/test_fresh_clone.sh SOURCE_DIR [library|full|both]
set -uo pipefail
src="$(cd "$1" && pwd)"
mode="${2:-both}"
work="$(mktemp -d /tmp/zem-fresh.XXXXXX)"
trap '[ -n "${ZEM_KEEP:-}" ] || rm -rf "$work"' EXIT
failures=0
ok() { echo "ok   - $1"; }
not_ok() { echo "FAIL - $1"; failures=$((failures + 1)); }

# The block after the marker line in README.md.
commands="$(awk '/^<!-- fresh-machine: build -->$/ {m=1; next} m && /^```sh$/ {b=1; next} b && /^```$/ {exit} b {print}' "$src/README.md")"
[ -n "$commands" ] || { echo "FAIL - README.md has no marked build block"; exit 1; }
apt_line="$(echo "$commands" | grep '^apt-get install ')"
build_lines="$(echo "$commands" | grep -v '^apt-get install ')"
for pkg in ${apt_line#apt-get install }; do
  if dpkg -s "$pkg" >/dev/null 2>&1; then ok "README package $pkg is installed"; else not_ok "README package $pkg is installed"; fi
done

run_readme() { # NAME: clones, runs the build lines; output in $work/NAME.log
  local name=$1 t0
  git clone -q "$src" "$work/$name" || { not_ok "clone for $name"; return 1; }
  t0=$(date +%s)
  (cd "$work/$name" && export DESTDIR="$work/$name-root" && set -e && eval "$build_lines") >"$work/$name.log" 2>&1
  local rc=$?
  echo "# $name: the README's commands took $(($(date +%s) - t0)) s"
  if [ $rc -eq 0 ]; then ok "$name: the README's commands succeed"; else not_ok "$name: the README's commands succeed"; tail -30 "$work/$name.log"; fi
}
has() { if grep -Eq -- "$3" "$2"; then ok "$1"; else not_ok "$1"; fi; }
exists() { if [ -e "$2" ]; then ok "$1"; else not_ok "$1 ($2)"; fi; }
absent() { if [ -e "$2" ]; then not_ok "$1 ($2)"; else ok "$1"; fi; }

if [ "$mode" = library ] || [ "$mode" = both ]; then
  CMAKE_TOOLCHAIN_FILE="$src/tests/fresh/hide_optional.cmake" run_readme library
  log="$work/library.log"
  has "library: configure names the skipped tools" "$log" "CLI11 not found .*tools skipped"
  has "library: configure names the skipped tests" "$log" "GoogleTest or Python 3 not found.*tests skipped"
  has "library: configure names the skipped benchmarks" "$log" "Google Benchmark not found.*benchmarks skipped"
  equal=$(grep -c "not found (apt-get install .*skipped" "$log"); [ "$equal" -eq 3 ] && ok "library: one message each" || not_ok "library: one message each ($equal)"
  exists "library: libzem32.so.3 built" "$work/library/build/libzem32.so.3"
  absent "library: no tools built" "$work/library/build/tools/zem-send"
  absent "library: no tests built" "$work/library/build/tests/zem_tests"
  r="$work/library-root/usr/local"
  exists "library: the header is installed" "$r/include/zem32.h"
  exists "library: zem32.pc is installed" "$(ls "$r"/lib*/pkgconfig/zem32.pc 2>/dev/null | head -n1)"
  exists "library: zemSendEmail(3) is installed" "$r/share/man/man3/zemSendEmail.3"
  exists "library: zem32(7) is installed" "$r/share/man/man7/zem32.7"
fi
if [ "$mode" = full ] || [ "$mode" = both ]; then
  run_readme full
  log="$work/full.log"
  if grep -q "not found (apt-get install .*skipped" "$log"; then not_ok "full: nothing is skipped"; grep "not found" "$log"; else ok "full: nothing is skipped"; fi
  exists "full: zem-send built" "$work/full/build/tools/zem-send"
  exists "full: the tests built" "$work/full/build/tests/zem_tests"
  exists "full: zem-pop is installed" "$work/full-root/usr/local/bin/zem-pop"
  exists "full: zem-send(1) is installed" "$work/full-root/usr/local/share/man/man1/zem-send.1"
fi
echo "# fresh-machine check: $failures failed"
[ $failures -eq 0 ]
