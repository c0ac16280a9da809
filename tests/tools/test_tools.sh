#!/usr/bin/env bash
# End-to-end tests of zem-send, zem-pop and the C examples against the loopback mail
# servers of tests/fixtures/mailservers.sh (Postfix and Dovecot on 127.0.0.1).
#
#   tests/tools/test_tools.sh [BUILD_DIR]     (default: build)
#
# The tools are taken from BUILD_DIR/tools. The examples are built from a copy with their
# own Makefile against an installation of BUILD_DIR made under a temporary prefix (header,
# library, zem32.pc); with ZEM_EXAMPLES_INSTALLED=1 they use the library installed on the
# machine instead. All mail goes to carol@zem.test, whose mailbox the tests empty.
# ZEM_MAILSERVERS may name another server script with the same commands (start, env,
# wait-mail), for instance a copy listening on other ports.
# Exits non-zero when any check fails.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
send="$build/tools/zem-send"
pop="$build/tools/zem-pop"
servers="${ZEM_MAILSERVERS:-$root/tests/fixtures/mailservers.sh}"
for f in "$send" "$pop"; do
  [ -x "$f" ] || { echo "missing $f (build with -DZEM_TOOLS=ON first)"; exit 1; }
done

work="$(mktemp -d /tmp/zem-tools-test.XXXXXX)"
lying=""
trap '[ -n "$lying" ] && kill "$lying"; rm -rf "$work"' EXIT

"$servers" start >/dev/null || { echo "the mail servers did not start"; exit 1; }
set -a
eval "$("$servers" env)"
set +a

user=carol@zem.test
pass=carol-secret
# No variable of the caller may change what the tools do.
unset ZEM_SMTP_USER ZEM_SMTP_PASSWORD
export ZEM_POP3_USER=$user ZEM_POP3_PASSWORD=$pass

failures=0
checks=0
ok() { checks=$((checks + 1)); echo "ok   - $1"; }
not_ok() {
  checks=$((checks + 1)); failures=$((failures + 1))
  echo "FAIL - $1"
  [ -s "$work/out" ] && sed 's/^/    out: /' "$work/out" | head -20
  [ -s "$work/err" ] && sed 's/^/    err: /' "$work/err" | head -20
  return 0
}

# run NAME STATUS CMD...: runs CMD with its output in $work/out and $work/err and checks
# its exit status.
run() {
  local name=$1 want=$2 got
  shift 2
  "$@" >"$work/out" 2>"$work/err"
  got=$?
  if [ "$got" -eq "$want" ]; then ok "$name"; else not_ok "$name (exit $got, expected $want)"; fi
}
# has NAME FILE PATTERN: FILE holds a line matching the extended regular expression.
has() { if grep -Eq -- "$3" "$2"; then ok "$1"; else not_ok "$1 (no '$3' in $(basename "$2"))"; fi; }
hasnt() { if grep -Eq -- "$3" "$2"; then not_ok "$1 ('$3' in $(basename "$2"))"; else ok "$1"; fi; }
same() { if cmp -s "$2" "$3"; then ok "$1"; else not_ok "$1 ($2 differs from $3)"; fi; }
equal() { if [ "$2" = "$3" ]; then ok "$1"; else not_ok "$1 (got '$2', expected '$3')"; fi; }

maildir="$ZEM_MAIL_STATE/mail/$ZEM_MAIL_DOMAIN/carol"
clear_box() { find "$maildir/new" "$maildir/cur" -mindepth 1 -maxdepth 1 -type f -delete 2>/dev/null || true; }
wait_mail() {
  if "$servers" wait-mail carol "$1" 30 >/dev/null; then ok "$1 message(s) delivered"; else not_ok "$1 message(s) delivered"; fi
}
count() { "$pop" -q count 2>/dev/null; }
# Message numbers by subject, filled by index_subjects (one TOP per message).
declare -A msgno
index_subjects() {
  local n i subject
  msgno=()
  n="$(count)"
  for ((i = 1; i <= ${n:-0}; i++)); do
    subject="$("$pop" -q top "$i" 0 2>/dev/null | sed -n 's/^Subject: //p' | head -n1)"
    [ -n "$subject" ] && msgno[$subject]=$i
  done
  return 0
}
find_msg() { echo "${msgno[$1]:-0}"; }

