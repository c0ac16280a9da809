#!/usr/bin/env python3
"""A corpus of messages written by mail programs this project did not write, for the
incoming decoder's corpus test.

Usage: mime_corpus.py OUTDIR ATTACHDIR_LENGTH

Sources: Python's `email` package under every policy (compat32, default, SMTP, SMTPUTF8,
HTTP, strict), s-nail(1) and mpack(1) from Debian (installed when missing and running as
root; left out when they cannot be had), and a set composed here after the structures
Thunderbird, Outlook, Apple Mail and Gmail write (forwarded messages, inline images in
related parts, calendar invitations, signed messages with a detached signature part,
UTF-8 and Japanese names, RFC 2231 continuations).

For every message Python's own parser (policy.default) names the expectations: every
part it gives a file name is an attachment whose decoded bytes must be written under
that name made safe the way the decoder makes names safe; every attached message
(message/rfc822) is saved whole; every text part without a name must be found in the
message file. Written into OUTDIR:
  mN.pop          the bytes a POP3 server sends for RETR N (status, dot-stuffed CR LF, end line)
  orig/mN-K.bin   the expected bytes of the K-th file
  manifest.txt    records separated by tabs, texts hex-encoded:
                    message <mN.pop> <source>
                    attach <safe name hex> <orig path>
                    text <hex>
                    note <hex>          a source left out, and why
"""
import base64
import os
import random
import re
import shutil
import subprocess
import sys
from email import policy
from email.message import EmailMessage
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
import email

NAME_MAX = 128
SHORTEST = 16


def crlf(data):
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def pop_reply(message):
    lines = crlf(message).split(b"\r\n")
    if lines and lines[-1] == b"":
        lines.pop()
    stuffed = [b"." + l if l.startswith(b".") else l for l in lines]
    return b"+OK message follows\r\n" + b"".join(l + b"\r\n" for l in stuffed) + b".\r\n"


def shorten(name, limit):
    if len(name) <= limit:
        return name
    dot = -1
    for i in range(len(name) - 1, max(0, len(name) - 16) - 1, -1):
        if i > 0 and name[i:i + 1] == b".":
            dot = i
            break
    ext = name[dot:] if dot > 0 else b""
    keep = limit - len(ext)
    while keep > 0 and (name[keep] & 0xC0) == 0x80:
        keep -= 1
    return name[:keep] + ext


def safe_name(name, room):
    """The decoder's file name for a name Python reports (UTF-8, code 72)."""
    b = name.encode("utf-8", "surrogateescape")
    part = re.split(rb"[/\\:]", b)[-1]
    if part in (b"", b".", b".."):
        part = b"noname"
    part = bytes(0x5F if c < 0x20 or c == 0x7F else c for c in part)
    part = shorten(part, NAME_MAX)
    if len(part) > room and room >= SHORTEST:
        part = shorten(part, room)
    return part


def distinct(name, taken):
    if name not in taken:
        return name
    dot = name.rfind(b".")
    base, ext = (name[:dot], name[dot:]) if dot > 0 else (name, b"")
    k = 2
    while True:
        cand = base + b"(%d)" % k + ext
        if cand not in taken:
            return cand
        k += 1


