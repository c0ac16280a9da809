#!/usr/bin/env python3
"""Helpers of bench/compare.sh: output checks and the comparison table.

  compare.py check-sent  MANIFEST SAVED.eml NAME   the message the sink saved carries
                                                  attachment NAME with its MD5
  compare.py check-raw   MANIFEST RAW.eml NAME    a raw POP3 save (status line, dot-stuffed
                                                  lines, final dot) holds message NAME
  compare.py check-file  MANIFEST FILE NAME       FILE has the MD5 of NAME
  compare.py table       PEERS.TSV EXTRA.TSV OUT.md
                                                  ours against the best peer per workload

Each check prints one line and exits 1 when it fails.
"""
import email
import hashlib
import json
import statistics
import sys
from email import policy


def md5_of(manifest, name):
    with open(manifest) as f:
        return json.load(f)[name]["md5"]


def result(ok, label):
    print(("check ok:   " if ok else "check FAIL: ") + label)
    return 0 if ok else 1


def check_sent(manifest, path, name):
    with open(path, "rb") as f:
        msg = email.message_from_binary_file(f, policy=policy.default)
    want = md5_of(manifest, name)
    found = []
    for part in msg.walk():
        if part.get_filename() == name:
            data = part.get_payload(decode=True) or b""
            found.append(hashlib.md5(data).hexdigest())
    ok = found == [want]
    return result(ok, "sent message carries %s (MD5 %s, found %s)" % (name, want, found or "none"))


def check_raw(manifest, path, name):
    with open(path, "rb") as f:
        data = f.read()
    lines = data.split(b"\r\n")
    ok = (len(lines) > 3 and lines[0].startswith(b"+OK") and lines[-2] == b"." and lines[-1] == b"")
    if ok:
        body = [l[1:] if l.startswith(b"..") else l for l in lines[1:-2]]
        got = hashlib.md5(b"\r\n".join(body) + b"\r\n").hexdigest()
        ok = got == md5_of(manifest, name)
    return result(ok, "raw RETR save holds %s byte for byte (after the status line and dot-stuffing)" % name)


def check_file(manifest, path, name):
    try:
        with open(path, "rb") as f:
            got = hashlib.md5(f.read()).hexdigest()
    except OSError as e:
        got = str(e)
    return result(got == md5_of(manifest, name), "%s has the MD5 of %s" % (path, name))


def rate(text):
    try:
        return float(text.split()[0])
    except (ValueError, IndexError):
        return None


def job_of(tool):
    """What a row does, so that ours is set against peers doing the same job."""
    t = tool.lower()
    if "no network" in t or "reference" in t:
        return None  # not the workload itself
    if "no decode" in t:
        return "transfer only"
    if "prebuilt" in t or t.endswith("(send)"):
        return "send only"
    return "full"


def table(peers_tsv, extra_tsv, out_md):
    rows = []
    with open(peers_tsv) as f:
        for line in f:
            c = line.rstrip("\n").split("\t")
            if len(c) >= 5:
                rows.append({"wl": c[0], "tool": c[1], "median": c[2], "thr": c[3], "rss": c[4]})
    order = []
    for r in rows:
        if r["wl"] not in order:
            order.append(r["wl"])
    out = ["| workload | ours | throughput | best peer, same job | throughput | ours/peer | best peer, any | throughput | ours/peer |",
           "|---|---|---:|---|---:|---:|---|---:|---:|"]
    for wl in order:
        mine = [r for r in rows if r["wl"] == wl and r["tool"].startswith("ours")]
        peers = [r for r in rows if r["wl"] == wl and not r["tool"].startswith("ours")
                 and job_of(r["tool"]) is not None and rate(r["thr"]) is not None]
        for m in mine:
            job = "transfer only" if "no decode" in m["tool"] else "full"
            same = [p for p in peers if job_of(p["tool"]) == job]
            cells = [wl, m["tool"], m["thr"]]
            for group in (same, peers):
                best = max(group, key=lambda p: rate(p["thr"])) if group else None
                mr = rate(m["thr"])
                if best is None:
                    cells += ["-", "-", "-"]
                else:
                    ratio = "%.2f" % (mr / rate(best["thr"])) if mr is not None else "-"
                    cells += [best["tool"], best["thr"], ratio]
            out.append("| " + " | ".join(cells) + " |")
    out.append("")
    out.append("ours/peer = our throughput / the peer's (above 1: ours is faster). Same job: a peer that")
    out.append("composes (or decodes) as ours does; \"any\" includes peers that send a prebuilt message.")

    extras = {}
    try:
        with open(extra_tsv) as f:
            for line in f:
                name, _, summary = line.rstrip("\n").partition("\t")
                fields = dict(kv.split("=", 1) for kv in summary.split() if "=" in kv)
                extras.setdefault(name, []).append(fields)
    except OSError:
        pass
    if extras:
        out += ["", "| figure (no peer) | runs | wall s | CPU s | CPU % of wall | ms/msg | peak RSS MiB | other |",
                "|---|---:|---:|---:|---:|---:|---:|---|"]
        for name, runs in extras.items():
            good = [r for r in runs if "wall_s" in r]
            if not good:
                out.append("| %s | %d | FAILED | | | | | |" % (name, len(runs)))
                continue

            def med(key):
                v = [float(r[key]) for r in good if key in r]
                return statistics.median(v) if v else None

            def cell(v, fmt):
                return fmt % v if v is not None else "-"

            other = " ".join("%s=%s" % (k, good[-1][k]) for k in
                             ("rounds", "waits", "idle_waits", "greeting_delay_ms") if k in good[-1])
            failed = len(runs) - len(good)
            out.append("| %s | %d%s | %s | %s | %s | %s | %s | %s |" % (
                name, len(good), " (%d FAILED)" % failed if failed else "", cell(med("wall_s"), "%.4f"),
                cell(med("cpu_s"), "%.4f"), cell(med("cpu_pct"), "%.2f"), cell(med("ms_per_msg"), "%.3f"),
                cell(med("maxrss_mib"), "%.1f"), other))
        out.append("")
        out.append("CHANNELS-128: 128 channels, each connect, one 1 KiB message, close, driven from one")
        out.append("thread with zemDriver and zemWaitAny. WAIT-CPU: a blocking connect to a server that")
        out.append("greets after 2 s. LATENCY-DEFAULT-*: the library's default step delay and pauses.")
    text = "\n".join(out) + "\n"
    with open(out_md, "w") as f:
        f.write(text)
    print(text, end="")
    return 0


def main(argv):
    if len(argv) == 5 and argv[1] == "check-sent":
        return check_sent(*argv[2:])
    if len(argv) == 5 and argv[1] == "check-raw":
        return check_raw(*argv[2:])
    if len(argv) == 5 and argv[1] == "check-file":
        return check_file(*argv[2:])
    if len(argv) == 5 and argv[1] == "table":
        return table(*argv[2:])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