head -c 70000 /dev/urandom >"$work/cram.bin"
head -c 123457 /dev/urandom >"$work/login.bin"
head -c 5000 /dev/urandom >"$work/plain.bin"
head -c 6000000 /dev/urandom >"$work/big.bin"
printf 'first line\nsecond line\n' >"$work/body.txt"
: >"$work/not-a-dir"

clear_box

echo "# arguments"
run "zem-send --help" 0 "$send" --help
has "zem-send --help shows the usage" "$work/out" "^Usage: zem-send"
run "zem-pop --help" 0 "$pop" --help
has "zem-pop --help lists the subcommands" "$work/out" "fetch-all"
for sub in count list uidl top fetch fetch-all delete; do
  run "zem-pop $sub --help" 0 "$pop" "$sub" --help
  has "zem-pop $sub --help shows its usage" "$work/out" "^Usage: zem-pop $sub"
done
run "zem-send --version" 0 "$send" --version
has "the version is 3.4.2" "$work/out" "3\.4\.2"
base=(-p "$ZEM_SMTP_PORT_NOAUTH" -f "$user")
run "zem-send without --from" 2 "$send" -t "$user" -m x
run "zem-send without --to" 2 "$send" "${base[@]}" -m x
run "zem-send with an unknown option" 2 "$send" "${base[@]}" -t "$user" --no-such-option
run "zem-send with a bad address" 2 "$send" "${base[@]}" -t "not-an-address" -m x
has "the bad address is named" "$work/err" "not-an-address"
run "zem-send with two addresses in one --to" 2 "$send" "${base[@]}" -t "a@zem.test,b@zem.test" -m x
run "zem-send with a missing attachment" 2 "$send" "${base[@]}" -t "$user" -a "$work/none.bin"
run "zem-send with a missing text file" 2 "$send" "${base[@]}" -t "$user" -F "$work/none.txt"
run "zem-send --text with --text-file" 2 "$send" "${base[@]}" -t "$user" -m x -F "$work/body.txt"
run "zem-send --header without --subject" 2 "$send" "${base[@]}" -t "$user" -H "X-A: b"
run "zem-send --user without a password" 2 "$send" "${base[@]}" -t "$user" -u "$user" </dev/null
run "zem-send --port 0" 2 "$send" -p 0 -f "$user" -t "$user"
run "zem-send --body-type 7" 2 "$send" "${base[@]}" -t "$user" --body-type 7
run "zem-send --log into a missing directory" 2 "$send" "${base[@]}" -t "$user" --log "$work/none/x.log"
run "zem-pop without a subcommand" 2 "$pop"
run "zem-pop with an unknown subcommand" 2 "$pop" frobnicate
run "zem-pop top without a number" 2 "$pop" top
run "zem-pop top abc" 2 "$pop" top abc
run "zem-pop fetch 0" 2 "$pop" fetch 0
run "zem-pop without a user" 2 env -u ZEM_POP3_USER "$pop" count
run "zem-pop fetch into a file as directory" 2 "$pop" fetch 1 --dir "$work/not-a-dir/sub"
equal "no mail was sent by refused arguments" "$(count)" 0

echo "# a lying POP3 server"
python3 "$root/tests/tools/lying_pop3.py" "$work/lying.port" &
lying=$!
for _ in $(seq 100); do [ -s "$work/lying.port" ] && break; sleep 0.1; done
lie=(-p "$(cat "$work/lying.port")" --reply-timeout 5000)
run "a LIST size of 4294965296 is a protocol error" 5 "$pop" "${lie[@]}" -u hugelist list
has "the claim is named" "$work/err" "LIST 1: the server claims 4294965296 bytes.*protocol error"
run "top takes no buffer of that size" 5 "$pop" "${lie[@]}" -u hugelist top 1
run "a STAT count of 3000000000 is a protocol error" 5 "$pop" "${lie[@]}" -u hugestat count
has "the count is named" "$work/err" "claims 3000000000 messages"
run "fetch-all with a count of 2147483647 allocates nothing" 5 "$pop" "${lie[@]}" -u maxstat fetch-all --dir "$work/lie"
run "a count of 4294967297 does not pass for 1" 5 "$pop" "${lie[@]}" -u wrapstat count
# Every escape sequence and control byte of the server is shown as text; UTF-8 passes.
while read -r want who args; do
  run "$who $args: exit $want" "$want" "$pop" "${lie[@]}" -u "$who" $args
  cat "$work/out" "$work/err" >"$work/both"
  if LC_ALL=C grep -q $'[\x07\x1b\x7f\x9b]' "$work/both"; then not_ok "no control byte of the server was printed ($who)"
  else ok "no control byte of the server was printed ($who)"; fi
  has "its text is printed escaped ($who)" "$work/both" '\\x1b\[31mred\\x1b\[2J\\x1b]0;owned\\x07 \\x9b6n \\x7f \\xc2\\x9b2J café'
