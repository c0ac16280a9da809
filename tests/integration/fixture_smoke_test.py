#!/usr/bin/env python3
"""Checks that the loopback mail servers behave as the integration tests expect.

Runs against the servers started by tests/fixtures/mailservers.sh: every SMTP port with
its own AUTH mechanism, refusals, VRFY, delivery into the Maildirs, the POP3 commands
(USER/PASS, APOP, STAT, LIST, UIDL, TOP, RETR, DELE) reading what was delivered, and IMAP:
every port's capabilities (LOGINDISABLED before STARTTLS where TLS is required), LOGIN,
AUTHENTICATE PLAIN, CRAM-MD5 and SCRAM, the special-use folders, the delivered messages
byte for byte as POP3 serves them, a 10 MiB APPEND and FETCH, and IDLE.
Python standard library only. Exit status 0 when every check passed.
"""

import base64
import email
import email.message
import email.policy
import hashlib
import hmac
import imaplib
import os
import poplib
import re
import smtplib
import ssl
import subprocess
import sys
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(os.path.dirname(HERE), "fixtures", "mailservers.sh")
DOMAIN = "zem.test"
USERS = {"alice": "alice-secret", "bob": "bob-secret", "carol": "carol-secret"}
TIMEOUT = 15


def server_env():
    """The variables `mailservers.sh env` prints; ones already in the environment win."""
    out = subprocess.run([SCRIPT, "env"], check=True, capture_output=True, text=True).stdout
    env = {}
    for line in out.splitlines():
        key, _, value = line.partition("=")
        env[key] = os.environ.get(key, value)
    return env


ENV = server_env()
HOST = ENV["ZEM_SMTP_HOST"]
PORTS = {
    "all": int(ENV["ZEM_SMTP_PORT"]),
    "plain": int(ENV["ZEM_SMTP_PORT_PLAIN"]),
    "login": int(ENV["ZEM_SMTP_PORT_LOGIN"]),
    "cram": int(ENV["ZEM_SMTP_PORT_CRAM"]),
    "noauth": int(ENV["ZEM_SMTP_PORT_NOAUTH"]),
}
POP3_PORT = int(ENV["ZEM_POP3_PORT"])
IMAP_HOST = ENV["ZEM_IMAP_HOST"]
IMAP_PORT = int(ENV["ZEM_IMAP_PORT"])
IMAP_PORT_STARTTLS = int(ENV["ZEM_IMAP_PORT_STARTTLS"])
IMAP_PORT_IMAPS = int(ENV["ZEM_IMAP_PORT_IMAPS"])
IMAP_PORT6 = int(ENV["ZEM_IMAP_PORT6"]) if ENV.get("ZEM_IMAP_PORT6") else None
TLS = ssl.create_default_context(cafile=ENV["ZEM_TLS_CA_FILE"])
# What the IMAP client relies on once logged in.
IMAP_NEEDED = {"IMAP4REV1", "IDLE", "MOVE", "UIDPLUS", "SPECIAL-USE", "CONDSTORE", "QRESYNC",
               "ENABLE", "LITERAL+", "NAMESPACE"}
IMAP_MECHS = {"PLAIN", "LOGIN", "CRAM-MD5", "SCRAM-SHA-1", "SCRAM-SHA-256"}

failures = []
checks = 0


def check(cond, what):
    global checks
    checks += 1
    if cond:
        print(f"ok   {what}")
    else:
        print(f"FAIL {what}")
        failures.append(what)
    return cond


def addr(user):
    return f"{user}@{DOMAIN}"


def script(*args):
    return subprocess.run([SCRIPT, *args], capture_output=True, text=True)


def make_message(sender, rcpt, subject, body):
    msg = email.message.EmailMessage()
    msg["From"] = sender
    msg["To"] = rcpt
    msg["Subject"] = subject
    msg["Message-ID"] = f"<{uuid.uuid4().hex}@{DOMAIN}>"
    msg.set_content(body)
    return msg