class Corpus:
    def __init__(self, outdir, room):
        self.outdir, self.room = outdir, room
        self.records, self.count = [], 0
        os.makedirs(os.path.join(outdir, "orig"), exist_ok=True)

    def note(self, text):
        self.records.append("note\t" + text.encode().hex())

    def add(self, raw, source, embedded=None):
        """raw: the message bytes; embedded: {subject or filename: raw bytes of the attached message}."""
        raw = crlf(raw)
        self.count += 1
        n = self.count
        with open(os.path.join(self.outdir, "m%d.pop" % n), "wb") as f:
            f.write(pop_reply(raw))
        self.records.append("message\tm%d.pop\t%s" % (n, source))
        msg = email.message_from_bytes(raw, policy=policy.default)
        taken, k = set(), 0
        embedded = list(embedded or [])
        for part in msg.walk():
            if part.get_content_type() == "message/rfc822":
                inner = part.get_payload(0)
                label = part.get_filename() or (str(inner["Subject"]) + ".eml" if inner["Subject"] else "message.eml")
                data = embedded.pop(0)
                self._file(n, k, distinct(safe_name(label, self.room), taken), data, taken)
                k += 1
                continue
            if part.is_multipart():
                continue
            fn = part.get_filename()
            if fn is not None:
                self._file(n, k, distinct(safe_name(fn, self.room), taken), part.get_payload(decode=True), taken)
                k += 1
            elif part.get_content_maintype() == "text":
                if part["Content-Transfer-Encoding"] and part["Content-Transfer-Encoding"].lower() == "base64":
                    body = part.get_payload(decode=False)
                    lines = [l for l in body.encode().splitlines() if l.strip()]
                else:
                    lines = [l for l in part.get_payload(decode=True).splitlines() if l.strip()]
                for l in lines[:3]:
                    self.records.append("text\t" + l.hex())

    def _file(self, n, k, name, data, taken):
        # The files written by the decoder get their sorted order from these names.
        taken.add(name)
        orig = os.path.join(self.outdir, "orig", "m%d-%d.bin" % (n, k))
        with open(orig, "wb") as f:
            f.write(data)
        self.records.append("attach\t%s\t%s" % (name.hex(), orig))

    def write(self):
        with open(os.path.join(self.outdir, "manifest.txt"), "w") as f:
            f.write("\n".join(self.records) + "\n")


def data(rnd, n):
    return bytes(rnd.getrandbits(8) for _ in range(n))


NAMES = ["report.pdf", "Übersicht März 2024.xlsx", "日本語のファイル名.pdf", "見積書.docx", "résumé (final).doc",
         "a name with many words that is long enough to be folded by every mailer, " + "long " * 10 + ".zip",
         "Отчёт.txt", "报告.pdf", "semi;colon=equals\"quote.bin"]


def python_messages(c, rnd):
    pols = [("compat32", policy.compat32), ("default", policy.default), ("SMTP", policy.SMTP),
            ("SMTPUTF8", policy.SMTPUTF8), ("HTTP", policy.HTTP), ("strict", policy.strict)]
    for label, pol in pols:
        if label == "compat32":
            outer = MIMEMultipart()
            outer["Subject"] = "compat32"
            outer.attach(MIMEText("Gr\u00fc\u00dfe, compat32\n", "plain", "utf-8"))
            for i, name in enumerate(NAMES[:6]):
                part = MIMEApplication(data(rnd, 500 + 977 * i))
                part.add_header("Content-Disposition", "attachment", filename=("utf-8", "", name))
                outer.attach(part)
            raw = outer.as_bytes(policy=pol)
        else:
            msg = EmailMessage(policy=policy.default)
            msg["From"] = "Jörg <j@example.org>"
            msg["To"] = "r@example.org"
            msg["Subject"] = "policy %s: 日本語の件名" % label
            msg.set_content("plain text under policy %s\nsecond line\n" % label)
            msg.add_alternative("<html><body><p>html under %s</p></body></html>\n" % label, subtype="html")
            for i, name in enumerate(NAMES):
                msg.add_attachment(data(rnd, 300 + 1231 * i), maintype="application", subtype="octet-stream", filename=name)
            raw = msg.as_bytes(policy=pol)  # the policy writes the message
        c.add(raw, "python-" + label)


def have(tool, package):
    if shutil.which(tool):
        return True
    if os.geteuid() != 0 or not shutil.which("apt-get"):
        return False
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    try:
        subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends", package], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    except (OSError, subprocess.SubprocessError):
        return False
    return shutil.which(tool) is not None


