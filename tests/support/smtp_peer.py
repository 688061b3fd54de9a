#!/usr/bin/python3
"""Test SMTP peer: a real aiosmtpd server on loopback that records what it accepts.

Usage: smtp_peer.py PORT RECORD_DIR [USER PASSWORD [MODES [CERT KEY]]]

Each accepted message N is written to RECORD_DIR as msgN.eml (the content
bytes as received, dot-stuffing removed) and msgN.env (sender, then one
recipient per line), each renamed into place when complete. With USER and
PASSWORD, AUTH LOGIN accepts exactly those; with "required", MAIL is refused
until a client has logged in; with "cram", CRAM-MD5 is the only mechanism
offered. With CERT and KEY, "starttls" demands STARTTLS (AUTH inside it),
"offer" offers it, "implicit" is TLS from the first byte; a message that came
over TLS gets an empty msgN.tls, and each login's mechanism goes to
RECORD_DIR/auth. Recipients starting with "refused" get 550, those starting with
"forward" get 251, those starting with "later" get 451 the first time each is named; a message for a recipient starting with "rejectdata" gets
554 at the end of its data and is not recorded; one for a recipient starting with
"slow" is answered 0.1 s late; a message with a field "X-Test-Reply: CODE TEXT"
gets that reply at the end of its data and is not recorded. Prints READY once listening; runs
until killed.
"""
import asyncio
import hashlib
import hmac
import os
import re
import ssl
import sys
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import MISSING, SMTP, AuthResult, LoginPassword

# The prompts most servers send (aiosmtpd's own default is "User Name\0").
SMTP.AuthLoginUsernameChallenge = "Username:"
SMTP.AuthLoginPasswordChallenge = "Password:"


class Recorder:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0
        self.deferred = set()

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.startswith("refused"):
            return "550 5.1.1 No such user"
        if address.startswith("later") and address not in self.deferred:
            self.deferred.add(address)
            return "451 4.7.1 Greylisted, try again later"
        envelope.rcpt_tos.append(address)
        if address.startswith("forward"):
            return "251 2.1.5 User not local; will forward"
        return "250 2.1.5 OK"

    async def handle_DATA(self, server, session, envelope):
        if any(r.startswith("rejectdata") for r in envelope.rcpt_tos):
            return "554 5.6.0 Message refused"
        scripted = re.search(rb"^X-Test-Reply: ([0-9]{3} [^\r\n]*)", envelope.original_content or b"", re.M)
        if scripted:
            return scripted.group(1).decode()
        if any(r.startswith("slow") for r in envelope.rcpt_tos):
            await asyncio.sleep(0.1)
        self.count += 1
        base = os.path.join(self.directory, "msg%d" % self.count)
        with open(base + ".env.part", "w") as f:
            f.write(envelope.mail_from + "\n")
            for r in envelope.rcpt_tos:
                f.write(r + "\n")
        with open(base + ".eml.part", "wb") as f:
            f.write(envelope.original_content)
        if session.ssl is not None or server.transport.get_extra_info("cipher"):
            open(base + ".tls", "w").close()
        os.rename(base + ".env.part", base + ".env")
        os.rename(base + ".eml.part", base + ".eml")
        return "250 2.0.0 Accepted"


class CramRecorder(Recorder):
    """Offers CRAM-MD5 (RFC 2195) for the one user and password."""

    def __init__(self, directory, user, password):
        super().__init__(directory)
        self.user = user
        self.password = password

    async def auth_CRAM__MD5(self, server, args):
        challenge = b"<%d.%d@peer.test>" % (os.getpid(), int(time.time()))
        answer = await server.challenge_auth(challenge)
        if answer is MISSING:
            return AuthResult(success=False)
        login, _, digest = answer.partition(b" ")
        expected = hmac.new(self.password, challenge, hashlib.md5).hexdigest().encode()
        return AuthResult(success=login == self.user and digest == expected, handled=False)


def main():
    port = int(sys.argv[1])
    directory = sys.argv[2]
    user = sys.argv[3].encode() if len(sys.argv) > 3 else None
    password = sys.argv[4].encode() if len(sys.argv) > 4 else None
    modes = sys.argv[5].split(",") if len(sys.argv) > 5 else []
    required = "required" in modes

    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login == user and auth_data.password == password)
        if ok:
            with open(os.path.join(directory, "auth"), "a") as f:
                f.write(mechanism + "\n")
        return AuthResult(success=ok, handled=False)

    options = {}
    handler = Recorder(directory)
    if user is not None:
        options = dict(authenticator=authenticate, auth_require_tls=False, auth_required=required)
    if "cram" in modes:
        handler = CramRecorder(directory, user, password)
        options["auth_exclude_mechanism"] = ["LOGIN", "PLAIN"]
    if len(sys.argv) > 7:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(sys.argv[6], sys.argv[7])
        secure = {"starttls": dict(tls_context=context, require_starttls=True, auth_require_tls=True),
                  "offer": dict(tls_context=context), "implicit": dict(ssl_context=context)}
        options.update(next(secure[mode] for mode in modes if mode in secure))
    controller = Controller(handler, hostname="127.0.0.1", port=port, **options)
    controller.start()
    print("READY", flush=True)
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    main()