def smtp(port_name):
    s = smtplib.SMTP(HOST, PORTS[port_name], timeout=TIMEOUT)
    code, _ = s.ehlo("client.zem.test")
    check(code == 250, f"{port_name}: EHLO answered 250")
    return s


def advertised(s):
    return set(s.esmtp_features.get("auth", "").upper().split())


def auth_with(s, mechanism, user, password):
    """AUTH with one named mechanism (smtplib's login() would pick its own favourite)."""
    s.user, s.password = addr(user), password
    method = {"PLAIN": s.auth_plain, "LOGIN": s.auth_login, "CRAM-MD5": s.auth_cram_md5}[mechanism]
    return s.auth(mechanism, method)


# Each delivered message is recorded here so the POP3 checks know what to expect.
sent = {u: [] for u in USERS}


def send(s, sender_user, rcpt_user, subject):
    body = f"Body of {subject}\nsecond line\n.leading dot survives transparency\n"
    msg = make_message(addr(sender_user), addr(rcpt_user), subject, body)
    refused = s.send_message(msg)
    if check(not refused, f"message '{subject}' accepted for {addr(rcpt_user)}"):
        sent[rcpt_user].append((subject, msg["Message-ID"]))


def smtp_checks():
    expected = {"all": {"PLAIN", "LOGIN", "CRAM-MD5"}, "plain": {"PLAIN"},
                "login": {"LOGIN"}, "cram": {"CRAM-MD5"}}

    # Every authenticating port: exact mechanism list, a good login, a wrong password.
    for name, mechs in expected.items():
        s = smtp(name)
        check(advertised(s) == mechs, f"{name}: EHLO offers exactly {sorted(mechs)} (got {sorted(advertised(s))})")
        size = int(s.esmtp_features.get("size", "0") or 0)
        check(size >= 62914560, f"{name}: SIZE {size} allows 60 MB")
        for mech in sorted(mechs):
            try:
                auth_with(s, mech, "alice", "wrong-password")
                check(False, f"{name}: wrong password refused with {mech}")
            except smtplib.SMTPAuthenticationError as e:
                check(e.smtp_code == 535, f"{name}: wrong password with {mech} refused with 535 (got {e.smtp_code})")
        s.quit()
        for mech in sorted(mechs):
            s = smtp(name)
            code, _ = auth_with(s, mech, "bob", USERS["bob"])
            check(code == 235, f"{name}: AUTH {mech} as bob answered 235 (got {code})")
            send(s, "bob", "alice", f"smoke {name} {mech}")
            s.quit()

    # A single-mechanism port refuses the mechanisms it does not offer.
    for name, mechs in expected.items():
        if len(mechs) != 1:
            continue
        other = "PLAIN" if "PLAIN" not in mechs else "LOGIN"
        s = smtp(name)
        try:
            auth_with(s, other, "alice", USERS["alice"])
            check(False, f"{name}: unoffered {other} refused")
        except smtplib.SMTPAuthenticationError as e:
            check(500 <= e.smtp_code < 600, f"{name}: unoffered {other} refused with {e.smtp_code}")
        s.quit()

    # smtplib's own choice on the port with all three: CRAM-MD5 first, as the library does.
    s = smtp("all")
    code, _ = s.login(addr("carol"), USERS["carol"])
    check(code == 235, "all: smtplib login() (CRAM-MD5 preferred) answered 235")
    send(s, "carol", "bob", "smoke all default")
    s.quit()

    # Loopback may send to the domain without AUTH on every port.
    for name in PORTS:
        s = smtp(name)
        send(s, "carol", "carol", f"smoke unauthenticated {name}")
        s.quit()

    # The no-SASL port offers no AUTH and refuses the command.
    s = smtp("noauth")
    check("auth" not in s.esmtp_features, "noauth: EHLO offers no AUTH")
    code, _ = s.docmd("AUTH", "PLAIN " + base64.b64encode(b"\0alice@zem.test\0alice-secret").decode())
    check(500 <= code < 600, f"noauth: AUTH refused with {code}")

    # VRFY (RFC 5321 s3.5): known address 2xx, unknown 5xx.
    code, text = s.verify(addr("alice"))
    check(200 <= code < 300, f"VRFY alice answered {code} {text!r}")
    code, text = s.verify(addr("nobody"))
    check(500 <= code < 600, f"VRFY nobody answered {code} {text!r}")

    # Unknown local user and foreign domains are refused at RCPT.
    s.mail(addr("alice"))
    code, _ = s.rcpt(addr("nobody"))
    check(code == 550, f"RCPT nobody refused with 550 (got {code})")
    code, _ = s.rcpt("someone@example.org")
    check(500 <= code < 600, f"RCPT to a foreign domain refused (got {code})")
    s.rset()
    s.quit()