def snail_messages(c, rnd, work):
    if not have("s-nail", "s-nail"):
        c.note("s-nail is not installed and cannot be installed here")
        return
    d = os.path.join(work, "snail")
    os.makedirs(d, exist_ok=True)
    files = []
    for i, name in enumerate(["Überweisung März.pdf", "日本語.txt", "plain.bin"]):
        p = os.path.join(d, name)
        with open(p, "wb") as f:
            f.write(data(rnd, 2000 + 3000 * i) if not name.endswith(".txt") else "テキスト\nzweite Zeile\n".encode())
        files.append(name)
    out = os.path.join(d, "out.mbox")
    args = ["s-nail", "-:/", "-Sttycharset=utf-8", "-Smta=test://" + out, "-s", "s-nail: Grüße"]
    for f in files:
        args += ["-a", f]
    args.append("to@example.org")
    subprocess.run(args, cwd=d, input="body of the s-nail message\n".encode(), check=True,
                   env=dict(os.environ, LC_ALL="C.UTF-8"), stdout=subprocess.DEVNULL)
    with open(out, "rb") as f:
        raw = f.read()
    if raw.startswith(b"From "):
        raw = raw.split(b"\n", 1)[1]  # the mbox envelope line
    c.add(raw, "s-nail")


def mpack_messages(c, rnd, work):
    if not have("mpack", "mpack"):
        c.note("mpack is not installed and cannot be installed here")
        return
    d = os.path.join(work, "mpack")
    os.makedirs(d, exist_ok=True)
    name = "mpack data.bin"
    with open(os.path.join(d, name), "wb") as f:
        f.write(data(rnd, 40000))
    subprocess.run(["mpack", "-s", "mpack message", "-o", "out", name], cwd=d, check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(d, "out"), "rb") as f:
        c.add(f.read(), "mpack")


def b64(b):
    return base64.encodebytes(b).decode().replace("\n", "\r\n")


