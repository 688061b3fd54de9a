#!/usr/bin/python3
"""Test SMTP peer: a real aiosmtpd server on loopback that records what it accepts.

Usage: smtp_peer.py PORT RECORD_DIR [USER PASSWORD [required]]

Each accepted message N is written to RECORD_DIR as msgN.eml (the content
bytes as received, dot-stuffing removed) and msgN.env (sender, then one
recipient per line), each renamed into place when complete. With USER and
PASSWORD, AUTH LOGIN accepts exactly those; with "required", MAIL is refused
until a client has logged in. Recipients starting with "refused" get 550,
those starting with "forward" get 251. Prints READY once listening; runs
until killed.
"""
import os
import sys
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

# The prompts most servers send (aiosmtpd's own default is "User Name\0").
SMTP.AuthLoginUsernameChallenge = "Username:"
SMTP.AuthLoginPasswordChallenge = "Password:"


class Recorder:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.startswith("refused"):
            return "550 5.1.1 No such user"
        envelope.rcpt_tos.append(address)
        if address.startswith("forward"):
            return "251 2.1.5 User not local; will forward"
        return "250 2.1.5 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.directory, "msg%d" % self.count)
        with open(base + ".env.part", "w") as f:
            f.write(envelope.mail_from + "\n")
            for r in envelope.rcpt_tos:
                f.write(r + "\n")
        with open(base + ".eml.part", "wb") as f:
            f.write(envelope.original_content)
        os.rename(base + ".env.part", base + ".env")
        os.rename(base + ".eml.part", base + ".eml")
        return "250 2.0.0 Accepted"


def main():
    port = int(sys.argv[1])
    directory = sys.argv[2]
    user = sys.argv[3].encode() if len(sys.argv) > 3 else None
    password = sys.argv[4].encode() if len(sys.argv) > 4 else None
    required = len(sys.argv) > 5 and sys.argv[5] == "required"

    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login == user and auth_data.password == password)
        return AuthResult(success=ok, handled=False)

    options = {}
    if user is not None:
        options = dict(authenticator=authenticate, auth_require_tls=False, auth_required=required)
    controller = Controller(Recorder(directory), hostname="127.0.0.1", port=port, **options)
    controller.start()
    print("READY", flush=True)
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    main()
