#!/usr/bin/env python3
"""Independent check of a composed message with Python's own MIME parser.

Usage: mime_check.py [--utf8] MESSAGE OUTDIR [EXPECT]

MESSAGE is the message as the server received it after DATA, with the transparency dots
already removed (RFC 5321 section 4.5.2). The script parses it with the standard `email`
package, prints its structure as one JSON object and writes the decoded bytes of every
leaf part into OUTDIR/part-N.bin (N counts the leaf parts from 1), so the caller can compare
attachments with the original files.

Both ways check the wire form: every line ends in CR LF, no line is longer than 998
characters (RFC 5322 section 2.1.1), the parser reports no defect in the message or a part.

Without --utf8 the message is read as an old reader reads it (policy.compat32): headers as
they stand, text parts as ISO-8859-1, the part's file path. It also checks that no Bcc
header is present, no container has a defect, and every base64 part is strict base64
(RFC 2045 section 6.8) in lines of 76 characters, the last one shorter or equal.

With --utf8 it is read as a modern reader reads non-ASCII texts (policy.default): the
Subject and every header decoded, To, CC, From and Reply-To as [display name, address]
pairs, each part's charset, text parts as get_content() gives them. It also checks that no
header line holding an encoded word passes column 76, no encoded word is over 75
characters, every encoded word decodes to whole characters on its own (a word never splits
one), and no header has a defect but the two the quoted name= parameter for old readers
always draws. EXPECT is then read as UTF-8, else as ISO-8859-1.

Text parts are given with LF line ends. EXPECT, when given, is a JSON file with the
expected structure; every key it names must match (lists element by element, objects key
by key). Problems are listed in the output's "problems" member; the exit status is 0 only
when there are none.
"""
import base64
import binascii
import email
import email.policy
import json
import os
import quopri
import re
import sys

B64_LINE = re.compile(rb"^[A-Za-z0-9+/]*={0,2}$")

WORD = re.compile(rb"=\?([^?]+)\?([bBqQ])\?([^?]*)\?=")

# The name= parameter for old readers holds encoded words inside its quotes, as mail
# programs have always written it; Python reads it right but notes these two defects.
OLD_READER_NAME = {"encoded word inside quoted string", "missing trailing whitespace after encoded-word"}

# The headers given by value in the old reader's view, keyed by their lower-case name.
PLAIN_HEADERS = ("To", "CC", "From", "Reply-To", "Subject", "Message-ID", "X-Mailer", "MIME-Version", "Date")


def wire_problems(raw):
    problems = []
    lines = raw.split(b"\r\n")
    if lines and lines[-1] == b"":
        lines.pop()
    else:
        problems.append("the message does not end with CR LF")
    for no, line in enumerate(lines, 1):
        if b"\r" in line or b"\n" in line:
            problems.append("line %d holds a bare CR or LF" % no)
        if len(line) > 998:
            problems.append("line %d is %d characters long" % (no, len(line)))
    return problems


def word_problems(raw):
    problems = []
    head = raw.split(b"\r\n\r\n", 1)[0]
    for no, line in enumerate(head.split(b"\r\n"), 1):
        words = WORD.findall(line)
        if words and len(line) > 76:
            problems.append("header line %d is %d columns long" % (no, len(line)))
        for m in WORD.finditer(line):
            if len(m.group(0)) > 75:
                problems.append("header line %d: encoded word of %d characters" % (no, len(m.group(0))))
            charset, kind, text = m.group(1), m.group(2).upper(), m.group(3)
            try:
                if kind == b"B":
                    data = base64.b64decode(text, validate=True)
                else:
                    data = quopri.decodestring(text.replace(b"_", b" "), header=True)
                data.decode(charset.decode("ascii"))
            except (binascii.Error, ValueError, LookupError) as exc:
                problems.append("header line %d: word %r does not decode alone: %s" % (no, m.group(0), exc))
    return problems


def base64_problems(part, label):
    problems = []
    body = part.get_payload(decode=False)
    if isinstance(body, str):
        body = body.encode("ascii", "replace")
    lines = [l for l in body.replace(b"\r\n", b"\n").split(b"\n")]
    while lines and lines[-1] == b"":
        lines.pop()
    for i, line in enumerate(lines):
        if not B64_LINE.match(line):
            problems.append("%s: base64 line %d has foreign characters" % (label, i + 1))
        if len(line) % 4 != 0:
            problems.append("%s: base64 line %d is not whole groups" % (label, i + 1))
        if len(line) > 76:
            problems.append("%s: base64 line %d is longer than 76" % (label, i + 1))
        if i < len(lines) - 1 and len(line) != 76:
            problems.append("%s: base64 line %d is short but not last" % (label, i + 1))
    try:
        strict = base64.b64decode(b"".join(lines), validate=True)
    except (binascii.Error, ValueError) as exc:
        problems.append("%s: not strict base64: %s" % (label, exc))
        strict = None
    loose = part.get_payload(decode=True) or b""
    if strict is not None and strict != loose:
        problems.append("%s: strict and lenient decodings differ" % label)
    return problems


