#!/usr/bin/python3
"""SMTP sink for tests: stores each message byte for byte, refuses recipients "reject...".

Usage: smtp_sink.py FOLDER [--starttls | --tls] [--auth USER:PASSWORD] [--oauth URL]. Prints the port when
ready; ends when its standard input closes. --starttls offers STARTTLS, --tls speaks TLS from the
first byte (both with a certificate for 127.0.0.1 made in FOLDER/cert.pem); --auth offers AUTH
PLAIN and LOGIN (over TLS only) and takes that one login; --oauth offers XOAUTH2 (over TLS
only) and takes a token that the introspection endpoint URL calls active for the user. Every login attempt adds a line
"ok USER" or "refused USER" to FOLDER/logins; each message N also gives FOLDER/N.session with
"tls yes|no", "user USER" (empty without a login) and "ehlo NAME" (what the client greeted with).
Each message N gives FOLDER/N.env (envelope sender, then one recipient per line), FOLDER/N.parsed
(what Python's email package reads in it) and FOLDER/N.msg (the data as received, after
dot-unstuffing), the latter written last.

N.parsed has one line per value: a key, a blank, and the value's UTF-8 bytes in hex (a key may
repeat). Keys: subject, from, from-name, to, cc, in-reply-to, references, body, attachment-name,
attachment-length, attachment-filename (Content-Disposition's only), attachment-type-name
(Content-Type's name only), defect, error.
"""
import asyncio
import base64
import json
import urllib.parse
import urllib.request
import email
import email.policy
import os
import socket
import ssl
import subprocess
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def parsed_lines(data):
    """What another decoder reads in the message, so tests need not trust our own only."""
    values = []

    def put(key, value):
        values.append("%s %s" % (key, str(value).encode("utf-8", "surrogateescape").hex()))

    try:
        msg = email.message_from_bytes(data, policy=email.policy.default)
        for name in ("subject", "in-reply-to", "references"):
            if msg[name] is not None:
                put(name, str(msg[name]))
        for name in ("from", "to", "cc"):
            header = msg[name]
            for address in header.addresses if header is not None else ():
                put(name, address.addr_spec)
                if name == "from":
                    put("from-name", address.display_name)
        for name, value in msg.items():
            for defect in getattr(value, "defects", ()):
                put("defect", "%s: %s" % (name, type(defect).__name__))
        for part in msg.walk():
            for defect in part.defects:
                put("defect", type(defect).__name__)
        body = msg.get_body(preferencelist=("plain",))
        if body is not None:
            put("body", body.get_content())
        for part in msg.iter_attachments():
            put("attachment-name", part.get_filename() or "")
            put("attachment-length", len(part.get_payload(decode=True) or b""))
            for header, key, param in (("content-disposition", "attachment-filename", "filename"),
                                       ("content-type", "attachment-type-name", "name")):
                if part[header] is not None and param in part[header].params:
                    put(key, part[header].params[param])
    except Exception as e:  # the test reads the reason
        put("error", "%s: %s" % (type(e).__name__, e))
    return "".join(line + "\n" for line in values)


class Handler:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower().startswith("reject"):
            return "550 5.1.1 <%s>: Recipient address rejected by test server" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, "%06d" % self.count)
        with open(base + ".env", "w", encoding="utf-8") as f:
            f.write(envelope.mail_from + "\n")
            for rcpt in envelope.rcpt_tos:
                f.write(rcpt + "\n")
        data = envelope.original_content
        with open(base + ".session", "w", encoding="utf-8") as f:
            login = session.auth_data
            user = login.login.decode("utf-8", "replace") if isinstance(login, LoginPassword) else ""
            secure = server.transport.get_extra_info("ssl_object") is not None
            f.write("tls %s\nuser %s\nehlo %s\n" % ("yes" if secure else "no", user,
                                                   session.host_name or ""))
        with open(base + ".parsed", "w", encoding="ascii") as f:
            f.write(parsed_lines(data))
        with open(base + ".tmp", "wb") as f:
            f.write(data)
        os.rename(base + ".tmp", base + ".msg")
        return "250 Message accepted"


class OAuthHandler(Handler):
    def __init__(self, folder, introspection):
        super().__init__(folder)
        self.introspection = introspection

    async def auth_XOAUTH2(self, server, args):
        try:
            blob = base64.b64decode(args[1]) if len(args) > 1 else await server.challenge_auth("")
            fields = dict(f.split("=", 1) for f in blob.decode().split("\x01") if "=" in f)
            user, token = fields.get("user", ""), fields.get("auth", "")[len("Bearer "):]
            data = urllib.parse.urlencode({"token": token}).encode()
            with urllib.request.urlopen(self.introspection, data, timeout=10) as reply:
                answer = json.load(reply)
            ok = answer.get("active") is True and answer.get("username") == user
        except Exception:
            user, ok = "", False
        with open(os.path.join(self.folder, "logins"), "a", encoding="utf-8") as f:
            f.write("%s %s\n" % ("ok" if ok else "refused", user))
        return AuthResult(success=ok, auth_data=LoginPassword(user.encode(), b"") if ok else None)


def certificate(folder):
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-days", "3650", "-subj", "/CN=127.0.0.1",
         "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
         "-keyout", key, "-out", cert],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    return context


def authenticator_for(folder, expected):
    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = isinstance(auth_data, LoginPassword) and (
            auth_data.login.decode() + ":" + auth_data.password.decode()) == expected
        user = auth_data.login.decode("utf-8", "replace") if isinstance(auth_data, LoginPassword) else ""
        with open(os.path.join(folder, "logins"), "a", encoding="utf-8") as f:
            f.write("%s %s\n" % ("ok" if ok else "refused", user))
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)
    return authenticate


def main():
    folder = sys.argv[1]
    args = sys.argv[2:]
    starttls, implicit = "--starttls" in args, "--tls" in args
    auth = args[args.index("--auth") + 1] if "--auth" in args else None
    oauth = args[args.index("--oauth") + 1] if "--oauth" in args else None
    context = certificate(folder) if starttls or implicit else None
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    sock.listen(8)
    handler = OAuthHandler(folder, oauth) if oauth else Handler(folder)
    options = dict(hostname="localhost", decode_data=False)
    if starttls:
        options["tls_context"] = context
    if auth:
        options["authenticator"] = authenticator_for(folder, auth)
    if auth or oauth:
        options["auth_require_tls"] = True
    server = loop.run_until_complete(
        loop.create_server(lambda: SMTP(handler, **options), sock=sock,
                           ssl=context if implicit else None)
    )

    def stdin_closed():
        if not sys.stdin.buffer.read1(4096):
            loop.stop()

    loop.add_reader(sys.stdin.fileno(), stdin_closed)
    print(sock.getsockname()[1], flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    main()
