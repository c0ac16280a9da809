#!/usr/bin/env bash
# The Debian packages: cpack -G DEB in BUILD_DIR makes libzem32-3, libzem32-dev and
# zem32-tools with the files each one should hold. examples/ is built against the
# packages' own files, unpacked into a fresh root, with pkg-config and with find_package.
# As root on a machine without a ZEM32 package they are also installed with dpkg -i, found
# there by pkg-config, find_package, the loader and man, and removed again.
#
# Every check names the packages' own directories: a copy installed under /usr/local
# (cmake --install) comes first in the compiler's, the loader's, pkg-config's and man's
# default search paths, and must neither pass nor fail a check of the packages.
#
#   tests/package/test_package.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build="$(cd "$1" && pwd)"
src="$(cd "$2" && pwd)"
work="$(mktemp -d /tmp/zem-package-test.XXXXXX)"
installed=0
cleanup() {
  if [ $installed -eq 1 ]; then dpkg -P zem32-tools libzem32-dev libzem32-3 >/dev/null 2>&1; fi
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

# Nothing in the caller's environment may point a search elsewhere.
unset PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR CMAKE_PREFIX_PATH zem32_DIR zem32_ROOT LD_LIBRARY_PATH MANPATH
# The packages' directories, from the packages themselves (paths without the leading '.').
contents() { dpkg-deb -c "$(deb "$1")" | awk '{print substr($6, 2)}' | grep -v '/$'; }
where() { contents "$1" | grep -E -- "$2" | head -n1; }
libdir="$(dirname "$(where libzem32-3 '/libzem32\.so\.3\.4\.2$')")"
pcdir="$(dirname "$(where libzem32-dev '/pkgconfig/zem32\.pc$')")"
cmakedir="$(dirname "$(where libzem32-dev '/cmake/zem32/zem32Config\.cmake$')")"
incdir="$(dirname "$(where libzem32-dev '/zem32\.h$')")"
manpage="$(where libzem32-dev '/man3/zemSendMessageFile\.3')"
sendbin="$(where zem32-tools '/bin/zem-send$')"
equal() { [ "$1" = "$2" ] || { echo "got '$1', expected '$2'"; return 1; }; }
# The zem32Config.cmake directory that find_package took in a build directory.
cmake_took() { realpath -m "$(sed -n 's/^zem32_DIR:PATH=//p' "$1/CMakeCache.txt")"; }
# loads_from BIN DIR [LD_LIBRARY_PATH]: the loader takes libzem32.so.3 for BIN from DIR.
loads_from() {
  local got
  got="$(if [ -n "${3:-}" ]; then LD_LIBRARY_PATH="$3" ldd "$1"; else ldd "$1"; fi | awk '$1 == "libzem32.so.3" {print $3}')"
  [ -n "$got" ] && [ "$(realpath "$got")" = "$(realpath "$2/libzem32.so.3")" ] ||
    { echo "libzem32.so.3 => ${got:-nothing}, expected $2"; return 1; }
}

# The builds use the packages unpacked into a fresh root: against the installed packages
# the compiler would take a header under /usr/local before theirs, whatever pkg-config and
# find_package say.
root="$work/root"
for p in libzem32-3 libzem32-dev zem32-tools; do dpkg-deb -x "$(deb $p)" "$root"; done
pkgconfig=(env PKG_CONFIG_LIBDIR="$root$pcdir" pkg-config --define-prefix)
check "pkg-config finds zem32 3.4.2" equal "$("${pkgconfig[@]}" --modversion zem32 2>&1)" 3.4.2
# The .pc file is relocatable (its prefix follows pcfiledir): compare the resolved path.
check "pkg-config points into the package" \
  equal "$(realpath -m "$("${pkgconfig[@]}" --variable=includedir zem32 2>&1)")" "$root$incdir"

cp -r "$src/examples" "$work/examples-pc"
check "examples build with pkg-config" make -C "$work/examples-pc" PKG_CONFIG="${pkgconfig[*]}"
check "an example loads the packaged library" loads_from "$work/examples-pc/send_blocking" "$root$libdir" "$root$libdir"

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
check "find_package takes the package's CMake files" equal "$(cmake_took "$work/cmake-app/build")" "$root$cmakedir"
check "examples build with find_package" cmake --build "$work/cmake-app/build"
check "an example of find_package loads the packaged library" loads_from "$work/cmake-app/build/send_blocking" "$root$libdir"
check "zem-send of the package runs" "$root$sendbin" --version
check "zem-send of the package loads the library beside it" loads_from "$root$sendbin" "$root$libdir"

# The machine itself, when we are root and no ZEM32 package is installed there (dpkg -s
# also knows a removed package whose postrm is kept: that one does not count).
installed_here() { dpkg-query -W -f='${db:Status-Status}\n' libzem32-3 libzem32-dev zem32-tools 2>/dev/null |
  grep -qvx -e not-installed -e config-files; }
if [ "$(id -u)" -eq 0 ] && ! installed_here; then
  check "dpkg -i of the three packages" dpkg -i "$(deb libzem32-3)" "$(deb libzem32-dev)" "$(deb zem32-tools)"
  installed=1
  check "pkg-config finds the installed zem32 3.4.2" equal "$(PKG_CONFIG_LIBDIR=$pcdir pkg-config --modversion zem32 2>&1)" 3.4.2
  check "its include directory is the package's" \
    equal "$(realpath -m "$(PKG_CONFIG_LIBDIR=$pcdir pkg-config --variable=includedir zem32 2>&1)")" "$incdir"
  check "find_package finds the installed package" cmake -S "$work/cmake-app" -B "$work/cmake-sys" -DCMAKE_PREFIX_PATH=/usr
  check "find_package takes the installed CMake files" equal "$(cmake_took "$work/cmake-sys")" "$cmakedir"
  check "the installed zem-send runs" "$sendbin" --version
  check "the installed zem-send loads the installed library" loads_from "$sendbin" "$libdir"
  # man searched in the packages' manual directory only (/usr/local/share/man comes first).
  command -v man >/dev/null && check "man finds the installed zemSendMessageFile(3)" \
    equal "$(MANPATH="${manpage%/man3/*}" man -w zemSendMessageFile 2>&1)" "$manpage"
  # Purged, not only removed: dpkg would keep them in its database for their postrm.
  check "dpkg -P removes them again" dpkg -P zem32-tools libzem32-dev libzem32-3
  installed=0
  left=()
  for p in libzem32-3 libzem32-dev zem32-tools; do
    while read -r f; do if [ -e "$f" ] || [ -L "$f" ]; then left+=("$f"); fi; done < <(contents "$p")
  done
  check "nothing of theirs is left" equal "${left[*]}" ""
  check "dpkg knows them no more" equal "$(dpkg-query -W libzem32-3 libzem32-dev zem32-tools 2>/dev/null)" ""
fi
echo "# package test: $failures failed"
[ $failures -eq 0 ]
