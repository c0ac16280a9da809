#!/usr/bin/env python3
"""Real mailers' messages for the incoming MIME decoder test.

Usage: mime_realworld.py OUTDIR python|mpack

Writes into OUTDIR, for message N (counted from 1):
  mN.pop        the bytes a POP3 server sends for RETR N: the status line, the message
                with CR LF line ends and dot-stuffing (RFC 1939 section 3), the end line
  orig/mN-K.bin the original bytes of the message's K-th attachment
and manifest.txt, one record per line, fields separated by tabs, texts hex-encoded:
  skip <reason hex>                  the mailer is not available (first and only record)
  message <mN.pop>
  attach <saved name hex> <orig path>   in the order the message holds them
  text <hex>                         bytes the saved message file must contain

"python" builds messages with the standard `email` package (both its current API and the
older compat32 classes); "mpack" runs mpack(1), installing the Debian package first when
it is missing and the script runs as root.
"""
import os
import random
import shutil
import subprocess
import sys
from email import encoders, policy
from email.message import EmailMessage
from email.mime.application import MIMEApplication
from email.mime.base import MIMEBase
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText


def crlf(data: bytes) -> bytes:
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def pop_reply(message: bytes) -> bytes:
    lines = crlf(message).split(b"\r\n")
    if lines and lines[-1] == b"":
        lines.pop()
    stuffed = [b"." + l if l.startswith(b".") else l for l in lines]
    return b"+OK message follows\r\n" + b"".join(l + b"\r\n" for l in stuffed) + b".\r\n"


class Manifest:
    def __init__(self, outdir):
        self.outdir = outdir
        self.records = []
        self.count = 0
        os.makedirs(os.path.join(outdir, "orig"), exist_ok=True)

    def add(self, message: bytes, attachments, texts):
        """attachments: list of (saved name, bytes); texts: list of bytes."""
        self.count += 1
        n = self.count
        pop = "m%d.pop" % n
        with open(os.path.join(self.outdir, pop), "wb") as f:
            f.write(pop_reply(message))
        self.records.append("message\t" + pop)
        for k, (name, data) in enumerate(attachments, 1):
            orig = os.path.join(self.outdir, "orig", "m%d-%d.bin" % (n, k))
            with open(orig, "wb") as f:
                f.write(data)
            self.records.append("attach\t%s\t%s" % (name.encode("latin-1").hex(), orig))
        for t in texts:
            self.records.append("text\t" + t.hex())

    def write(self):
        with open(os.path.join(self.outdir, "manifest.txt"), "w") as f:
            f.write("\n".join(self.records) + "\n")


def skip(outdir, reason):
    with open(os.path.join(outdir, "manifest.txt"), "w") as f:
        f.write("skip\t" + reason.encode().hex() + "\n")