def wait_for_mail():
    for user, msgs in sent.items():
        r = script("wait-mail", user, str(len(msgs)), "30")
        check(r.returncode == 0, f"wait-mail {user} {len(msgs)}: {r.stdout.strip()} {r.stderr.strip()}")


def pop3_checks():
    # Wrong password over USER/PASS.
    p = poplib.POP3(HOST, POP3_PORT, timeout=TIMEOUT)
    p.user(addr("alice"))
    try:
        p.pass_("wrong-password")
        check(False, "POP3 wrong password refused")
    except poplib.error_proto as e:
        check(str(e).startswith("b'-ERR"), f"POP3 wrong password refused: {e}")
    p.close()

    # The greeting carries the APOP timestamp (RFC 1939 s7).
    p = poplib.POP3(HOST, POP3_PORT, timeout=TIMEOUT)
    welcome = p.getwelcome()
    check(re.search(rb"<[^<>@]+@[^<>]+>", welcome) is not None, f"POP3 greeting has a timestamp: {welcome!r}")
    try:
        p.apop(addr("alice"), "wrong-password")
        check(False, "APOP wrong secret refused")
    except poplib.error_proto as e:
        check(True, f"APOP wrong secret refused: {e}")
    p.close()

    # USER/PASS: STAT, LIST, UIDL, TOP, RETR, DELE.
    expected = sent["alice"]
    p = poplib.POP3(HOST, POP3_PORT, timeout=TIMEOUT)
    p.user(addr("alice"))
    resp = p.pass_(USERS["alice"])
    check(resp.startswith(b"+OK"), f"POP3 USER/PASS alice: {resp!r}")
    count, size = p.stat()
    check(count == len(expected), f"STAT count {count} == {len(expected)} sent")
    _, listing, _ = p.list()
    sizes = {int(n): int(sz) for n, sz in (line.split() for line in listing)}
    check(len(sizes) == count and sum(sizes.values()) == size, "LIST agrees with STAT")
    _, uidl, _ = p.uidl()
    uids = {int(n): u for n, u in (line.split() for line in uidl)}
    check(len(set(uids.values())) == count, "UIDL gives distinct ids")
    _, top_lines, _ = p.top(1, 0)
    top = email.message_from_bytes(b"\r\n".join(top_lines), policy=email.policy.default)
    check(top["Subject"] is not None and not top.get_payload().strip(), "TOP 1 0 gives headers, no body")
    seen_ids = set()
    for n in range(1, count + 1):
        _, lines, octets = p.retr(n)
        raw = b"\r\n".join(lines) + b"\r\n"
        check(abs(len(raw) - sizes[n]) <= 2 and octets >= len(raw) - 2,
              f"RETR {n} size {len(raw)} matches LIST {sizes[n]}")
        msg = email.message_from_bytes(raw, policy=email.policy.default)
        seen_ids.add(msg["Message-ID"])
        check(".leading dot survives transparency" in msg.get_content(), f"RETR {n} body intact")
    check(seen_ids == {mid for _, mid in expected}, "every sent Message-ID arrived once")
    resp = p.dele(1)
    check(resp.startswith(b"+OK"), f"DELE 1: {resp!r}")
    p.quit()

    # APOP: the deletion was committed at QUIT, the other UIDs are unchanged.
    p = poplib.POP3(HOST, POP3_PORT, timeout=TIMEOUT)
    resp = p.apop(addr("alice"), USERS["alice"])
    check(resp.startswith(b"+OK"), f"APOP alice: {resp!r}")
    count2, _ = p.stat()
    check(count2 == count - 1, f"after DELE+QUIT STAT count {count2} == {count - 1}")
    _, uidl2, _ = p.uidl()
    check({u for _, u in (line.split() for line in uidl2)} == set(uids.values()) - {uids[1]},
          "UIDL after DELE: the rest kept their ids")
    p.quit()


