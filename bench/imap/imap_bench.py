#!/usr/bin/env python3
"""The timed part of bench/imap_compare.sh: every tool of a row in turn, round after round
(so that the load of a shared machine falls on all of them alike), each run one process
or a sequence of processes started directly (no shell) and reaped with wait4:

  wall    perf_counter from the first start to the last exit of the sequence
  CPU     user + sys of the processes (wait4's rusage), summed over the sequence
  RSS     the largest ru_maxrss of the sequence (one process's own peak, not a sum)

Medians over the runs for wall and CPU, the largest peak RSS of all runs. Every run's
output is checked (untimed) and the mailbox is checked before every round; when a test
run's clear-mailboxes emptied it meanwhile, it is filled again and the round repeated.

  imap_bench.py --zem BIN --data DIR --state STATE --work DIR --results DIR
                [--runs 5] [--warmup 1] [--only REGEX] [--deadline HH:MM (UTC)]
"""
import argparse
import calendar
import hashlib
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PY = sys.executable
TIME = "/usr/bin/time"


def log(*a):
    print("imap_bench:", *a, file=sys.stderr, flush=True)


def md5(path):
    h = hashlib.md5()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def run_one(argv, errpath, timefile):
    """Runs argv to completion under /usr/bin/time: (status, wall_s, cpu_s, maxrss_kib).

    The peak RSS is time's %M (the child's ru_maxrss). Not wait4's own figure: a child
    spawned from this Python process (vfork + exec) inherits Python's resident size as its
    high-water mark; time forks from a process of about 2 MiB. CPU is wait4's user + sys of
    time, which includes the child's (time's own share is about a millisecond)."""
    with open(errpath, "ab") as err, open(os.devnull, "wb") as out:
        t0 = time.perf_counter()
        pid = os.posix_spawn(TIME, [TIME, "-q", "-f", "%x %M", "-o", timefile, *argv], os.environ, file_actions=[
            (os.POSIX_SPAWN_DUP2, out.fileno(), 1), (os.POSIX_SPAWN_DUP2, err.fileno(), 2)])
        _, status, ru = os.wait4(pid, 0)
        wall = time.perf_counter() - t0
    rc = os.waitstatus_to_exitcode(status)
    try:
        with open(timefile) as f:
            fields = f.read().split()
        rss = int(fields[-1])
    except (OSError, ValueError, IndexError):
        rss, rc = 0, rc or 1
    return rc, wall, ru.ru_utime + ru.ru_stime, rss


def run_seq(steps, errpath):
    wall = cpu = 0.0
    rss = 0
    for argv in steps:
        rc, w, c, r = run_one(argv, errpath, errpath + ".time")
        wall, cpu, rss = wall + w, cpu + c, max(rss, r)
        if rc != 0:
            return f"{os.path.basename(argv[0])} exit {rc}", wall, cpu, rss
    return None, wall, cpu, rss


def count_files(d):
    try:
        return sum(1 for e in os.scandir(d) if e.is_file())
    except OSError:
        return -1


def fs_type(path):
    """The file system type of path, from /proc/self/mounts (longest mount point)."""
    best, kind = "", "?"
    real = os.path.realpath(path)
    try:
        with open("/proc/self/mounts") as f:
            for line in f:
                parts = line.split()
                mnt = parts[1]
                if (real == mnt or real.startswith(mnt.rstrip("/") + "/")) and len(mnt) > len(best):
                    best, kind = mnt, parts[2]
    except OSError:
        pass
    return kind