done <<'CASES'
3 escpass count
4 escstat count
0 escape top 1
0 escape uidl
CASES
t0=$(date +%s%N)
run "fetch at the engine's speed" 0 "$pop" "${lie[@]}" -u honest fetch 1 --dir "$work/plain"
t1=$(date +%s%N)
run "fetch --paced" 0 "$pop" "${lie[@]}" --paced -u honest fetch 1 --dir "$work/plain"
t2=$(date +%s%N)
# --paced adds the library's 200 ms login and 500 ms close pause.
if [ $((t2 - t1)) -ge 700000000 ] && [ $((t1 - t0)) -lt $(((t2 - t1) / 2)) ]; then ok "only --paced waits"
else not_ok "only --paced waits ($(((t1 - t0) / 1000000)) ms unpaced, $(((t2 - t1) / 1000000)) ms paced)"; fi
equal "no empty attachment folder is left behind" "$(ls "$work/plain")" "msg-1.eml"

echo "# sending with each authentication mechanism"
for mech in CRAM-MD5:$ZEM_SMTP_PORT_CRAM:cram LOGIN:$ZEM_SMTP_PORT_LOGIN:login PLAIN:$ZEM_SMTP_PORT_PLAIN:plain; do
  IFS=: read -r name port file <<<"$mech"
  run "send with AUTH $name (port $port)" 0 "$send" -p "$port" -u "$user" -w "$pass" -f "$user" -t "$user" \
    -S "mech $name" -m "Sent with $name." -a "$work/$file.bin" --log "$work/$file.log"
  has "the session used AUTH $name" "$work/$file.log" "^S: AUTH $name"
  has "the result is reported" "$work/out" "^zem-send: sent .* to 1 recipient with 1 attachment"
  equal "plain output is one line" "$(wc -l <"$work/out")" 1
  equal "nothing on standard error" "$(wc -c <"$work/err")" 0
done

echo "# text sources, headers and body types"
printf 'from standard input\nline two\n' >"$work/stdin.txt"
run "send text from standard input with extra headers" 0 "$send" "${base[@]}" -t "$user" -S "stdin text" \
  --text-stdin -H "X-Zem-Test: yes" -H "X-Zem-Second: two" <"$work/stdin.txt"
run "send a text file ('-F file') as HTML" 0 "$send" "${base[@]}" -t "$user" -S "html text" --html -F "$work/body.txt"
run "send inline text that starts with '@'" 0 "$send" "${base[@]}" -t "$user" -S "at text" -m "@not a file name"
run "send with cc, bcc and reply-to" 0 "$send" "${base[@]}" -t "$user" -c "Carol <$user>" -b "$user" \
  --reply-to "$user" -S "copies" -m "copies"
has "every recipient is counted" "$work/out" "to 3 recipients"
if command -v script >/dev/null; then
  ZEM_PROGRESS_DELAY_MS=0 script -qec "$(printf '%q ' "$send" "${base[@]}" -t "$user" -S big -m big -a "$work/big.bin")" /dev/null \
    >"$work/tty.out" 2>&1 </dev/null
  has "a terminal shows the progress bar" "$work/tty.out" "sending \[#*-*\] +[0-9]+%"
  has "the bar shows rate and time left" "$work/tty.out" "/s .* left"
else
  run "send a large attachment" 0 "$send" "${base[@]}" -t "$user" -S big -m big -a "$work/big.bin"
fi
wait_mail 8 # 3 mechanisms, stdin, html, at, copies (one delivery for three RCPTs of one mailbox), big

echo "# reading the mailbox"
index_subjects
n=$(count)
run "zem-pop count" 0 "$pop" count
equal "count matches the messages delivered" "$(cat "$work/out")" "$n"
run "zem-pop list" 0 "$pop" list
equal "list has one line per message" "$(wc -l <"$work/out")" "$n"
has "list shows number and size" "$work/out" "^1 [1-9][0-9]*$"
run "zem-pop uidl" 0 "$pop" uidl
equal "uidl has one line per message" "$(wc -l <"$work/out")" "$n"
first_uid="$(head -n1 "$work/out")"
run "zem-pop uidl 1" 0 "$pop" uidl 1
equal "uidl 1 matches the listing" "$(cat "$work/out")" "$first_uid"