def capabilities(m):
    typ, data = m.capability()
    return set(data[-1].decode().upper().split()) if typ == "OK" else set()


def scram(user, password, mechanism):
    """An authobject for imaplib's authenticate(): SCRAM-SHA-1/-256 (RFC 5802, RFC 7677)
    without channel binding. state["verified"] tells whether the server proved it knows
    the password too."""
    algo = {"SCRAM-SHA-1": "sha1", "SCRAM-SHA-256": "sha256"}[mechanism]
    first_bare = f"n={user},r={base64.b64encode(os.urandom(18)).decode()}"
    state = {"step": 0, "verified": False}

    def step(challenge):
        state["step"] += 1
        if state["step"] == 1:
            return "n,," + first_bare
        if state["step"] == 2:
            server_first = challenge.decode()
            attrs = dict(kv.split("=", 1) for kv in server_first.split(","))
            salted = hashlib.pbkdf2_hmac(algo, password.encode(), base64.b64decode(attrs["s"]),
                                         int(attrs["i"]))
            client_key = hmac.new(salted, b"Client Key", algo).digest()
            final_bare = f"c=biws,r={attrs['r']}"
            auth_message = f"{first_bare},{server_first},{final_bare}".encode()
            signature = hmac.new(hashlib.new(algo, client_key).digest(), auth_message, algo).digest()
            proof = bytes(a ^ b for a, b in zip(client_key, signature))
            server_key = hmac.new(salted, b"Server Key", algo).digest()
            state["expect"] = b"v=" + base64.b64encode(hmac.new(server_key, auth_message, algo).digest())
            return final_bare + ",p=" + base64.b64encode(proof).decode()
        state["verified"] = challenge == state.get("expect")
        return ""
    return step, state


