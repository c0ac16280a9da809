#!/bin/sh
# Fills the tables of zem32(7) from the sources, so that every error code, parameter code,
# diagnostic index and counter a developer adds to include/zem32.h and
# src/frame/errors.cpp appears in the page without editing it:
#
#   man/gen_tables.sh zem32.7.in include/zem32.h src/frame/errors.cpp > zem32.7
#
# Lines "@TABLE kind@" of the template become tbl(1) tables (kind: errors, integer,
# string, debug, statistics). Only sh and awk are needed.
set -eu
template=$1
header=$2
errors=$3
awk -v header="$header" -v errors="$errors" '
function esc(s) {
    gsub(/\\/, "\\e", s)
    gsub(/-/, "\\-", s)
    gsub(/\t/, " ", s)
    sub(/^[.\047]/, "\\\\\\&&", s)
    return s
}
function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
# Every "#define PREFIX... value /* comment */" of the header, in order.
function defines(prefix, out,    line, n, name, value, comment, pending, open, part) {
    n = 0
    pending = ""; open = 0
    while ((getline line < header) > 0) {
        # A comment block right above a define describes it when the line has none.
        if (open || line ~ /^\/\*/) {
            part = line; sub(/^[ \t]*(\/\*|\*)?[ \t]*/, "", part); sub(/[ \t]*\*\/.*$/, "", part)
            pending = (open && pending != "") ? pending " " part : part
            open = (line !~ /\*\//)
            continue
        }
        if (line !~ "^#define " prefix) { pending = ""; continue }
        name = line; sub(/^#define /, "", name); sub(/[ \t(].*/, "", name)
        value = line; sub(/^#define [A-Z0-9_]+[ \t]+/, "", value)
        comment = ""
        if (value ~ /\/\*/) { comment = value; sub(/^[^\/]*\/\*[ \t]*/, "", comment); sub(/[ \t]*\*\/.*$/, "", comment) }
        else comment = pending
        pending = ""
        sub(/[ \t]*\/\*.*$/, "", value); gsub(/[()]/, "", value); value = trim(value)
        if (value !~ /^-?[0-9]+$/) continue
        n++; out[n, "name"] = name; out[n, "value"] = value; out[n, "comment"] = comment
    }
    close(header)
    return n
}
function table(head, n, arr, withComment,    i) {
    print ".TS"
    print "tab(\t);"
    print withComment ? "lb lb lb\nl l lx." : "lb lb\nl l."
    print head
    for (i = 1; i <= n; i++) {
        if (withComment)
            printf "%s\t%s\tT{\n%s\nT}\n", esc(arr[i, "value"]), esc(arr[i, "name"]), esc(arr[i, "comment"])
        else
            printf "%s\t%s\n", esc(arr[i, "value"]), esc(arr[i, "name"])
    }
    print ".TE"
}
function errortable(    line, code, text, n, i, names, k, d) {
    k = defines("ZEM_(ERR|SOCK)_", d)
    for (i = 1; i <= k; i++) names[d[i, "value"]] = d[i, "name"]
    print ".TS"
    print "tab(\t);"
    print "lb lb lb\nr l lx."
    print "Code\tName\tText"
    while ((getline line < errors) > 0) {
        if (line !~ /^[ \t]*\{-?[0-9]+, ".*"\},/) continue
        code = line; sub(/^[ \t]*\{/, "", code); sub(/,.*/, "", code)
        if (code == 999) continue
        text = line; sub(/^[^"]*"/, "", text); sub(/"\},.*$/, "", text); gsub(/\\"/, "\"", text)
        printf "%s\t%s\tT{\n%s\nT}\n", esc(code), (code in names) ? esc(names[code]) : "\\(em", esc(text)
    }
    close(errors)
    print ".TE"
}
/^@TABLE errors@$/ { errortable(); next }
/^@TABLE integer@$/ { n = defines("ZEM_PARAM_", a); table("Code\tName\tMeaning (scope: default)", n, a, 1); delete a; next }
/^@TABLE string@$/ { n = defines("ZEM_STRING_", a); table("Code\tName\tMeaning", n, a, 1); delete a; next }
/^@TABLE debug@$/ { n = defines("ZEM_DEBUG_", a); table("Index\tName", n, a, 0); delete a; next }
/^@TABLE statistics@$/ { n = defines("ZEM_STAT_", a); table("Index\tName", n, a, 0); delete a; next }
{ print }
' "$template"
