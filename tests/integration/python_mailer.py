#!/usr/bin/env python3
"""Composes a message with Python's `email` package and sends it with smtplib.

The integration tests use it as "another real mailer": what it sends through Postfix is
then read back and decoded by the library. Standard library only.

    python_mailer.py --port 21029 --from alice@zem.test --to bob@zem.test \
        --subject S [--cc ADDR] [--text TEXT | --text-file PATH] [--html HTML]
        [--attach PATH[|NAME]] [--inline PATH[|NAME]] [--user U --password P]
        [--qp] [--plain-only]

Without attachments and without --html the message is a single text/plain part; with
--html the text becomes multipart/alternative (plain and HTML); attachments make the
whole multipart/mixed (RFC 2046 s5.1). Attachments are always base64 (application/
octet-stream or image/*), so the library can write them back byte for byte. Exit status
0 when the server accepted the message for every recipient.
"""

import argparse
import email.message
import email.policy
import email.utils
import mimetypes
import os
import smtplib
import sys


def split_item(item):
    """"path|shown name" -> (path, name); the name defaults to the file's own."""
    path, _, name = item.partition("|")
    return path, name or os.path.basename(path)


def add_file(msg, item, disposition):
    path, name = split_item(item)
    with open(path, "rb") as f:
        data = f.read()
    ctype, _ = mimetypes.guess_type(name)
    if disposition == "inline" and ctype and ctype.startswith("image/"):
        maintype, subtype = ctype.split("/", 1)
    else:
        maintype, subtype = "application", "octet-stream"
    # bytes content is always base64 with the default content manager.
    msg.add_attachment(data, maintype=maintype, subtype=subtype, filename=name,
                       disposition=disposition)


def compose(args):
    msg = email.message.EmailMessage(policy=email.policy.SMTP)
    msg["From"] = args.sender
    msg["To"] = ", ".join(args.to)
    if args.cc:
        msg["Cc"] = ", ".join(args.cc)
    msg["Subject"] = args.subject
    msg["Date"] = email.utils.formatdate(localtime=True)
    msg["Message-ID"] = email.utils.make_msgid(domain="zem.test")

    text = args.text
    if args.text_file:
        with open(args.text_file, "r", encoding="utf-8", newline="") as f:
            text = f.read()
    if text is None:
        text = ""
    # The content manager picks 7bit for plain ASCII lines of sensible length; --qp forces
    # quoted-printable (RFC 2045 s6.7) so the decoder's QP path is exercised too.
    cte = "quoted-printable" if args.qp else None
    if args.plain_only:
        msg.set_content(text, cte=cte or "7bit")
    else:
        msg.set_content(text, cte=cte)
    if args.html:
        msg.add_alternative(args.html, subtype="html", cte=cte)
    for item in args.inline:
        add_file(msg, item, "inline")
    for item in args.attach:
        add_file(msg, item, "attachment")
    return msg


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--from", dest="sender", required=True)
    p.add_argument("--to", action="append", required=True)
    p.add_argument("--cc", action="append", default=[])
    p.add_argument("--bcc", action="append", default=[])
    p.add_argument("--subject", required=True)
    p.add_argument("--text")
    p.add_argument("--text-file")
    p.add_argument("--html")
    p.add_argument("--attach", action="append", default=[])
    p.add_argument("--inline", action="append", default=[])
    p.add_argument("--user")
    p.add_argument("--password")
    p.add_argument("--qp", action="store_true")
    p.add_argument("--plain-only", action="store_true")
    p.add_argument("--save", help="also write the composed message to this file")
    args = p.parse_args()

    msg = compose(args)
    if args.save:
        with open(args.save, "wb") as f:
            f.write(msg.as_bytes())
    recipients = args.to + args.cc + args.bcc
    with smtplib.SMTP(args.host, args.port, local_hostname="python.zem.test", timeout=60) as s:
        s.ehlo()
        if args.user:
            s.login(args.user, args.password or "")
        refused = s.send_message(msg, from_addr=args.sender, to_addrs=recipients)
    if refused:
        print(f"refused: {refused}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
