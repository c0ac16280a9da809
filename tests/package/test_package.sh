#!/usr/bin/env bash
# The Debian packages: cpack -G DEB in BUILD_DIR makes libzem32-3, libzem32-dev and
# zem32-tools with the files each one should hold; they are installed (as root on the test
# machine with dpkg -i, else unpacked into a fresh root with dpkg-deb -x), examples/ is
# built against them with pkg-config and with find_package, and they are removed again.
#
#   tests/package/test_package.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build="$(cd "$1" && pwd)"
src="$(cd "$2" && pwd)"
work="$(mktemp -d /tmp/zem-package-test.XXXXXX)"
installed=0
cleanup() {
  if [ $installed -eq 1 ]; then dpkg -r zem32-tools libzem32-dev libzem32-3 >/dev/null 2>&1; fi
  rm -rf "$work"
}
trap cleanup EXIT
# One package test on the machine at a time: dpkg -i of the same packages must not overlap.
exec 9>/tmp/zem-package.lock
flock 9

failures=0
ok() { echo "ok   - $1"; }
not_ok() { echo "FAIL - $1"; failures=$((failures + 1)); }
check() { local name=$1; shift; if "$@" >"$work/out" 2>&1; then ok "$name"; else not_ok "$name"; sed 's/^/    /' "$work/out" | tail -20; fi; }

t0=$(date +%s)
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/debs") >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "FAIL - cpack -G DEB"; exit 1; }
echo "# cpack: $(($(date +%s) - t0)) s"
deb() { ls "$work"/debs/"$1"_*.deb 2>/dev/null | head -n1; }
for p in libzem32-3 libzem32-dev zem32-tools; do
  if [ -n "$(deb $p)" ]; then ok "cpack made $p"; else not_ok "cpack made $p"; fi
done
[ $failures -eq 0 ] || exit 1

holds() { dpkg-deb -c "$(deb "$1")" | awk '{print $6}' | grep -Eq -- "$2"; }
check "libzem32-3 holds the shared library" holds libzem32-3 '/usr/lib/.*libzem32\.so\.3\.4\.2$'
check "libzem32-3 holds no .so link" bash -c "! dpkg-deb -c '$(deb libzem32-3)' | grep -q 'libzem32\.so ->'"
check "libzem32-dev holds the header" holds libzem32-dev '/usr/include/zem32\.h$'
check "libzem32-dev holds the .so link" bash -c "dpkg-deb -c '$(deb libzem32-dev)' | grep -q 'libzem32\.so -> libzem32\.so\.3'"
check "libzem32-dev holds zem32.pc" holds libzem32-dev '/pkgconfig/zem32\.pc$'
check "libzem32-dev holds the CMake package" holds libzem32-dev '/cmake/zem32/zem32Config\.cmake$'
check "libzem32-dev holds zemSendMessageFile(3)" holds libzem32-dev '/man/man3/zemSendMessageFile\.3'
check "libzem32-dev holds zem32(7)" holds libzem32-dev '/man/man7/zem32\.7'
check "zem32-tools holds zem-send" holds zem32-tools '/usr/bin/zem-send$'
check "zem32-tools holds zem-pop(1)" holds zem32-tools '/man/man1/zem-pop\.1'
check "libzem32-dev depends on libzem32-3" bash -c "dpkg-deb -f '$(deb libzem32-dev)' Depends | grep -q 'libzem32-3 (= 3.4.2)'"
check "libzem32-3 depends on libc6" bash -c "dpkg-deb -f '$(deb libzem32-3)' Depends | grep -q libc6"

# Where the packages go: the machine itself when we are root and no other ZEM32 package is
# there, else a fresh root.
if [ "$(id -u)" -eq 0 ] && ! dpkg -s libzem32-3 >/dev/null 2>&1; then
  root=""
  check "dpkg -i of the three packages" dpkg -i "$(deb libzem32-3)" "$(deb libzem32-dev)" "$(deb zem32-tools)"
  installed=1
  export PKG_CONFIG_LIBDIR=/usr/lib/pkgconfig:/usr/share/pkgconfig # not /usr/local
  pkgconfig=(pkg-config)
else
  root="$work/root"
  for p in libzem32-3 libzem32-dev zem32-tools; do dpkg-deb -x "$(deb $p)" "$root"; done
  export PKG_CONFIG_LIBDIR="$root/usr/lib/pkgconfig"
  export LD_LIBRARY_PATH="$root/usr/lib"
  pkgconfig=(pkg-config --define-prefix)
fi
check "pkg-config finds zem32 3.4.2" bash -c "[ \"\$(${pkgconfig[*]} --modversion zem32)\" = 3.4.2 ]"
# The .pc file is relocatable (its prefix follows pcfiledir): compare the resolved path.
check "pkg-config points into the package" bash -c "[ \"\$(realpath -m \"\$(${pkgconfig[*]} --variable=includedir zem32)\")\" = '$root/usr/include' ]"

cp -r "$src/examples" "$work/examples-pc"
check "examples build with pkg-config" make -C "$work/examples-pc" PKG_CONFIG="${pkgconfig[*]}"
check "an example finds the packaged library" bash -c "LD_LIBRARY_PATH=$root/usr/lib ldd '$work/examples-pc/send_blocking' | grep -Eq 'libzem32.so.3 => ($root/usr)?/lib/libzem32.so.3'"

mkdir -p "$work/cmake-app"
cat >"$work/cmake-app/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.20)
project(zem_app C)
find_package(zem32 3.4 REQUIRED)
foreach(ex send_blocking send_many_nonblocking read_mailbox)
  add_executable(\${ex} $src/examples/\${ex}.c)
  target_compile_definitions(\${ex} PRIVATE _POSIX_C_SOURCE=200809L)
  target_link_libraries(\${ex} PRIVATE zem32::zem32)
endforeach()
CMAKE
check "examples configure with find_package" cmake -S "$work/cmake-app" -B "$work/cmake-app/build" -DCMAKE_PREFIX_PATH="$root/usr"
check "examples build with find_package" cmake --build "$work/cmake-app/build"
check "zem-send of the package runs" "$root/usr/bin/zem-send" --version
if [ -z "$root" ]; then
  command -v man >/dev/null && check "man finds zemSendMessageFile(3)" bash -c "man -w zemSendMessageFile | grep -q /usr/share/man/man3/"
  check "dpkg -r removes them again" dpkg -r zem32-tools libzem32-dev libzem32-3
  installed=0
  check "nothing is left" bash -c "[ ! -e /usr/include/zem32.h ] && [ ! -e /usr/bin/zem-send ] && ! ls /usr/lib/libzem32.so* 2>/dev/null"
fi
echo "# package test: $failures failed"
[ $failures -eq 0 ]