m=$(find_msg "stdin text")
run "zem-pop top $m 0" 0 "$pop" top "$m" 0
has "the extra header arrived" "$work/out" "^X-Zem-Test: yes$"
has "the second extra header arrived" "$work/out" "^X-Zem-Second: two$"
hasnt "top 0 holds no body" "$work/out" "from standard input"
run "zem-pop top $m 5" 0 "$pop" top "$m" 5
has "the text from standard input arrived" "$work/out" "^from standard input$"
m=$(find_msg "html text")
run "zem-pop top (html)" 0 "$pop" top "$m" 20
has "the HTML text part" "$work/out" "Content-Type: text/html"
m=$(find_msg "at text")
run "zem-pop top (text starting with @)" 0 "$pop" top "$m" 5
has "a text starting with @ is sent as text" "$work/out" "^@not a file name$"
run "zem-pop top of a missing message" 4 "$pop" top 999
run "zem-pop uidl of a missing message" 4 "$pop" uidl 999

m=$(find_msg "mech CRAM-MD5")
run "fetch with USER/PASS" 0 "$pop" fetch "$m" --dir "$work/f1" --attach-dir "$work/f1/files" --log "$work/fetch1.log"
has "fetch names the message file" "$work/out" "^message: $work/f1/msg-$m.eml"
has "fetch names the attachment" "$work/out" "^attachment: $work/f1/files/cram.bin$"
same "the attachment equals the original (USER/PASS)" "$work/cram.bin" "$work/f1/files/cram.bin"
has "the login used USER" "$work/fetch1.log" "^S: USER $user"
m=$(find_msg "mech LOGIN")
run "fetch with APOP" 0 "$pop" --apop fetch "$m" --dir "$work/f2" --log "$work/fetch2.log" --name login.eml
has "attachments go to the attachments folder by default" "$work/out" "^attachment: $work/f2/attachments/login.bin$"
same "the attachment equals the original (APOP)" "$work/login.bin" "$work/f2/attachments/login.bin"
has "the message file has the given name" "$work/out" "^message: $work/f2/login.eml"
has "the login used APOP" "$work/fetch2.log" "^S: APOP $user [0-9a-f]{32}"
m=$(find_msg "mech PLAIN")
run "fetch --raw" 0 "$pop" fetch "$m" --raw --dir "$work/f3"
has "the raw file holds the header" "$work/f3/msg-$m.eml" "^Subject: mech PLAIN"
has "the raw file keeps the attachment encoded" "$work/f3/msg-$m.eml" "^Content-Transfer-Encoding: base64"
hasnt "raw mode decodes no attachment" "$work/out" "^attachment:"
equal "raw mode writes no attachment file" "$(ls "$work/f3" | wc -l)" 1
m=$(find_msg big)
run "fetch --by-uid" 0 "$pop" fetch "$m" --by-uid --dir "$work/f4"
uid="$("$pop" -q uidl "$m" | cut -d' ' -f2)"
has "the file is named by the unique id" "$work/out" "^message: $work/f4/$uid.eml"
same "the large attachment equals the original" "$work/big.bin" "$work/f4/attachments/big.bin"
if command -v script >/dev/null; then
  ZEM_PROGRESS_DELAY_MS=0 script -qec "$(printf '%q ' "$pop" fetch "$m" --dir "$work/f5")" /dev/null >"$work/tty.out" 2>&1 </dev/null
  has "a terminal shows the progress of a large message" "$work/tty.out" "receiving message $m \[#*-*\] +[0-9]+%"
  same "the attachment fetched on a terminal equals the original" "$work/big.bin" "$work/f5/attachments/big.bin"
fi

