#!/usr/bin/env python3
"""Checks a composed message with non-ASCII texts through Python's `email` package
(policy.default), as a modern mail reader would read it.

Usage: mime_utf8_check.py MESSAGE OUTDIR [EXPECT]

MESSAGE is the message as received after DATA, transparency dots removed. The script
prints one JSON object: the decoded Subject, every header as decoded, the display names
and addresses of To, CC, From and Reply-To, and every leaf part (type, charset, file name
as get_filename() gives it, the name= parameter, Content-ID, the text as get_content()
gives it); the decoded bytes of leaf part N go to OUTDIR/part-N.bin.

Wire checks of its own: CR LF line ends, no line over 998 characters, no header line that
holds an encoded word past column 76, no encoded word over 75 characters, every encoded
word decodes to whole UTF-8 characters on its own (a word never splits one), no parser
defect in the message or in any header (but the two that the quoted name= parameter for
old readers always draws). Text parts are given with LF line ends. EXPECT (UTF-8 JSON) names values that must
match, as in mime_check.py. Exit status 0 only without problems.
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

# The name= parameter for old readers holds encoded words inside its quotes, as mail
# programs have always written it; Python reads it right but notes these two defects.
OLD_READER_NAME = {"encoded word inside quoted string", "missing trailing whitespace after encoded-word"}

WORD = re.compile(rb"=\?([^?]+)\?([bBqQ])\?([^?]*)\?=")


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
    return problems + word_problems(raw)


def addresses(msg, name):
    value = msg.get(name)
    if value is None:
        return None
    return [[a.display_name, a.addr_spec] for a in value.addresses]


def describe(msg, outdir):
    problems = []
    info = {
        "subject": None if msg.get("Subject") is None else str(msg["Subject"]),
        "message_id": None if msg.get("Message-ID") is None else str(msg["Message-ID"]),
        "content_type": msg.get_content_type(),
        "headers": [[k, str(v)] for k, v in msg.items()],
        "parts": [],
    }
    for k in ("To", "CC", "From", "Reply-To"):
        info[k.lower()] = addresses(msg, k)
    for d in msg.defects:
        problems.append("message defect: %s" % type(d).__name__)
    for k, v in msg.items():
        for d in getattr(v, "defects", ()):
            problems.append("header %s defect: %s" % (k, type(d).__name__))
    n = 0
    for part in msg.walk():
        if part.is_multipart():
            continue
        n += 1
        for d in part.defects:
            problems.append("part %d defect: %s" % (n, type(d).__name__))
        for k, v in part.items():
            for d in getattr(v, "defects", ()):
                if k.lower() == "content-type" and str(d) in OLD_READER_NAME:
                    continue
                problems.append("part %d header %s defect: %s" % (n, k, type(d).__name__))
        data = part.get_payload(decode=True) or b""
        path = os.path.join(outdir, "part-%d.bin" % n)
        with open(path, "wb") as f:
            f.write(data)
        entry = {
            "content_type": part.get_content_type(),
            "charset": part.get_content_charset(),
            "cte": None if part.get("Content-Transfer-Encoding") is None
            else str(part["Content-Transfer-Encoding"]).strip().lower(),
            "disposition": part.get_content_disposition(),
            "filename": part.get_filename(),
            "name": part.get_param("name"),
            "content_id": None if part.get("Content-ID") is None else str(part["Content-ID"]),
            "size": len(data),
        }
        if part.get_content_maintype() == "text":
            entry["text"] = part.get_content().replace("\r\n", "\n")
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
            return ["%s: expected %r, got %r" % (where, want, got)]
        out = []
        for i, (w, g) in enumerate(zip(want, got)):
            out.extend(mismatches(w, g, "%s[%d]" % (where, i)))
        return out
    return [] if want == got else ["%s: expected %r, got %r" % (where, want, got)]


def main(argv):
    if len(argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], "rb") as f:
        raw = f.read()
    os.makedirs(argv[2], exist_ok=True)
    problems = wire_problems(raw)
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    info, more = describe(msg, argv[2])
    problems.extend(more)
    if len(argv) > 3:
        with open(argv[3], "r", encoding="utf-8") as f:
            want = json.load(f)
        problems.extend(mismatches(want, info, "message"))
    info["problems"] = problems
    sys.stdout.write(json.dumps(info, sort_keys=True, ensure_ascii=True) + "\n")
    return 0 if not problems else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