class Bench:
    def __init__(self, a):
        self.a = a
        with open(os.path.join(a.data, "gen.json")) as f:
            self.gen = json.load(f)
        self.load_state()
        self.curl = shutil.which("curl")
        self.ripmime = shutil.which("ripmime")
        self.refills = 0
        self.rows = {}  # (row, tool) -> list of (wall, cpu, rss)
        self.notes = []
        os.makedirs(a.work, exist_ok=True)
        a.out = a.out or os.path.join(a.work, "out")
        os.makedirs(a.out, exist_ok=True)
        self.errlog = os.path.join(a.work, "stderr.log")
        open(self.errlog, "w").close()
        self.deadline = None
        if a.deadline:
            hh, mm = (int(x) for x in a.deadline.split(":"))
            t = time.gmtime()
            self.deadline = calendar.timegm((t.tm_year, t.tm_mon, t.tm_mday, hh, mm, 0, 0, 0, 0))

    def load_state(self):
        with open(self.a.state) as f:
            self.st = json.load(f)

    def data_cmd(self, *args):
        return [PY, os.path.join(HERE, "imap_data.py"), *args]

    def verify_or_refill(self):
        if subprocess.run(self.data_cmd("verify", self.a.data, self.a.state)).returncode == 0:
            return True
        if self.refills >= 3:
            log("the mailboxes were emptied again; giving up")
            return False
        self.refills += 1
        log(f"the mailboxes lost the test messages (a test run's clear-mailboxes?): filling again ({self.refills})")
        if subprocess.run(self.data_cmd("fill", self.a.data, self.a.state)).returncode != 0:
            return False
        self.load_state()
        self.curl_cfg()
        return True

    # ---- the tools ------------------------------------------------------------------
    def out(self, name):
        return os.path.join(self.a.out, name)

    def curl_url(self, box, uid):
        return f"imap://127.0.0.1:{self.a.port}/{box};UID={uid}"

    def curl_cfg(self):
        """curl -K: one process, one URL/output pair per message; curl keeps the connection."""
        st = self.st
        path = os.path.join(self.a.work, "curl-many.cfg")
        with open(path, "w") as f:
            f.write(f'user = "{self.a.user}:{self.a.password}"\nsilent\nshow-error\nfail-early\n')
            d = self.out("b-curl")
            for u in range(st["small_first"], st["small_last"] + 1):
                f.write(f'url = "{self.curl_url(st["small_mailbox"], u)}"\noutput = "{d}/msg-{u}.eml"\n')
        return path

    def tools(self, row):
        """[(tool name, peer?, [argv...], check(out dir) -> error or None, out dir)]"""
        st, a, g = self.st, self.a, self.gen
        zem, peer = a.zem, os.path.join(HERE, "imap_peer.py")
        big, box = str(st["big_uid"]), st["big_mailbox"]
        small, uids = st["small_mailbox"], f'{st["small_first"]}:{st["small_last"]}'
        n = st["small_count"]
        cred = ["--port", str(a.port), "--user", a.user, "--password", a.password]
        zcred = ["--port", str(a.port), "--user", a.user, "--pass", a.password]
        curl = [self.curl, "-s", "-S", "--fail", "-u", f"{a.user}:{a.password}"]

        def decoded(path):
            def check(_):
                if not os.path.exists(path):
                    return f"{path} missing"
                return None if md5(path) == g["big_bin_md5"] else f"{path}: wrong bytes"
            return check

        def rawfile(path):
            def check(_):
                try:
                    size = os.path.getsize(path)
                except OSError:
                    return f"{path} missing"
                return None if size == g["big_eml_bytes"] else f"{path}: {size} bytes, not {g['big_eml_bytes']}"
            return check

        def many(d, att):
            def check(_):
                k = count_files(d)
                if k != n:
                    return f"{d}: {k} files, not {n}"
                if att and count_files(os.path.join(d, "att")) != g["small_attachments"]:
                    return f"{d}/att: {count_files(os.path.join(d, 'att'))} files, not {g['small_attachments']}"
                return None
            return check

        if row == "A":
            d1, d2, d3 = self.out("a-ours"), self.out("a-curl"), self.out("a-py")
            return [
                ("ours (zemImapFetchFile, decoded: message file + attachment)", False,
                 [[zem, "fetch", "--uid", big, "--mailbox", box, "--decode", "--dir", d1, *zcred]],
                 decoded(d1 + "/big.bin"), d1),
                ("curl imap:// -> file, then ripmime -i -d (sum)", True,
                 [[*curl, "--create-dirs", "-o", d2 + "/message.eml", self.curl_url(box, big)],
                  [self.ripmime, "-i", d2 + "/message.eml", "-d", d2 + "/parts"]],
                 decoded(d2 + "/parts/big.bin"), d2),
                ("python imaplib + email (policy.default)", True,
                 [[PY, peer, *cred, "fetch", box, big, d3, "--decode"]],
                 decoded(d3 + "/big.bin"), d3),
            ]
        if row == "A'":
            d1, d2, d3 = self.out("ar-ours"), self.out("ar-curl"), self.out("ar-py")
            return [
                ("ours raw (ZEM_PARAM_DECODE_STATE 1)", False,
                 [[zem, "fetch", "--uid", big, "--mailbox", box, "--raw", "--dir", d1, *zcred]],
                 rawfile(d1 + "/message.eml"), d1),
                ("curl imap:// -> file", True,
                 [[*curl, "--create-dirs", "-o", d2 + "/message.eml", self.curl_url(box, big)]],
                 rawfile(d2 + "/message.eml"), d2),
                ("python imaplib -> file", True,
                 [[PY, peer, *cred, "fetch", box, big, d3, "--raw"]],
                 rawfile(d3 + "/message.eml"), d3),
            ]
        if row == "B":
            d = {k: self.out("b-" + k) for k in ("ours", "oursraw", "curl", "py", "pyraw", "pybatch")}
            return [
                ("ours (1 conn, zemImapFetchFile each, decoded)", False,
                 [[zem, "fetch-many", "--mailbox", small, "--uids", uids, "--decode", "--dir", d["ours"], *zcred]],
                 many(d["ours"], True), d["ours"]),
                ("ours raw (1 conn, zemImapFetchFile each)", False,
                 [[zem, "fetch-many", "--mailbox", small, "--uids", uids, "--raw", "--dir", d["oursraw"], *zcred]],
                 many(d["oursraw"], False), d["oursraw"]),
                ("curl -K (1 process, conn reused, 1000 URLs), raw", True,
                 [[self.curl, "-K", os.path.join(self.a.work, "curl-many.cfg")]],
                 many(d["curl"], False), d["curl"]),
                ("python imaplib (1 conn, UID FETCH each), raw", True,
                 [[PY, peer, *cred, "fetch-many", small, uids, d["pyraw"], "--raw"]],
                 many(d["pyraw"], False), d["pyraw"]),
                ("python imaplib + email (1 conn, UID FETCH each), decoded", True,
                 [[PY, peer, *cred, "fetch-many", small, uids, d["py"], "--decode"]],
                 many(d["py"], False), d["py"]),
                ("python imaplib, one UID FETCH A:B for all, raw [informative]", "info",
                 [[PY, peer, *cred, "fetch-many", small, uids, d["pybatch"], "--raw", "--batch"]],
                 many(d["pybatch"], False), d["pybatch"]),
            ]
        raise ValueError(row)

    # ---- running --------------------------------------------------------------------
    def past_deadline(self):
        return self.deadline is not None and time.time() > self.deadline

    def round(self, row, timed):
        """One run of every tool of the row. True when all passed."""
        for name, _, steps, check, outdir in self.tools(row):
            if self.a.only and not re.search(self.a.only, f"{row} {name}"):
                continue
            shutil.rmtree(outdir, ignore_errors=True)
            os.makedirs(outdir, exist_ok=True)
            with open(self.errlog, "a") as e:
                e.write(f"--- {row} | {name}\n")
            err, wall, cpu, rss = run_seq(steps, self.errlog)
            if err is None:
                err = check(outdir)
            shutil.rmtree(outdir, ignore_errors=True)
            if err is not None:
                log(f"{row} | {name}: FAILED: {err} (see {self.errlog})")
                return False
            if timed:
                self.rows.setdefault((row, name), []).append((wall, cpu, rss))
                log(f"{row} | {name}: {wall:.3f} s wall, {cpu:.3f} s CPU, {rss / 1024:.1f} MiB")
        return True

    def run_row(self, row):
        done, attempts = 0, 0
        warm = self.a.warmup
        while done < self.a.runs:
            if self.past_deadline():
                self.notes.append(f"row {row}: stopped at the deadline after {done} runs")
                log(f"deadline {self.a.deadline} UTC passed: row {row} stops after {done} runs")
                return
            if not self.verify_or_refill():
                self.notes.append(f"row {row}: the mailboxes could not be kept filled")
                return
            timed = warm == 0
            # A failed round is dropped whole (its tools' runs removed) and repeated.
            before = {k: len(v) for k, v in self.rows.items()}
            if self.round(row, timed):
                if timed:
                    done += 1
                else:
                    warm -= 1
                continue
            for k, v in self.rows.items():
                del v[before.get(k, 0):]
            attempts += 1
            if attempts > 3:
                self.notes.append(f"row {row}: failed rounds, stopped after {done} runs")
                return

    def check_once(self):
        """Untimed: our decoded attachment is the original file, byte for byte."""
        st, d = self.st, self.out("check")
        shutil.rmtree(d, ignore_errors=True)
        rc = subprocess.run([self.a.zem, "fetch", "--uid", str(st["big_uid"]), "--mailbox", st["big_mailbox"],
                             "--decode", "--dir", d, "--port", str(self.a.port), "--user", self.a.user,
                             "--pass", self.a.password], stderr=subprocess.DEVNULL).returncode
        ok = False
        if rc == 0 and os.path.exists(d + "/big.bin"):
            with open(d + "/big.bin", "rb") as f1, open(os.path.join(self.a.data, "big.bin"), "rb") as f2:
                ok = f1.read() == f2.read()
        shutil.rmtree(d, ignore_errors=True)
        msg = "equals" if ok else "DIFFERS FROM"
        self.notes.append(f"check: our decoded attachment (zemImapFetchFile) {msg} the original 10 MiB file")
        log(self.notes[-1])
        return ok

    def table(self):
        lines = [
            f"## IMAP against the fixture's Dovecot ({os.cpu_count()} CPUs, {time.strftime('%Y-%m-%d %H:%M', time.gmtime())} UTC)",
            "",
            f"Medians of {self.a.runs} runs (peak RSS: the largest of the runs). Ratio = ours / best peer of the "
            "row (below 1: ours ahead); for a peer, its value / the best peer's. "
            f"Files written to {self.a.out} ({fs_type(self.a.out)}).",
            "",
            "| row | tool | wall s (min-max) | CPU s (user+sys) | peak RSS MiB | wall ratio | CPU ratio |",
            "|---|---|---:|---:|---:|---:|---:|",
        ]
        titles = {"A": "A: UID FETCH 10 MiB to file, decoded", "A'": "A': the same, raw",
                  "B": "B: 1,000 small messages to files, one connection"}
        for row in ("A", "A'", "B"):
            entries = []
            for name, kind, *_ in self.tools(row):
                v = self.rows.get((row, name))
                if not v:
                    continue
                walls = [x[0] for x in v]
                entries.append((name, kind, statistics.median(walls), min(walls), max(walls),
                                statistics.median(x[1] for x in v), max(x[2] for x in v) / 1024, len(v)))
            peers = [e for e in entries if e[1] is True]
            bw = min((e[2] for e in peers), default=None)
            bc = min((e[5] for e in peers), default=None)
            for name, kind, w, lo, hi, c, r, k in entries:
                rw = f"{w / bw:.2f}" if bw else "-"
                rc = f"{c / bc:.2f}" if bc and bc > 0 else "-"
                tool = f"**{name}**" if kind is False else name
                runs = "" if k == self.a.runs else f" ({k} runs)"
                lines.append(f"| {titles[row]} | {tool}{runs} | {w:.3f} ({lo:.3f}-{hi:.3f}) | {c:.3f} | {r:.1f} | {rw} | {rc} |")
        lines += ["", f"Message sizes: 10 MiB attachment in a {self.gen['big_eml_bytes']:,}-byte message; "
                  f"{self.gen['small_count']} small messages of {self.gen['small_min']:,}-{self.gen['small_max']:,} bytes "
                  f"({self.gen['small_attachments']} with a small attachment). [informative] rows are not counted as "
                  "the best peer (a different way of asking: one command for all messages).", ""]
        lines += [f"- {n}" for n in self.notes]
        return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--zem", required=True)
    ap.add_argument("--data", required=True)
    ap.add_argument("--state", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--out", default="", help="where the tools write their files (default WORK/out)")
    ap.add_argument("--results", required=True)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--warmup", type=int, default=1)
    ap.add_argument("--only", default="")
    ap.add_argument("--deadline", default="")
    ap.add_argument("--port", type=int, default=21143)
    ap.add_argument("--user", default="alice@zem.test")
    ap.add_argument("--password", default="alice-secret")
    a = ap.parse_args()
    b = Bench(a)
    if not b.curl or not b.ripmime:
        log("curl and ripmime are needed (apt-get install curl ripmime)")
        return 1
    if not b.verify_or_refill():
        return 1
    b.curl_cfg()
    ok = b.check_once()
    for row in ("A", "A'", "B"):
        b.run_row(row)
    text = b.table()
    os.makedirs(a.results, exist_ok=True)
    with open(os.path.join(a.results, "imap.md"), "w") as f:
        f.write(text)
    with open(os.path.join(a.results, "imap-runs.tsv"), "w") as f:
        f.write("row\ttool\twall_s\tcpu_s\tmaxrss_kib\n")
        for (row, name), v in b.rows.items():
            for w, c, r in v:
                f.write(f"{row}\t{name}\t{w:.4f}\t{c:.4f}\t{r}\n")
    print(text)
    failed = any(n.startswith("row ") for n in b.notes)
    return 0 if ok and not failed else 1


if __name__ == "__main__":
    sys.exit(main())