echo "# deleting"
before=$(count)
run "delete of a missing message" 4 "$pop" delete 999
equal "nothing was deleted" "$(count)" "$before"
m=$(find_msg "at text")
run "delete $m" 0 "$pop" delete "$m"
has "delete reports the message" "$work/out" "^deleted $m$"
equal "the count dropped by one" "$(count)" "$((before - 1))"
index_subjects
equal "the deleted message is gone" "$(find_msg "at text")" 0
run "fetch-all --delete into an unusable directory" 2 "$pop" fetch-all --delete --dir "$work/not-a-dir/sub"
equal "nothing was deleted when nothing could be saved" "$(count)" "$((before - 1))"
run "fetch-all --delete (APOP)" 0 "$pop" --apop fetch-all --delete --dir "$work/all"
has "fetch-all reports every message" "$work/out" "^saved $((before - 1)) of $((before - 1)) messages, deleted $((before - 1)) \([0-9.]+ [KMG]?i?B in [0-9.]+ s\)$"
equal "one file per message" "$(ls "$work/all"/*.eml | wc -l)" "$((before - 1))"
same "fetch-all decoded the attachments" "$work/cram.bin" "$work/all/attachments/cram.bin"
equal "the mailbox is empty" "$(count)" 0
run "fetch-all on an empty mailbox" 0 "$pop" fetch-all --dir "$work/none"
has "fetch-all says so" "$work/out" "^saved 0 of 0 messages$"

echo "# refusals"
run "send with a wrong password" 3 "$send" -p "$ZEM_SMTP_PORT" -u "$user" -w wrong -f "$user" -t "$user" -m x
has "the server's refusal is shown" "$work/err" "server reply: 535"
has "the error code and text are shown" "$work/err" "error -49: SMTP returned error"
run "send to an unknown recipient" 4 "$send" "${base[@]}" -t nobody@zem.test -m x
has "the refused recipient's reply is shown" "$work/err" "server reply: 550"
run "send to a closed port" 3 "$send" -p 1 -f "$user" -t "$user" -m x --connect-timeout 5000
has "the connect failure is shown" "$work/err" "error -36"
run "login with a wrong password" 3 "$pop" -w wrong count
has "the POP3 refusal is shown" "$work/err" "server reply: -ERR"
run "APOP with a wrong password" 3 "$pop" --apop -w wrong count
run "POP3 on a closed port" 3 "$pop" -p 1 count
equal "no mail arrived from refused sends" "$(count)" 0

echo "# passwords, accounts and ready-made messages"
printf '%s\n' "$pass" >"$work/pass.txt"
cram=(-p "$ZEM_SMTP_PORT_CRAM" -u "$user" -f "$user" --to "$user")
run "password from --password-file" 0 "$send" "${cram[@]}" --password-file "$work/pass.txt" -S "pw file" -m x \
  -a "$work/big.bin"
run "password from --password-command" 0 "$send" "${cram[@]}" --password-command "cat '$work/pass.txt'" -S "pw command" -m x
run "password from the environment" 0 env ZEM_SMTP_PASSWORD="$pass" "$send" "${cram[@]}" -S "pw env" -m x
run "a failing --password-command" 2 "$send" "${cram[@]}" --password-command false -m x
has "the failing command is named" "$work/err" "password-command 'false' failed"
run "no password and no terminal" 2 "$send" "${cram[@]}" -m x </dev/null
run "a missing --password-file" 2 "$send" "${cram[@]}" --password-file "$work/none.txt" -m x
run "zem-pop password from --password-file" 0 env -u ZEM_POP3_PASSWORD "$pop" --password-file "$work/pass.txt" count
run "zem-pop password from --password-command" 0 env -u ZEM_POP3_PASSWORD "$pop" --password-command "cat '$work/pass.txt'" count
run "zem-pop without a password" 2 env -u ZEM_POP3_PASSWORD "$pop" count </dev/null

acc="$work/accounts"
cat >"$acc" <<ACCOUNTS
# the test mailbox
defaults
host 127.0.0.1
tls off

account carol
smtp_port $ZEM_SMTP_PORT_LOGIN
pop3_port $ZEM_POP3_PORT
user $user
from Carol <$user>
password_command cat '$work/pass.txt'

