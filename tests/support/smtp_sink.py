#!/usr/bin/python3
"""SMTP sink for tests: stores each message byte for byte, refuses recipients "reject...".

Usage: smtp_sink.py FOLDER. Prints the port when ready; ends when its standard input closes.
Each message N gives FOLDER/N.env (envelope sender, then one recipient per line) and
FOLDER/N.msg (the data as received, after dot-unstuffing), the latter written last.
"""
import asyncio
import os
import socket
import sys

from aiosmtpd.smtp import SMTP


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