def imap_port_checks():
    login = (addr("alice"), USERS["alice"])
    ports = [("plain", IMAP_HOST, IMAP_PORT), ("starttls", IMAP_HOST, IMAP_PORT_STARTTLS),
             ("imaps", IMAP_HOST, IMAP_PORT_IMAPS)]
    if IMAP_PORT6:
        ports.append(("ipv6", "::1", IMAP_PORT6))
    for name, host, port in ports:
        what = f"IMAP {name} [{host}]:{port}"
        if name == "imaps":
            m = imaplib.IMAP4_SSL(host, port, ssl_context=TLS, timeout=TIMEOUT)
        else:
            m = imaplib.IMAP4(host, port, timeout=TIMEOUT)
        caps = capabilities(m)
        if name == "starttls":
            no_auth = not any(c.startswith("AUTH=") for c in caps)
            check("LOGINDISABLED" in caps and "STARTTLS" in caps and no_auth,
                  f"{what}: LOGINDISABLED, STARTTLS and no AUTH= before STARTTLS: {sorted(caps)}")
            try:
                m.login(*login)
                check(False, f"{what}: LOGIN refused before STARTTLS")
            except imaplib.IMAP4.error as e:
                check(True, f"{what}: LOGIN refused before STARTTLS: {e}")
            m.starttls(ssl_context=TLS)
            caps = capabilities(m)
        elif name != "imaps":
            check("STARTTLS" in caps, f"{what}: STARTTLS offered")
        check("LOGINDISABLED" not in caps and IMAP_MECHS <= {c[5:] for c in caps if c.startswith("AUTH=")},
              f"{what}: LOGIN and AUTH={'/'.join(sorted(IMAP_MECHS))} offered: {sorted(caps)}")
        typ, _ = m.login(*login)
        check(typ == "OK", f"{what}: LOGIN alice")
        caps = capabilities(m)
        check(IMAP_NEEDED <= caps,
              f"{what}: logged in, offers what the client uses (missing {sorted(IMAP_NEEDED - caps)})")
        m.logout()

    # Every mechanism on the plain port, without TLS.
    for mech in ["PLAIN", "CRAM-MD5", "SCRAM-SHA-1", "SCRAM-SHA-256"]:
        m = imaplib.IMAP4(IMAP_HOST, IMAP_PORT, timeout=TIMEOUT)
        state = None
        try:
            if mech == "PLAIN":
                typ, _ = m.authenticate("PLAIN", lambda _: f"\0{login[0]}\0{login[1]}")
            elif mech == "CRAM-MD5":
                typ, _ = m.login_cram_md5(*login)
            else:
                step, state = scram(*login, mech)
                typ, _ = m.authenticate(mech, step)
        except imaplib.IMAP4.error as e:
            typ = str(e)
        check(typ == "OK", f"IMAP AUTHENTICATE {mech} as alice: {typ}")
        if state is not None:
            check(state["verified"], f"IMAP {mech}: the server's signature checks out")
        m.logout()
    m = imaplib.IMAP4(IMAP_HOST, IMAP_PORT, timeout=TIMEOUT)
    try:
        m.authenticate("SCRAM-SHA-256", scram(login[0], "wrong-password", "SCRAM-SHA-256")[0])
        check(False, "IMAP SCRAM-SHA-256 with a wrong password refused")
    except imaplib.IMAP4.error as e:
        check(True, f"IMAP SCRAM-SHA-256 with a wrong password refused: {e}")
    m.logout()


def fetched_messages(m, selector="1:*"):
    """Message bytes of a FETCH BODY.PEEK[] (the selected mailbox's, all by default)."""
    typ, data = m.fetch(selector, "(BODY.PEEK[])")
    return [item[1] for item in data if isinstance(item, tuple)] if typ == "OK" else []