def header_defects(part, prefix):
    # Only policy.default gives header values that carry defects.
    out = []
    for k, v in part.items():
        for d in getattr(v, "defects", ()):
            if k.lower() == "content-type" and str(d) in OLD_READER_NAME:
                continue
            out.append("%sheader %s defect: %s" % (prefix, k, type(d).__name__))
    return out


def text_of(msg, name):
    v = msg.get(name)
    return None if v is None else str(v)


def addresses(msg, name):
    value = msg.get(name)
    if value is None:
        return None
    return [[a.display_name, a.username + "@" + a.domain if a.domain else a.username] for a in value.addresses]


def describe(msg, outdir, utf8):
    problems = []
    info = {
        "content_type": msg.get_content_type(),
        "headers": [[k, str(v)] for k, v in msg.items()],
        "parts": [],
    }
    if utf8:
        info["subject"] = text_of(msg, "Subject")
        info["message_id"] = text_of(msg, "Message-ID")
        for k in ("To", "CC", "From", "Reply-To"):
            info[k.lower()] = addresses(msg, k)
    else:
        info["multipart"] = msg.is_multipart()
        info["boundary"] = msg.get_boundary()
        for k in PLAIN_HEADERS:
            info[k.lower()] = text_of(msg, k)
        if msg.get("Bcc") is not None:
            problems.append("a Bcc header is present")
    for d in msg.defects:
        problems.append("message defect: %s" % type(d).__name__)
    problems.extend(header_defects(msg, ""))
    n = 0
    for part in msg.walk():
        if part.is_multipart():
            if not utf8:
                for d in part.defects:
                    problems.append("container defect: %s" % type(d).__name__)
            continue
        n += 1
        label = "part %d" % n
        for d in part.defects:
            problems.append("%s defect: %s" % (label, type(d).__name__))
        problems.extend(header_defects(part, label + " "))
        data = part.get_payload(decode=True) or b""
        path = os.path.join(outdir, "part-%d.bin" % n)
        with open(path, "wb") as f:
            f.write(data)
        cte = part.get("Content-Transfer-Encoding")
        entry = {
            "content_type": part.get_content_type(),
            "cte": None if cte is None else str(cte).strip().lower(),
            "disposition": part.get_content_disposition(),
            "filename": part.get_filename(),
            "name": part.get_param("name"),
            "content_id": text_of(part, "Content-ID"),
            "size": len(data),
        }
        if utf8:
            entry["charset"] = part.get_content_charset()
        else:
            entry["file"] = path
        if part.get_content_maintype() == "text":
            text = part.get_content() if utf8 else data.decode("latin-1")
            entry["text"] = text.replace("\r\n", "\n")
        if entry["cte"] == "base64" and not utf8:
            problems.extend(base64_problems(part, label))
        info["parts"].append(entry)
    return info, problems


def mismatches(want, got, where):
    if isinstance(want, dict):
        if not isinstance(got, dict):
            return ["%s: expected an object, got %r" % (where, got)]
        out = []
        for k, v in want.items():
            out.extend(mismatches(v, got.get(k), "%s.%s" % (where, k)))
        return out
    if isinstance(want, list):
        if not isinstance(got, list) or len(got) != len(want):
            return ["%s: expected %d items, got %r" % (where, len(want), got if not isinstance(got, list) else len(got))]
        out = []
        for i, (w, g) in enumerate(zip(want, got)):
            out.extend(mismatches(w, g, "%s[%d]" % (where, i)))
        return out
    return [] if want == got else ["%s: expected %r, got %r" % (where, want, got)]


def main(argv):
    args = argv[1:]
    utf8 = bool(args) and args[0] == "--utf8"
    if utf8:
        args = args[1:]
    if len(args) < 2:
        sys.stderr.write(__doc__)
        return 2
    with open(args[0], "rb") as f:
        raw = f.read()
    os.makedirs(args[1], exist_ok=True)
    problems = wire_problems(raw)
    if utf8:
        problems.extend(word_problems(raw))
    policy = email.policy.default if utf8 else email.policy.compat32
    msg = email.message_from_bytes(raw, policy=policy)
    info, more = describe(msg, args[1], utf8)
    problems.extend(more)
    if len(args) > 2:
        with open(args[2], "r", encoding="utf-8" if utf8 else "latin-1") as f:
            want = json.load(f)
        problems.extend(mismatches(want, info, "message"))
    info["problems"] = problems
    sys.stdout.write(json.dumps(info, sort_keys=True, ensure_ascii=True) + "\n")
    return 0 if not problems else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