account other
user nobody@zem.test
ACCOUNTS
chmod 600 "$acc"
run "zem-send --account" 0 env -u ZEM_SMTP_PORT -u ZEM_SMTP_HOST "$send" --accounts "$acc" --account carol --to "$user" -S "account" -m x --log "$work/acc.log"
has "the account's port and user were used" "$work/acc.log" "^S: AUTH LOGIN"
run "zem-pop --account" 0 env -u ZEM_POP3_USER -u ZEM_POP3_PASSWORD "$pop" --accounts "$acc" --account carol count
run "an unknown account" 2 "$send" --accounts "$acc" --account nosuch --to "$user" -m x
has "the unknown account is named" "$work/err" "no account 'nosuch'"
chmod 640 "$acc"
run "an accounts file readable by the group is refused" 2 "$send" --accounts "$acc" --account carol --to "$user" -m x
has "the refusal says why" "$work/err" "open to other users .*chmod 600"
chmod 644 "$acc"
run "an accounts file readable by others is refused (zem-pop)" 2 env -u ZEM_POP3_PASSWORD "$pop" --accounts "$acc" --account carol count
chmod 600 "$acc"
ln -s "$acc" "$work/accounts-link"
run "a symbolic link to the accounts file is refused" 2 "$send" --accounts "$work/accounts-link" --account carol --to "$user" -m x
has "the link is named as the reason" "$work/err" "is a symbolic link; refused"
# Root too must refuse another user's file, and so never run its password command.
printf 'account carol\npop3_port %s\nuser %s\npassword_command touch %s/ran; cat %s/pass.txt\n' \
  "$ZEM_POP3_PORT" "$user" "$work" "$work" >"$work/theirs"
chmod 600 "$work/theirs"
if chown nobody "$work/theirs" 2>/dev/null; then
  run "an accounts file owned by another user is refused" 2 env -u ZEM_POP3_PASSWORD "$pop" --accounts "$work/theirs" --account carol count
  has "the refusal names the owner" "$work/err" "belongs to nobody .*refused"
  if [ -e "$work/ran" ]; then not_ok "its password command did not run"; else ok "its password command did not run"; fi
else
  echo "skip - an accounts file owned by another user (chown needs root)"
fi

# -t: recipients from To and Bcc, the Bcc line (folded) removed, the rest as it stands.
printf 'From: Carol <%s>\nTo: "Carol, C." <%s>\nBcc: Hidden <%s>,\n  %s\nSubject: ready-made\nX-Ready: kept\n\nfirst line\n.a line with a dot\n.\nlast line' \
  "$user" "$user" "$user" "$user" >"$work/ready.eml"
run "zem-send -t from standard input" 0 "$send" -p "$ZEM_SMTP_PORT_NOAUTH" -t --log "$work/ready.log" <"$work/ready.eml"
equal "one RCPT TO per To and Bcc address" "$(grep -c '^S: RCPT TO:<carol@zem.test>' "$work/ready.log")" 3
hasnt "no Bcc line went to the server" "$work/ready.log" "^S: Bcc:"
has "the summary names the recipients" "$work/out" "^zem-send: sent .* to 3 recipients via"
printf 'Bcc: %s\nSubject: bcc only\n\nonly a blind copy\n' "$user" >"$work/bcc-only.eml"
run "zem-send -t -M with a Bcc recipient only" 0 "$send" -p "$ZEM_SMTP_PORT_NOAUTH" -f "$user" -t -M "$work/bcc-only.eml"
printf 'Subject: nobody\n\nno recipient\n' >"$work/none.eml"
run "zem-send -t without recipients" 2 "$send" -p "$ZEM_SMTP_PORT_NOAUTH" -f "$user" -t -M "$work/none.eml"
run "zem-send -t with --subject" 2 "$send" -p "$ZEM_SMTP_PORT_NOAUTH" -t -S x <"$work/ready.eml"
wait_mail 6 # three passwords, the account, two -t messages
index_subjects
# The message as Dovecot stored it, dot-stuffing undone by the servers.
f="$(grep -l '^X-Ready: kept' "$maildir"/new/* "$maildir"/cur/* 2>/dev/null | head -n1)"
[ -n "$f" ] || f="$work/none.eml"
hasnt "the delivered message has no Bcc line" "$f" "^Bcc:"
hasnt "nor the hidden address's name" "$f" "Hidden"
has "its own header lines arrived as they stand" "$f" "^X-Ready: kept"
has "the To line arrived" "$f" '^To: "Carol, C\." <carol@zem.test>'
has "a line starting with a dot arrived with one dot" "$f" "^\.a line with a dot"
has "a lone dot line arrived" "$f" "^\.$"
has "the last line without a line end arrived" "$f" "^last line"
m=$(find_msg "bcc only")
run "fetch the blind copy" 0 "$pop" top "$m" 5
hasnt "the blind copy has no Bcc line" "$work/out" "^Bcc:"
has "the blind copy's text arrived" "$work/out" "^only a blind copy"
if command -v script >/dev/null; then
  ZEM_PROGRESS_DELAY_MS=0 script -qec "$(printf '%q ' "$pop" fetch-all --delete --dir "$work/all2")" /dev/null \
    >"$work/tty.out" 2>&1 </dev/null
  has "fetch-all shows one bar over the messages and bytes" "$work/tty.out" "message [1-6]/6 \[#*-*\] +[0-9]+% .* / [0-9.]+ MiB"
  has "fetch-all sums up on a terminal" "$work/tty.out" "saved 6 of 6 messages, deleted 6 \([0-9.]+ [KM]?i?B in [0-9.]+ s\)"