def imap_checks():
    imap_port_checks()
    m = imaplib.IMAP4(IMAP_HOST, IMAP_PORT, timeout=TIMEOUT)
    m.login(addr("alice"), USERS["alice"])

    typ, data = m.list('""', '"*" RETURN (SPECIAL-USE)')
    folders = {}
    for line in data if typ == "OK" else []:
        found = re.match(rb'\(([^)]*)\) (?:"[^"]*"|NIL) "?([^"]*)"?$', line)
        if found:
            folders[found.group(2).decode()] = set(found.group(1).decode().split())
    for folder in ["Drafts", "Sent", "Trash", "Junk"]:
        check(f"\\{folder}" in folders.get(folder, set()),
              f"LIST RETURN (SPECIAL-USE): {folder} is \\{folder} ({folders.get(folder)})")

    # What Postfix delivered, over IMAP and over POP3: the same bytes.
    m.select("INBOX", readonly=True)
    imap_raw = {}
    for raw in fetched_messages(m):
        imap_raw[email.message_from_bytes(raw, policy=email.policy.default)["Message-ID"]] = raw
    check(set(imap_raw) == {mid for _, mid in sent["alice"]},
          f"IMAP INBOX holds the {len(sent['alice'])} messages sent to alice (has {len(imap_raw)})")
    p = poplib.POP3(HOST, POP3_PORT, timeout=TIMEOUT)
    p.user(addr("alice"))
    p.pass_(USERS["alice"])
    same = 0
    for n in range(1, p.stat()[0] + 1):
        raw = b"\r\n".join(p.retr(n)[1]) + b"\r\n"
        mid = email.message_from_bytes(raw, policy=email.policy.default)["Message-ID"]
        same += imap_raw.get(mid) == raw
    p.quit()
    check(same == len(imap_raw) > 0, f"{same} of {len(imap_raw)} messages byte-identical over IMAP and POP3")

    # A 10 MiB message in a folder of its own (clear-mailboxes removes it).
    big = (f"From: {addr('alice')}\r\nTo: {addr('alice')}\r\nSubject: smoke big\r\n\r\n".encode() +
           b"".join(b"%075d\r\n" % i for i in range(10 * 1024 * 1024 // 77 + 1)))
    check(m.create("smoke-big")[0] == "OK", "IMAP CREATE smoke-big")
    typ, data = m.append("smoke-big", None, None, big)
    check(typ == "OK" and b"APPENDUID" in data[0], f"IMAP APPEND of {len(big)} bytes: {typ} {data[0][:40]!r}")
    m.select("smoke-big", readonly=True)
    check(fetched_messages(m) == [big], "IMAP FETCH gives the 10 MiB message back unchanged")
    m.logout()

    # IDLE: a message delivered meanwhile is announced within seconds.
    m = imaplib.IMAP4(IMAP_HOST, IMAP_PORT, timeout=TIMEOUT)
    m.login(addr("carol"), USERS["carol"])
    m.select("INBOX")
    m.send(b"I1 IDLE\r\n")
    check(m.readline().startswith(b"+"), "IMAP IDLE answered with a continuation")
    t0 = time.monotonic()
    s = smtplib.SMTP(HOST, PORTS["all"], timeout=TIMEOUT)
    s.send_message(make_message(addr("bob"), addr("carol"), "smoke idle", "idle\n"))
    s.quit()
    line = b""
    while b"EXISTS" not in line and time.monotonic() - t0 < 10:
        line = m.readline()
    check(b"EXISTS" in line, f"IMAP IDLE reported the new message after {time.monotonic() - t0:.2f} s: {line!r}")
    m.send(b"DONE\r\n")
    while not line.startswith(b"I1 "):
        line = m.readline()
    check(line.startswith(b"I1 OK"), f"IMAP IDLE ended with DONE: {line!r}")
    m.logout()


def clear_checks():
    r = script("clear-mailboxes")
    check(r.returncode == 0, "clear-mailboxes ran")
    p = poplib.POP3(HOST, POP3_PORT, timeout=TIMEOUT)
    p.user(addr("bob"))
    p.pass_(USERS["bob"])
    check(p.stat()[0] == 0, "bob's mailbox empty after clear-mailboxes")
    p.quit()
    m = imaplib.IMAP4(IMAP_HOST, IMAP_PORT, timeout=TIMEOUT)
    m.login(addr("alice"), USERS["alice"])
    typ, data = m.list()
    names = b" ".join(data) if typ == "OK" else b""
    check(b"smoke-big" not in names and b"Sent" in names,
          f"alice's IMAP folders after clear-mailboxes: Sent again, smoke-big gone ({names!r})")
    check(m.select("Sent")[1] == [b"0"] and m.select("INBOX")[1] == [b"0"], "alice's Sent and INBOX empty")
    m.logout()
    t0 = time.monotonic()
    r = script("wait-mail", "bob", "1", "1")
    check(r.returncode == 1 and time.monotonic() - t0 < 5, "wait-mail times out with exit 1 on an empty mailbox")


def main():
    r = script("clear-mailboxes")
    check(r.returncode == 0, "clear-mailboxes before the run")
    smtp_checks()
    wait_for_mail()
    imap_checks()
    pop3_checks()
    clear_checks()
    print(f"{checks - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Exception as e:  # a server that is not there is a failure, not a traceback only
        import traceback
        traceback.print_exc()
        print(f"{checks - len(failures)} passed, {len(failures) + 1} failed")
        sys.exit(1)