def python_messages(m: Manifest, rnd: random.Random):
    def data(n):
        return bytes(rnd.getrandbits(8) for _ in range(n))

    # 1. The current API: a folded subject, text and HTML alternatives, three attachments
    #    with names long enough to fold the Content-Disposition line after its ';'.
    msg = EmailMessage(policy=policy.SMTP)
    msg["From"] = "Sender Name <sender@example.org>"
    msg["To"] = "receiver@example.org"
    msg["Subject"] = ("A rather long subject line that certainly needs folding because it goes on "
                      "and on well beyond the seventy-eight characters of a line")
    msg.set_content("plain text body line\n.a line that starts with a dot\nlast line\n")
    msg.add_alternative("<html><body><p>html body</p></body></html>\n", subtype="html")
    atts = [("first_attachment_with_a_longish_name_1.bin", data(1)),
            ("second_attachment_with_a_longish_name.dat", data(57 * 40 + 1)),
            ("third.bin", data(70000))]
    for name, b in atts:
        msg.add_attachment(b, maintype="application", subtype="octet-stream", filename=name)
    m.add(msg.as_bytes(), atts, [b"plain text body line\r\n.a line that starts with a dot\r\n",
                                 b"<p>html body</p>", b"Subject: A rather long subject line"])

    # 2. The compat32 classes: quoted-printable Latin-1 text, an attachment with spaces in
    #    its name, an empty one and an image given inline with a file name.
    outer = MIMEMultipart()
    outer["Subject"] = "compat32 message"
    outer["From"] = "old@example.org"
    outer.preamble = "This is a multi-part message in MIME format.\n"
    outer.attach(MIMEText("Gr\u00fc\u00dfe aus Z\u00fcrich, a = b\n", "plain", "iso-8859-1"))
    atts = []
    for name, b, disp in [("report 2024.pdf", data(5000), "attachment"), ("empty.bin", b"", "attachment"),
                          ("picture.png", data(1234), "inline")]:
        part = MIMEApplication(b, Name=name) if disp == "attachment" else MIMEBase("image", "png")
        if disp == "inline":
            part.set_payload(b)
            encoders.encode_base64(part)
        part.add_header("Content-Disposition", disp, filename=name)
        outer.attach(part)
        atts.append((name, b))
    outer.epilogue = "epilogue text\n"
    m.add(outer.as_bytes(), atts, [b"Gr\xfc\xdfe aus Z\xfcrich, a = b\r\n"])

    # 3 and 4. Names that try to leave the attachment directory.
    for names in (["../../etc/x"], ["/tmp/x", "a/../../b"]):
        msg = EmailMessage(policy=policy.SMTP)
        msg["Subject"] = "names"
        msg.set_content("see attachments\n")
        atts = []
        for name in names:
            b = data(300)
            msg.add_attachment(b, maintype="application", subtype="octet-stream", filename=name)
            atts.append((name.replace("\\", "/").split("/")[-1], b))
        m.add(msg.as_bytes(), atts, [b"see attachments\r\n"])


def ensure_mpack():
    if shutil.which("mpack"):
        return True
    if os.geteuid() != 0 or not shutil.which("apt-get"):
        return False
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    for cmd in (["apt-get", "install", "-y", "-q", "mpack"], ["apt-get", "update", "-q"],
                ["apt-get", "install", "-y", "-q", "mpack"]):
        try:
            subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=240)
        except (OSError, subprocess.SubprocessError):
            return False
        if shutil.which("mpack"):
            return True
    return shutil.which("mpack") is not None


def mpack_messages(m: Manifest, rnd: random.Random, outdir):
    work = os.path.join(outdir, "mpack-work")
    os.makedirs(work, exist_ok=True)
    cases = [("data one.bin", 4000, None, "first description\n"),
             ("a_long_file_name_for_mpack_to_put_on_its_header_lines_0123456789.dat", 65000, None, None),
             ("report.pdf", 777, "application/pdf", "third description\nwith two lines\n")]
    for i, (name, size, ctype, desc) in enumerate(cases, 1):
        b = bytes(rnd.getrandbits(8) for _ in range(size))
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            f.write(b)
        out = os.path.join(work, "out%d" % i)
        cmd = ["mpack", "-s", "mpack message %d" % i, "-o", out]
        if desc:
            dpath = os.path.join(work, "desc%d" % i)
            with open(dpath, "w") as f:
                f.write(desc)
            cmd += ["-d", dpath]
        if ctype:
            cmd += ["-c", ctype]
        cmd.append(name)
        subprocess.run(cmd, cwd=work, check=True, stdout=subprocess.DEVNULL)
        with open(out, "rb") as f:
            message = f.read()
        texts = [crlf(desc.encode())] if desc else []
        m.add(message, [(name, b)], texts + [b"Subject: mpack message %d\r\n" % i])


def main():
    outdir, mailer = sys.argv[1], sys.argv[2]
    os.makedirs(outdir, exist_ok=True)
    rnd = random.Random(20240601)
    m = Manifest(outdir)
    if mailer == "python":
        python_messages(m, rnd)
    elif mailer == "mpack":
        if not ensure_mpack():
            skip(outdir, "mpack is not installed and cannot be installed here")
            return 0
        mpack_messages(m, rnd, outdir)
    else:
        print("unknown mailer " + mailer, file=sys.stderr)
        return 2
    m.write()
    return 0


if __name__ == "__main__":
    sys.exit(main())