else
  run "fetch-all --delete" 0 "$pop" fetch-all --delete --dir "$work/all2"
fi
equal "the mailbox is empty again" "$(count)" 0

echo "# examples"
ex="$work/examples"
mkdir -p "$ex"
cp "$root/examples/"*.c "$root/examples/Makefile" "$ex/"
makeargs=()
pcpath="${PKG_CONFIG_PATH:-}"
libpath=""
if [ "${ZEM_EXAMPLES_INSTALLED:-0}" != 1 ]; then
  cmake --install "$build" --prefix "$work/stage" >"$work/install.log" 2>&1 || cat "$work/install.log"
  pc="$(find "$work/stage" -name zem32.pc | head -n1)"
  libpath="$(dirname "$(dirname "$pc")")"
  pcpath="$(dirname "$pc")"
  makeargs=(PKG_CONFIG="pkg-config --define-prefix")
fi
run "the examples build with pkg-config" 0 env PKG_CONFIG_PATH="$pcpath" make -C "$ex" "${makeargs[@]}"
[ -n "$libpath" ] && export LD_LIBRARY_PATH="$libpath${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
run "send_blocking (CRAM-MD5, attachment)" 0 env ZEM_SMTP_PORT="$ZEM_SMTP_PORT_CRAM" ZEM_SMTP_USER="$user" \
  ZEM_SMTP_PASSWORD="$pass" ZEM_MAIL_FROM="$user" ZEM_MAIL_TO="$user" ZEM_ATTACH="$work/login.bin" "$ex/send_blocking"
run "send_many_nonblocking (3 channels)" 0 env ZEM_SMTP_PORT="$ZEM_SMTP_PORT" ZEM_SMTP_USER="$user" \
  ZEM_SMTP_PASSWORD="$pass" ZEM_CHANNELS=3 ZEM_MAIL_FROM="$user" ZEM_MAIL_TO="$user" "$ex/send_many_nonblocking"
has "every channel sent" "$work/out" "^3 of 3 messages sent$"
wait_mail 4
run "read_mailbox (save and delete)" 0 env ZEM_POP3_PORT="$ZEM_POP3_PORT" ZEM_POP3_USER="$user" ZEM_POP3_PASSWORD="$pass" \
  ZEM_MAIL_DIR="$ex/mail" ZEM_DELETE=1 "$ex/read_mailbox"
has "read_mailbox counted the messages" "$work/out" "^4 message\(s\)$"
same "read_mailbox saved the attachment" "$work/login.bin" "$ex/mail/login.bin"
equal "read_mailbox deleted what it saved" "$(count)" 0
run "send_blocking to a closed port" 3 env ZEM_SMTP_PORT=1 "$ex/send_blocking"

clear_box
echo "# per-recipient results and UTF-8"
run "send past a refused recipient" 0 "$send" "${base[@]}" --continue-past-refused -t nobody@zem.test -t "$user" \
  -S $'Gr\xc3\xbc\xc3\x9fe' -m $'caf\xc3\xa9'
has "the refused recipient is reported" "$work/err" "^zem-send: refused <nobody@zem.test> 550"
has "the accepted one is counted" "$work/out" "to 1 recipient via"
wait_mail 1
run "fetch the UTF-8 message" 0 "$pop" fetch 1 --raw --dir "$work/utf8"
has "its text part is labelled UTF-8" "$(ls "$work/utf8"/*.eml | head -1)" "charset=utf-8"
run "--token without --user" 2 "$send" "${base[@]}" -t "$user" -m x --token abc
clear_box
echo "# $checks checks, $failures failed"
[ "$failures" -eq 0 ]