def composed_messages(c, rnd):
    img, pdf, xls, ics, sig = data(rnd, 3000), data(rnd, 9000), data(rnd, 4000), b"BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n", data(rnd, 300)
    # Thunderbird: mixed > alternative > (text, related > (html, image)), attachment with RFC 2231 continuations.
    tb = ("From: A <a@example.org>\nSubject: Thunderbird structure\nMIME-Version: 1.0\n"
          "Content-Type: multipart/mixed;\n boundary=\"------------tb0mixed\"\n\n"
          "This is a multi-part message in MIME format.\n--------------tb0mixed\n"
          "Content-Type: multipart/alternative;\n boundary=\"------------tb1alt\"\n\n\n--------------tb1alt\n"
          "Content-Type: text/plain; charset=UTF-8; format=flowed\nContent-Transfer-Encoding: 7bit\n\n"
          "Thunderbird plain text\n\n--------------tb1alt\n"
          "Content-Type: multipart/related;\n boundary=\"------------tb2rel\"\n\n\n--------------tb2rel\n"
          "Content-Type: text/html; charset=UTF-8\nContent-Transfer-Encoding: 7bit\n\n"
          "<html><body>Thunderbird html <img src=\"cid:part1.tb@example.org\"></body></html>\n\n--------------tb2rel\n"
          "Content-Type: image/png; name=\"logo.png\"\nContent-Disposition: inline; filename=\"logo.png\"\n"
          "Content-Id: <part1.tb@example.org>\nContent-Transfer-Encoding: base64\n\n" + b64(img) +
          "\n--------------tb2rel--\n\n--------------tb1alt--\n--------------tb0mixed\n"
          "Content-Type: application/pdf;\n name*0*=UTF-8''%E6%97%A5%E6%9C%AC%E8%AA%9E%E3%81%AE%E9%95%B7%E3%81%84;\n"
          " name*1*=%E3%83%95%E3%82%A1%E3%82%A4%E3%83%AB%E5%90%8D.pdf\n"
          "Content-Disposition: attachment;\n filename*0*=UTF-8''%E6%97%A5%E6%9C%AC%E8%AA%9E%E3%81%AE%E9%95%B7%E3%81%84;\n"
          " filename*1*=%E3%83%95%E3%82%A1%E3%82%A4%E3%83%AB%E5%90%8D.pdf\nContent-Transfer-Encoding: base64\n\n" + b64(pdf) +
          "\n--------------tb0mixed--\n")
    c.add(tb.encode(), "composed-thunderbird")
    # Outlook: encoded-word names with size and dates, QP alternatives, a calendar invitation.
    ol = ("From: B <b@example.org>\nSubject: =?utf-8?B?T3V0bG9vayDDvGJlcg==?=\nMIME-Version: 1.0\n"
          "Content-Type: multipart/mixed;\n\tboundary=\"_004_DB8PR01MB_\"\n\n--_004_DB8PR01MB_\n"
          "Content-Type: multipart/alternative;\n\tboundary=\"_000_DB8PR01MB_\"\n\n--_000_DB8PR01MB_\n"
          "Content-Type: text/plain; charset=\"utf-8\"\nContent-Transfer-Encoding: quoted-printable\n\n"
          "Outlook Gr=C3=BC=C3=9Fe\n\n--_000_DB8PR01MB_\nContent-Type: text/html; charset=\"utf-8\"\n"
          "Content-Transfer-Encoding: quoted-printable\n\n<html><p>Outlook html</p></html>\n\n--_000_DB8PR01MB_--\n\n"
          "--_004_DB8PR01MB_\nContent-Type: application/vnd.ms-excel;\n\tname=\"=?utf-8?B?UXVhcnRhbHN6YWhsZW4gMjAyNC54bHM=?=\"\n"
          "Content-Description: =?utf-8?B?UXVhcnRhbHN6YWhsZW4gMjAyNC54bHM=?=\n"
          "Content-Disposition: attachment;\n\tfilename=\"=?utf-8?B?UXVhcnRhbHN6YWhsZW4gMjAyNC54bHM=?=\"; size=4000;\n"
          "\tcreation-date=\"Mon, 01 Jan 2024 10:00:00 GMT\";\n\tmodification-date=\"Mon, 01 Jan 2024 10:00:00 GMT\"\n"
          "Content-Transfer-Encoding: base64\n\n" + b64(xls) + "\n--_004_DB8PR01MB_\n"
          "Content-Type: text/calendar; charset=\"utf-8\"; method=REQUEST; name=\"invite.ics\"\n"
          "Content-Disposition: attachment; filename=\"invite.ics\"\nContent-Transfer-Encoding: base64\n\n" + b64(ics) +
          "\n--_004_DB8PR01MB_--\n")
    c.add(ol.encode(), "composed-outlook")
    # Apple Mail: unquoted boundary, inline PDF between text parts, RFC 2231 name.
    ap = ("From: C <c@example.org>\nSubject: Apple Mail\nMime-Version: 1.0 (Mac OS X Mail 16.0)\n"
          "Content-Type: multipart/mixed;\n\tboundary=\"Apple-Mail=_5A6B7C8D-0000-1111-2222-333344445555\"\n\n\n"
          "--Apple-Mail=_5A6B7C8D-0000-1111-2222-333344445555\nContent-Transfer-Encoding: 7bit\n"
          "Content-Type: text/plain;\n\tcharset=us-ascii\n\nApple text before\n\n"
          "--Apple-Mail=_5A6B7C8D-0000-1111-2222-333344445555\nContent-Disposition: inline;\n"
          "\tfilename*=utf-8''Pr%C3%A4sentation%20Q1.pdf\nContent-Type: application/pdf;\n"
          "\tx-unix-mode=0644;\n\tname=\"=?utf-8?Q?Pr=C3=A4sentation_Q1=2Epdf?=\"\nContent-Transfer-Encoding: base64\n\n" +
          b64(pdf) + "\n--Apple-Mail=_5A6B7C8D-0000-1111-2222-333344445555\nContent-Transfer-Encoding: 7bit\n"
          "Content-Type: text/plain;\n\tcharset=us-ascii\n\nApple text after\n"
          "--Apple-Mail=_5A6B7C8D-0000-1111-2222-333344445555--\n")
    c.add(ap.encode(), "composed-apple-mail")
    # Gmail: a Japanese name as two adjacent B words split inside a character.
    jp = "会議資料のまとめ.pptx".encode()
    gm = ("From: D <d@gmail.com>\nSubject: =?UTF-8?B?5Lya6K2w?=\nMIME-Version: 1.0\n"
          "Content-Type: multipart/mixed; boundary=\"000000000000a1b2c3\"\n\n--000000000000a1b2c3\n"
          "Content-Type: multipart/alternative; boundary=\"000000000000a1b2c0\"\n\n--000000000000a1b2c0\n"
          "Content-Type: text/plain; charset=\"UTF-8\"\n\nGmail text\n\n--000000000000a1b2c0\n"
          "Content-Type: text/html; charset=\"UTF-8\"\n\n<div dir=\"ltr\">Gmail html</div>\n\n--000000000000a1b2c0--\n"
          "--000000000000a1b2c3\nContent-Type: application/vnd.ms-powerpoint;\n"
          "\tname=\"=?UTF-8?B?" + base64.b64encode(jp[:10]).decode() + "?=\n =?UTF-8?B?" + base64.b64encode(jp[10:]).decode() +
          "?=\"\nContent-Disposition: attachment;\n\tfilename=\"=?UTF-8?B?" + base64.b64encode(jp[:10]).decode() +
          "?=\n =?UTF-8?B?" + base64.b64encode(jp[10:]).decode() + "?=\"\nContent-Transfer-Encoding: base64\n"
          "X-Attachment-Id: f_lq1\nContent-ID: <f_lq1>\n\n" + b64(xls) + "--000000000000a1b2c3--\n")
    c.add(gm.encode(), "composed-gmail")
    # A forwarded message with an attachment of its own.
    inner = crlf(("From: E <e@example.org>\nSubject: Quarterly report\nMIME-Version: 1.0\n"
                  "Content-Type: multipart/mixed; boundary=\"inner-b\"\n\n--inner-b\nContent-Type: text/plain\n\n"
                  "The inner text.\n--inner-b\nContent-Type: application/pdf; name=\"q.pdf\"\n"
                  "Content-Disposition: attachment; filename=\"q.pdf\"\nContent-Transfer-Encoding: base64\n\n" + b64(pdf) +
                  "--inner-b--\n").encode())
    fw = crlf(("From: F <f@example.org>\nSubject: Fwd: Quarterly report\nMIME-Version: 1.0\n"
               "Content-Type: multipart/mixed; boundary=\"fwd-b\"\n\n--fwd-b\nContent-Type: text/plain\n\n"
               "Forwarding this.\n--fwd-b\nContent-Type: message/rfc822\nContent-Disposition: inline\n\n").encode()) + inner + b"--fwd-b--\r\n"
    c.add(fw, "composed-forward", embedded=[inner])
    # Signed: multipart/signed with a detached OpenPGP signature, and S/MIME.
    for proto, stype, sname in (("application/pgp-signature", "application/pgp-signature", "signature.asc"),
                                ("application/pkcs7-signature", "application/pkcs7-signature", "smime.p7s")):
        sg = ("From: G <g@example.org>\nSubject: signed " + sname + "\nMIME-Version: 1.0\n"
              "Content-Type: multipart/signed; micalg=pgp-sha256;\n protocol=\"" + proto + "\";\n boundary=\"sig-outer\"\n\n"
              "This is an OpenPGP/MIME signed message (RFC 4880 and 3156)\n--sig-outer\n"
              "Content-Type: multipart/mixed; boundary=\"sig-inner\"\n\n--sig-inner\nContent-Type: text/plain; charset=utf-8\n"
              "Content-Transfer-Encoding: quoted-printable\n\nSigned text=2E\n--sig-inner\n"
              "Content-Type: application/octet-stream; name=\"data.bin\"\nContent-Disposition: attachment; filename=\"data.bin\"\n"
              "Content-Transfer-Encoding: base64\n\n" + b64(img) + "--sig-inner--\n\n--sig-outer\n"
              "Content-Type: " + stype + "; name=\"" + sname + "\"\nContent-Description: OpenPGP digital signature\n"
              "Content-Disposition: attachment; filename=\"" + sname + "\"\nContent-Transfer-Encoding: base64\n\n" + b64(sig) +
              "\n--sig-outer--\n")
        c.add(sg.encode(), "composed-signed-" + sname)


def main():
    outdir, room = sys.argv[1], int(sys.argv[2])
    os.makedirs(outdir, exist_ok=True)
    rnd = random.Random(15)
    c = Corpus(outdir, 129 - room - 1)
    python_messages(c, rnd)
    composed_messages(c, rnd)
    snail_messages(c, rnd, os.path.join(outdir, "work"))
    mpack_messages(c, rnd, os.path.join(outdir, "work"))
    c.write()
    return 0


if __name__ == "__main__":
    sys.exit(main())
