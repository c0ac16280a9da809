#!/usr/bin/env bash
# Each room of src/ includes only rooms below it (and its own); rooms of one level never
# include each other. The order is the one docs/rooms.md explains.
set -euo pipefail
src="${1:-$(dirname "$0")/../src}"
declare -A level=([platform]=0 [frame]=1 [codec]=2 [text]=3 [driver]=4
                  [sasl]=5 [mime]=5 [compose]=5 [smtp]=6 [pop3]=6 [imap]=6 [api]=7)
bad=0
for dir in "$src"/*/; do
  room=$(basename "$dir")
  [ -n "${level[$room]+x}" ] || { echo "src/$room: a room without a place in the order"; bad=1; continue; }
  while IFS=: read -r file _ inc; do
    to=$(sed -E 's/.*#include "([a-z0-9_]+)\/.*/\1/' <<<"$inc")
    [ "$to" = "$room" ] && continue
    [ -n "${level[$to]+x}" ] || continue
    if [ "${level[$to]}" -ge "${level[$room]}" ]; then
      echo "${file#"$src"/}: $room (level ${level[$room]}) includes $to (level ${level[$to]})"; bad=1
    fi
  done < <(grep -Hn '#include "[a-z0-9_]*/' "$dir"* || true)
done
[ $bad -eq 0 ] && echo "rooms ok"
exit $bad
