#!/usr/bin/python3
"""SMTP sink for tests: stores each message byte for byte, refuses recipients "reject...".

Usage: smtp_sink.py FOLDER. Prints the port when ready; ends when its standard input closes.
Each message N gives FOLDER/N.env (envelope sender, then one recipient per line), FOLDER/N.parsed
(what Python's email package reads in it) and FOLDER/N.msg (the data as received, after
dot-unstuffing), the latter written last.

N.parsed has one line per value: a key, a blank, and the value's UTF-8 bytes in hex (a key may
repeat). Keys: subject, from, from-name, to, cc, in-reply-to, references, body, attachment-name,
attachment-length, defect, error.
"""
import asyncio
import email
import email.policy
import os
import socket
import sys

from aiosmtpd.smtp import SMTP


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
        with open(base + ".parsed", "w", encoding="ascii") as f:
            f.write(parsed_lines(data))
        with open(base + ".tmp", "wb") as f:
            f.write(data)
        os.rename(base + ".tmp", base + ".msg")
        return "250 Message accepted"


def main():
    folder = sys.argv[1]
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    sock.listen(8)
    handler = Handler(folder)
    server = loop.run_until_complete(
        loop.create_server(
            lambda: SMTP(handler, hostname="localhost", decode_data=False), sock=sock
        )
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
