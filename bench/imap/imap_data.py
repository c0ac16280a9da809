#!/usr/bin/env python3
"""Test data of bench/imap_compare.sh, and the mailbox fill over IMAP APPEND.

  imap_data.py gen DIR            big.eml (one 10 MiB random binary attachment, base64 in
                                  76-character lines as a mailer writes it), big.bin (the
                                  attachment's bytes) and small/NNNN.eml (1,000 messages of
                                  2-4 KiB: a text part, every other one a small attachment);
                                  seeded, so the bytes are the same on every run
  imap_data.py fill DIR STATE     APPENDs big.eml to --big-mailbox (INBOX) and the 1,000
                                  small messages to --small-mailbox (made anew); writes the
                                  UIDs to STATE (JSON)
  imap_data.py verify DIR STATE   exit 0 when the messages of STATE are still there (a test
                                  run's clear-mailboxes removes them) and were made from the
                                  data now in DIR, else 1
  imap_data.py clean STATE        removes the big message and the small mailbox again

Server: --host 127.0.0.1 --port 21143 --user alice@zem.test --password alice-secret.
"""
import argparse
import base64
import hashlib
import imaplib
import json
import os
import random
import re
import sys
import time

BIG_SIZE = 10 * 1024 * 1024
SMALL_COUNT = 1000
SEED = 20261209
BOUNDARY = "=_zem_bench_boundary_0001"
DATE = "Wed, 09 Dec 2026 12:00:00 +0000"
WORDS = ("mail message server client library bench loopback folder select fetch "
         "header body part text attachment line column quick brown fox lazy dog").split()


def b64_lines(data):
    """base64 in 76-character lines, CR LF after each."""
    return base64.encodebytes(data).replace(b"\n", b"\r\n")


def text_block(rng, size):
    lines, total = [], 0
    while total < size:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(6, 11)))
        line = line[:1].upper() + line[1:] + "."
        lines.append(line)
        total += len(line) + 2
    return "\r\n".join(lines).encode() + b"\r\n"


def headers(subject, msgid, extra=b""):
    return (b"From: Bench Sender <sender@zem.test>\r\n"
            b"To: Alice <alice@zem.test>\r\n"
            b"Subject: " + subject.encode() + b"\r\n"
            b"Date: " + DATE.encode() + b"\r\n"
            b"Message-ID: <" + msgid.encode() + b"@zem.test>\r\n"
            b"X-Zem-Bench: imap\r\n"
            b"MIME-Version: 1.0\r\n" + extra)


def multipart(head, text, att_name=None, att=None):
    b = BOUNDARY.encode()
    out = [head, b'Content-Type: multipart/mixed; boundary="' + b + b'"\r\n\r\n',
           b"This is a multi-part message in MIME format.\r\n\r\n",
           b"--" + b + b"\r\n",
           b"Content-Type: text/plain; charset=us-ascii\r\nContent-Transfer-Encoding: 7bit\r\n\r\n",
           text]
    if att is not None:
        n = att_name.encode()
        out += [b"\r\n--" + b + b"\r\n",
                b'Content-Type: application/octet-stream; name="' + n + b'"\r\n'
                b"Content-Transfer-Encoding: base64\r\n"
                b'Content-Disposition: attachment; filename="' + n + b'"\r\n\r\n',
                b64_lines(att)]
    out.append(b"\r\n--" + b + b"--\r\n")
    return b"".join(out)


