#!/usr/bin/env python3
"""Python standard-library peer of bench/imap_compare.sh: imaplib (and the email package
for the decoded rows), loopback only. One process per timed run.

  imap_peer.py fetch MAILBOX UID DIR (--raw | --decode)
      UID FETCH BODY.PEEK[] of one message; --raw writes DIR/message.eml as received,
      --decode parses it (email, policy.default) and writes every named attachment and the
      text parts (DIR/message.txt)
  imap_peer.py fetch-many MAILBOX A:B DIR (--raw | --decode) [--batch]
      the UIDs A..B over one connection, each into DIR/msg-UID.eml (--decode: attachments
      into DIR/att, text into DIR/msg-UID.txt); one UID FETCH per message, or with --batch
      one UID FETCH A:B for all of them (imaplib then holds every reply in memory)

--host 127.0.0.1 --port 21143 --user alice@zem.test --password alice-secret
"""
import argparse
import imaplib
import os
import sys


def login(a):
    if a.host not in ("127.0.0.1", "::1", "localhost"):
        sys.exit("loopback only")
    m = imaplib.IMAP4(a.host, a.port)
    m.login(a.user, a.password)
    typ, data = m.select('"' + a.mailbox + '"', readonly=True)
    if typ != "OK":
        sys.exit(f"SELECT {a.mailbox}: {data}")
    return m


def literal(resp):
    """The message bytes of one UID FETCH reply."""
    for item in resp:
        if isinstance(item, tuple):
            return item[1]
    return None


def write_decoded(data, textpath, attdir):
    import email
    from email import policy
    msg = email.message_from_bytes(data, policy=policy.default)
    n = 0
    texts = []
    for part in msg.walk():
        if part.is_multipart():
            continue
        fn = part.get_filename()
        if fn:
            with open(os.path.join(attdir, os.path.basename(fn)), "wb") as f:
                f.write(part.get_payload(decode=True))
            n += 1
        elif part.get_content_maintype() == "text":
            texts.append(part.get_content())
    with open(textpath, "w") as f:
        f.write("\n".join(texts))
    return n


def cmd_fetch(a):
    m = login(a)
    typ, resp = m.uid("FETCH", str(a.uid), "(BODY.PEEK[])")
    m.logout()
    data = literal(resp) if typ == "OK" else None
    if not data:
        sys.exit(f"UID {a.uid}: not fetched")
    os.makedirs(a.dir, exist_ok=True)
    if a.raw:
        with open(os.path.join(a.dir, "message.eml"), "wb") as f:
            f.write(data)
    elif write_decoded(data, os.path.join(a.dir, "message.txt"), a.dir) < 1:
        sys.exit("no attachment found")


def cmd_fetch_many(a):
    first, last = (int(x) for x in a.uids.split(":"))
    attdir = os.path.join(a.dir, "att")
    os.makedirs(attdir, exist_ok=True)
    m = login(a)

    def save(uid, data):
        if a.raw:
            with open(os.path.join(a.dir, f"msg-{uid}.eml"), "wb") as f:
                f.write(data)
        else:
            write_decoded(data, os.path.join(a.dir, f"msg-{uid}.txt"), attdir)

    count = 0
    if a.batch:
        typ, resp = m.uid("FETCH", f"{first}:{last}", "(UID BODY.PEEK[])")
        if typ != "OK":
            sys.exit(f"UID FETCH {first}:{last}: {resp}")
        for item in resp:
            if isinstance(item, tuple):
                head = item[0].decode("ascii", "replace")
                uid = head.split("UID ", 1)[1].split()[0]
                save(uid, item[1])
                count += 1
    else:
        for uid in range(first, last + 1):
            typ, resp = m.uid("FETCH", str(uid), "(BODY.PEEK[])")
            data = literal(resp) if typ == "OK" else None
            if not data:
                sys.exit(f"UID {uid}: not fetched")
            save(uid, data)
            count += 1
    m.logout()
    if count != last - first + 1:
        sys.exit(f"{count} of {last - first + 1} messages fetched")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=21143)
    ap.add_argument("--user", default="alice@zem.test")
    ap.add_argument("--password", default="alice-secret")
    sub = ap.add_subparsers(dest="cmd", required=True)
    f = sub.add_parser("fetch")
    f.add_argument("mailbox")
    f.add_argument("uid", type=int)
    f.add_argument("dir")
    g = sub.add_parser("fetch-many")
    g.add_argument("mailbox")
    g.add_argument("uids")
    g.add_argument("dir")
    g.add_argument("--batch", action="store_true")
    for p in (f, g):
        mode = p.add_mutually_exclusive_group(required=True)
        mode.add_argument("--raw", action="store_true")
        mode.add_argument("--decode", dest="raw", action="store_false")
    a = ap.parse_args()
    (cmd_fetch if a.cmd == "fetch" else cmd_fetch_many)(a)


if __name__ == "__main__":
    main()
