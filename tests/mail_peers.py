#!/usr/bin/python3
"""Loopback mail peers for the e-mail module's tests: SMTP servers on 127.0.0.x port 25 and a DNS
server on 127.0.0.1 that answers MX queries.

Usage: mail_peers.py --record FILE [--smtp NAME:BEHAVIOUR]... [--mx DOMAIN=PREF:NAME,...]...

BEHAVIOUR: ok, reject-rcpt (554 to RCPT), quit-fail (drops the connection at QUIT), no-ehlo
(502 to EHLO), refuse (nothing listens on the address), silent (accepts and never greets),
stall-after-data (takes the message and never answers its final "."). Each NAME gets its own free 127.0.0.x
address; an MX entry names a server by NAME. When all peers listen, one line goes to stdout:
"ready <dns-port> NAME=ADDRESS ...". Everything the peers see is appended to FILE, one event a
line, fields separated by blanks, texts hex-encoded:
  DNS <qname> <qtype> | CONNECT <ip> | GREET <ip> <verb> <hex arg> | MAIL <ip> <hex arg> <session> |
  RCPT <ip> <hex arg> <session> | MESSAGE <ip> <hex raw> <session> | SUBJECT <ip> <hex subject> |
  PART <ip> <hex content-type> <hex decoded bytes> <hex text as UTF-8> | DEFECTS <ip> <count> |
  QUIT <ip>
A message is recorded before the server answers the end of DATA. <session> numbers the
connections, so that envelopes of concurrent sessions on one address stay apart.
"""
import argparse
import asyncio
import email
import itertools
import email.policy
import random
import socket
import sys
import threading

from dnslib import MX, QTYPE, RCODE, RR
from dnslib.server import BaseResolver, DNSLogger, DNSServer

record_lock = threading.Lock()
record_file = None


def record(*fields):
    with record_lock:
        record_file.write(" ".join(str(f) for f in fields) + "\n")
        record_file.flush()


def hexed(data):
    if isinstance(data, str):
        data = data.encode("utf-8", "surrogateescape")
    return data.hex() if data else "-"


def record_message(ip, raw, session):
    record("MESSAGE", ip, hexed(raw), session)
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    defects = len(msg.defects)
    record("SUBJECT", ip, hexed(str(msg["subject"] or "")))
    for part in msg.walk():
        defects += len(part.defects)
        if part.is_multipart():
            continue
        payload = part.get_payload(decode=True) or b""
        charset = part.get_content_charset() or "us-ascii"
        try:
            text = payload.decode(charset)
        except (LookupError, UnicodeDecodeError):
            text = ""
            defects += 1
        raw_type = next((v for k, v in part.raw_items() if k.lower() == "content-type"), "")
        record("PART", ip, hexed(raw_type), hexed(payload), hexed(text))
    record("DEFECTS", ip, defects)


sessions = itertools.count(1)


async def smtp_session(reader, writer, ip, behaviour):
    session = next(sessions)
    record("CONNECT", ip)
    if behaviour == "silent":
        try:
            while await reader.read(4096):
                pass
        finally:
            writer.close()
        return
    writer.write(b"220 peer.test ESMTP ready\r\n")
    try:
        while True:
            line = await reader.readline()
            if not line:
                break
            command = line.decode("latin-1").rstrip("\r\n")
            verb, _, arg = command.partition(" ")
            verb = verb.upper()
            if verb in ("EHLO", "HELO"):
                record("GREET", ip, verb, hexed(arg))
                if verb == "EHLO" and behaviour == "no-ehlo":
                    writer.write(b"502 5.5.1 EHLO not implemented\r\n")
                else:
                    writer.write(b"250 peer.test\r\n")
            elif verb == "MAIL":
                record("MAIL", ip, hexed(arg), session)
                writer.write(b"250 2.1.0 ok\r\n")
            elif verb == "RCPT":
                record("RCPT", ip, hexed(arg), session)
                if behaviour == "reject-rcpt":
                    writer.write(b"554 5.7.1 relay refused\r\n")
                else:
                    writer.write(b"250 2.1.5 ok\r\n")
            elif verb == "DATA":
                writer.write(b"354 end with .\r\n")
                await writer.drain()
                lines = []
                while True:
                    data_line = await reader.readline()
                    if not data_line or data_line == b".\r\n":
                        break
                    if data_line.startswith(b".."):
                        data_line = data_line[1:]
                    lines.append(data_line)
                record_message(ip, b"".join(lines), session)
                if behaviour == "stall-after-data":
                    while await reader.read(4096):
                        pass
                    break
                writer.write(b"250 2.0.0 queued\r\n")
            elif verb == "QUIT":
                record("QUIT", ip)
                if behaviour == "quit-fail":
                    break
                writer.write(b"221 2.0.0 bye\r\n")
                await writer.drain()
                break
            elif verb in ("RSET", "NOOP"):
                writer.write(b"250 ok\r\n")
            else:
                writer.write(b"502 5.5.2 unknown command\r\n")
            await writer.drain()
    finally:
        writer.close()


def bind_free_address(used, listen):
    """A free 127.0.0.x with port 25: listening socket (listen) or just a free address."""
    for _ in range(500):
        x = random.randint(2, 254)
        if x in used:
            continue
        ip = "127.0.0.%d" % x
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind((ip, 25))
        except OSError:
            sock.close()
            continue
        used.add(x)
        if not listen:
            sock.close()
            return ip, None
        sock.listen(16)
        sock.setblocking(False)
        return ip, sock
    raise SystemExit("no free loopback address for an SMTP peer")


class MxResolver(BaseResolver):
    def __init__(self, table):
        self.table = table

    def resolve(self, request, handler):
        reply = request.reply()
        qname = str(request.q.qname).rstrip(".")
        qtype = QTYPE[request.q.qtype]
        record("DNS", qname.lower(), qtype)
        entries = self.table.get(qname.lower())
        if entries is None:
            reply.header.rcode = RCODE.NXDOMAIN
        elif qtype == "MX":
            for preference, exchange in entries:
                reply.add_answer(RR(request.q.qname, QTYPE.MX, rdata=MX(exchange, preference),
                                    ttl=60))
        return reply


def main():
    global record_file
    parser = argparse.ArgumentParser()
    parser.add_argument("--record", required=True)
    parser.add_argument("--smtp", action="append", default=[])
    parser.add_argument("--mx", action="append", default=[])
    args = parser.parse_args()
    record_file = open(args.record, "a", encoding="ascii")

    loop = asyncio.new_event_loop()
    used = set()
    addresses = {}
    for entry in args.smtp:
        name, behaviour = entry.split(":", 1)
        ip, sock = bind_free_address(used, behaviour != "refuse")
        addresses[name] = ip
        if sock is not None:
            handler = (lambda b, i: lambda r, w: smtp_session(r, w, i, b))(behaviour, ip)
            loop.run_until_complete(asyncio.start_server(handler, sock=sock))

    table = {}
    for entry in args.mx:
        domain, _, entries = entry.partition("=")
        table[domain.lower()] = []
        for entry in filter(None, entries.split(",")):
            preference, _, name = entry.partition(":")
            table[domain.lower()].append((int(preference), addresses.get(name, name)))
    dns = DNSServer(MxResolver(table), address="127.0.0.1", port=0,
                    logger=DNSLogger(logf=lambda s: None))
    dns.start_thread()
    port = dns.server.server_address[1]

    print("ready %d %s" % (port, " ".join("%s=%s" % kv for kv in addresses.items())), flush=True)
    loop.run_forever()


if __name__ == "__main__":
    main()