def cmd_gen(args):
    d = args.dir
    os.makedirs(os.path.join(d, "small"), exist_ok=True)
    marker = os.path.join(d, "gen.json")
    if os.path.exists(marker) and not args.force:
        print(f"imap_data: {d} is there (--force to rebuild)", file=sys.stderr)
        return 0
    rng = random.Random(SEED)
    big = rng.randbytes(BIG_SIZE)
    with open(os.path.join(d, "big.bin"), "wb") as f:
        f.write(big)
    msg = multipart(headers("zem bench 10 MiB attachment", "bench-big-1"),
                    b"The attachment is 10 MiB of random bytes.\r\n", "big.bin", big)
    with open(os.path.join(d, "big.eml"), "wb") as f:
        f.write(msg)
    sizes = []
    for i in range(1, SMALL_COUNT + 1):
        text = text_block(rng, rng.randint(1500, 2400))
        att_name = att = None
        if i % 2 == 0:
            att_name = f"note-{i:04d}.bin"
            att = rng.randbytes(rng.randint(200, 700))
        m = multipart(headers(f"zem bench small {i:04d}", f"bench-small-{i}"), text, att_name, att)
        sizes.append(len(m))
        with open(os.path.join(d, "small", f"{i:04d}.eml"), "wb") as f:
            f.write(m)
    info = {"big_eml_bytes": len(msg), "big_bin_bytes": len(big), "big_bin_md5": hashlib.md5(big).hexdigest(),
            "small_count": SMALL_COUNT, "small_min": min(sizes), "small_max": max(sizes),
            "small_total": sum(sizes), "small_attachments": SMALL_COUNT // 2}
    with open(marker, "w") as f:
        json.dump(info, f, indent=1)
    print(f"imap_data: {json.dumps(info)}", file=sys.stderr)
    return 0


def login(args):
    m = imaplib.IMAP4(args.host, args.port)
    m.login(args.user, args.password)
    return m


def quote(name):
    return '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'


def select_info(m, box):
    typ, data = m.select(quote(box), readonly=True)
    if typ != "OK":
        return None
    uv = m.response("UIDVALIDITY")[1][0]
    return int(data[0]), int(uv)


def append(m, box, data):
    typ, resp = m.append(quote(box), None, None, data)
    if typ != "OK":
        raise RuntimeError(f"APPEND to {box}: {typ} {resp}")
    g = re.search(rb"APPENDUID (\d+) (\d+)", resp[0] or b"")
    if not g:
        raise RuntimeError(f"APPEND to {box}: no APPENDUID in {resp}")
    return int(g.group(1)), int(g.group(2))


def load_json(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def cmd_fill(args):
    d = args.dir
    t0 = time.time()
    gen = load_json(os.path.join(d, "gen.json"))
    if gen is None:
        raise RuntimeError(f"no test data in {d} (run gen first)")
    m = login(args)
    # The big message of an earlier fill goes (the small mailbox is made anew below).
    old = load_json(args.state)
    if old and old.get("big_mailbox") == args.big_mailbox:
        info = select_info(m, args.big_mailbox)
        if info and info[1] == old.get("big_uidvalidity"):
            m.select(quote(args.big_mailbox))
            m.uid("STORE", str(old["big_uid"]), "+FLAGS.SILENT", "(\\Deleted)")
            m.uid("EXPUNGE", str(old["big_uid"]))
            m.close()
    with open(os.path.join(d, "big.eml"), "rb") as f:
        big_uv, big_uid = append(m, args.big_mailbox, f.read())
    box = args.small_mailbox
    m.delete(quote(box))  # a previous run's, if any; fails harmlessly when absent
    typ, resp = m.create(quote(box))
    if typ != "OK":
        raise RuntimeError(f"CREATE {box}: {resp}")
    uids = []
    for i in range(1, SMALL_COUNT + 1):
        with open(os.path.join(d, "small", f"{i:04d}.eml"), "rb") as f:
            uv, uid = append(m, box, f.read())
        uids.append(uid)
    small_uv = uv
    m.logout()
    state = {"big_mailbox": args.big_mailbox, "big_uidvalidity": big_uv, "big_uid": big_uid,
             "small_mailbox": box, "small_uidvalidity": small_uv, "small_first": uids[0],
             "small_last": uids[-1], "small_count": len(uids), "filled_at": time.time(), "gen": gen}
    if uids != list(range(uids[0], uids[0] + len(uids))):
        raise RuntimeError("the small messages' UIDs are not one range")
    with open(args.state, "w") as f:
        json.dump(state, f, indent=1)
    print(f"imap_data: filled in {time.time() - t0:.1f} s: {json.dumps(state)}", file=sys.stderr)
    return 0


def cmd_clean(args):
    """Removes what fill put there (the big message, the small mailbox) and STATE."""
    st = load_json(args.state)
    if st is None:
        return 0
    m = login(args)
    info = select_info(m, st["big_mailbox"])
    if info and info[1] == st["big_uidvalidity"]:
        m.select(quote(st["big_mailbox"]))
        m.uid("STORE", str(st["big_uid"]), "+FLAGS.SILENT", "(\\Deleted)")
        m.uid("EXPUNGE", str(st["big_uid"]))
        m.close()
    m.delete(quote(st["small_mailbox"]))
    m.logout()
    os.remove(args.state)
    return 0


def cmd_verify(args):
    st = load_json(args.state)
    if st is None or st.get("gen") != load_json(os.path.join(args.dir, "gen.json")):
        return 1
    try:
        m = login(args)
        info = select_info(m, st["big_mailbox"])
        ok = info is not None and info[1] == st["big_uidvalidity"]
        if ok:
            typ, data = m.uid("SEARCH", f"UID {st['big_uid']}")
            ok = typ == "OK" and data[0].split() == [str(st["big_uid"]).encode()]
        if ok:
            info = select_info(m, st["small_mailbox"])
            ok = info is not None and info == (st["small_count"], st["small_uidvalidity"])
        m.logout()
    except (OSError, imaplib.IMAP4.error) as e:
        print(f"imap_data: verify: {e}", file=sys.stderr)
        return 1
    return 0 if ok else 1


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=21143)
    ap.add_argument("--user", default="alice@zem.test")
    ap.add_argument("--password", default="alice-secret")
    sub = ap.add_subparsers(dest="cmd", required=True)
    g = sub.add_parser("gen")
    g.add_argument("dir")
    g.add_argument("--force", action="store_true")
    f = sub.add_parser("fill")
    f.add_argument("dir")
    f.add_argument("state")
    f.add_argument("--big-mailbox", default="INBOX")
    f.add_argument("--small-mailbox", default="zem-bench-small")
    v = sub.add_parser("verify")
    v.add_argument("dir")
    v.add_argument("state")
    c = sub.add_parser("clean")
    c.add_argument("state")
    args = ap.parse_args()
    return {"gen": cmd_gen, "fill": cmd_fill, "verify": cmd_verify, "clean": cmd_clean}[args.cmd](args)


if __name__ == "__main__":
    sys.exit(main())
