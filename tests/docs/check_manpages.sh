#!/bin/sh
# Every export declared in include/zem32.h has its page man/man3/NAME.3 (whose NAME line
# names it), no page documents an export that is gone, and every page, the generated
# zem32(7) included, passes mandoc -Tlint without a warning.
#   tests/docs/check_manpages.sh SOURCE_DIR GENERATED_ZEM32_7
set -u
src=$1
gen=$2
fail=0
exports=$(sed -n 's/^ZEM_API int32_t \(zem[A-Za-z0-9]*\)(.*/\1/p' "$src/include/zem32.h")
[ -n "$exports" ] || { echo "no exports found in zem32.h"; exit 1; }
for e in $exports; do
  page="$src/man/man3/$e.3"
  if [ ! -f "$page" ]; then
    echo "missing page man/man3/$e.3 for the export $e (copy man/man3/TEMPLATE.3.txt)"; fail=1; continue
  fi
  grep -q "^$e \\\\- " "$page" || { echo "man/man3/$e.3: its NAME line does not name $e"; fail=1; }
  grep -q '^\.SH ERRORS' "$page" || { echo "man/man3/$e.3: no ERRORS section"; fail=1; }
  grep -q '^\.SH EXAMPLE' "$page" || { echo "man/man3/$e.3: no EXAMPLE section"; fail=1; }
done
for page in "$src"/man/man3/*.3; do
  name=$(basename "$page" .3)
  echo "$exports" | grep -qx "$name" || { echo "man/man3/$name.3 documents no export of zem32.h"; fail=1; }
done
# Every error code of the table and every parameter constant made it into zem32(7).
for name in $(sed -n 's/^#define \(ZEM_\(ERR\|PARAM\|STRING\)_[A-Z0-9_]*\).*/\1/p' "$src/include/zem32.h"); do
  grep -q "$(echo "$name" | sed 's/_/_/g')" "$gen" || { echo "zem32(7) lacks $name"; fail=1; }
done
for page in "$src"/man/man3/*.3 "$src"/man/man3/TEMPLATE.3.txt "$src"/man/man1/*.1 "$gen"; do
  out=$(mandoc -Tlint -Wwarning "$page" 2>&1)
  [ -z "$out" ] || { echo "$out"; fail=1; }
done
[ $fail -eq 0 ] && echo "manual pages ok: $(echo "$exports" | wc -l) exports, every one with its page"
exit $fail
