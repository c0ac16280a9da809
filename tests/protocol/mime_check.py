#!/usr/bin/env python3
"""Independent check of a composed message with Python's own MIME parser.

Usage: mime_check.py MESSAGE OUTDIR [EXPECT]

MESSAGE is the message as the server received it after DATA, with the transparency dots
already removed (RFC 5321 section 4.5.2). The script parses it with the standard `email`
package, prints its structure as one JSON object and writes the decoded bytes of every
leaf part into OUTDIR/part-N.bin (N counts the leaf parts from 1), so the caller can compare
attachments with the original files.

It also checks the wire form on its own: every line ends in CR LF, no line is longer than
998 characters (RFC 5322 section 2.1.1), no Bcc header is present, the parser reports no
defect, and every base64 part is strict base64 (RFC 2045 section 6.8) in lines of 76
characters, the last one shorter or equal.

EXPECT, when given, is a JSON file with the expected structure; every key it names must
match (lists element by element, objects key by key). Problems are listed in the output's
"problems" member; the exit status is 0 only when there are none.
"""
import base64
import binascii
import email
import email.policy
import json
import os
import re
import sys

B64_LINE = re.compile(rb"^[A-Za-z0-9+/]*={0,2}$")


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


def describe(msg, outdir):
    problems = []
    info = {
        "content_type": msg.get_content_type(),
        "multipart": msg.is_multipart(),
        "boundary": msg.get_boundary(),
        "headers": [[k, str(v)] for k, v in msg.items()],
        "parts": [],
    }
    for k in ("To", "CC", "From", "Reply-To", "Subject", "Message-ID", "X-Mailer", "MIME-Version", "Date"):
        v = msg.get(k)
        info[k.lower()] = None if v is None else str(v)
    if msg.get("Bcc") is not None:
        problems.append("a Bcc header is present")
    for d in msg.defects:
        problems.append("message defect: %s" % type(d).__name__)
    n = 0
    leaves = msg.walk() if msg.is_multipart() else [msg]
    for part in leaves:
        if part.is_multipart():
            for d in part.defects:
                problems.append("container defect: %s" % type(d).__name__)
            continue
        n += 1
        label = "part %d" % n
        for d in part.defects:
            problems.append("%s defect: %s" % (label, type(d).__name__))
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
            "content_id": None if part.get("Content-ID") is None else str(part.get("Content-ID")),
            "size": len(data),
            "file": path,
        }
        if part.get_content_maintype() == "text":
            entry["text"] = data.decode("latin-1").replace("\r\n", "\n")
        if entry["cte"] == "base64":
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
    if len(argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], "rb") as f:
        raw = f.read()
    os.makedirs(argv[2], exist_ok=True)
    problems = wire_problems(raw)
    msg = email.message_from_bytes(raw, policy=email.policy.compat32)
    info, more = describe(msg, argv[2])
    problems.extend(more)
    if len(argv) > 3:
        with open(argv[3], "r", encoding="latin-1") as f:
            want = json.load(f)
        problems.extend(mismatches(want, info, "message"))
    info["problems"] = problems
    sys.stdout.write(json.dumps(info, sort_keys=True, ensure_ascii=True) + "\n")
    return 0 if not problems else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
