#!/usr/bin/python3
"""Loopback mail peers for the e-mail module's tests: SMTP servers on 127.0.0.x port 25 and a DNS
server on 127.0.0.1 that answers MX queries.

Usage: mail_peers.py --record FILE [--smtp NAME:BEHAVIOUR]... [--mx DOMAIN=PREF:NAME,...]...
                     [--dns DNS-BEHAVIOUR]

BEHAVIOUR: ok, reject-rcpt (554 to RCPT), quit-fail (drops the connection at QUIT), no-ehlo
(502 to EHLO), refuse (nothing listens on the address), silent (accepts and never greets),
stall-after-data (takes the message and never answers its final "."), slow-ehlo=SECONDS (greets
at once, answers EHLO after SECONDS), late-data-reply=SECONDS (answers the final "." after
SECONDS), dribble (from MAIL on, every reply goes out one byte a second), full-queue (listens,
accepts nothing, and its queue is full: a connect never completes). Each NAME gets its own
free 127.0.0.x address; an MX entry names a server by NAME.
DNS-BEHAVIOUR: ok (the default: answers from the MX table over UDP), truncate-stall (answers UDP
with the truncation bit and no records; takes TCP connections on the same port and never
answers them), silent (answers nothing). When all peers listen, one line goes to stdout:
"ready <dns-port> NAME=ADDRESS ...". Everything the peers see is appended to FILE, one event a
line, fields separated by blanks, texts hex-encoded:
  DNS <qname> <qtype> | DNSTCP (a TCP connection to the DNS peer) | CONNECT <ip> |
  GREET <ip> <verb> <hex arg> | MAIL <ip> <hex arg> <session> |
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
import threading
import time

from dnslib import MX, QTYPE, RCODE, RR, DNSRecord
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
    behaviour, _, seconds = behaviour.partition("=")
    seconds = float(seconds or 0)
    dribbling = False

    async def reply(text):
        """One reply, at once or (dribbling) one byte a second."""
        if not dribbling:
            writer.write(text)
            return
        for i in range(len(text)):
            writer.write(text[i:i + 1])
            await writer.drain()
            await asyncio.sleep(1)

    if behaviour == "silent":
        try:
            while await reader.read(4096):
                pass
        finally:
            writer.close()
        return
    await reply(b"220 peer.test ESMTP ready\r\n")
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
                if verb == "EHLO" and behaviour == "slow-ehlo":
                    await asyncio.sleep(seconds)
                if verb == "EHLO" and behaviour == "no-ehlo":
                    await reply(b"502 5.5.1 EHLO not implemented\r\n")
                else:
                    await reply(b"250 peer.test\r\n")
            elif verb == "MAIL":
                dribbling = behaviour == "dribble"
                record("MAIL", ip, hexed(arg), session)
                await reply(b"250 2.1.0 ok\r\n")
            elif verb == "RCPT":
                record("RCPT", ip, hexed(arg), session)
                if behaviour == "reject-rcpt":
                    await reply(b"554 5.7.1 relay refused\r\n")
                else:
                    await reply(b"250 2.1.5 ok\r\n")
            elif verb == "DATA":
                await reply(b"354 end with .\r\n")
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
                if behaviour == "late-data-reply":
                    await asyncio.sleep(seconds)
                await reply(b"250 2.0.0 queued\r\n")
            elif verb == "QUIT":
                record("QUIT", ip)
                if behaviour == "quit-fail":
                    break
                await reply(b"221 2.0.0 bye\r\n")
                await writer.drain()
                break
            elif verb in ("RSET", "NOOP"):
                await reply(b"250 ok\r\n")
            else:
                await reply(b"502 5.5.2 unknown command\r\n")
            await writer.drain()
    except ConnectionError:
        pass  # the client gave up (a limit of its own ended the session)
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


def query_name(data):
    request = DNSRecord.parse(data)
    return request, str(request.q.qname).rstrip(".").lower(), QTYPE[request.q.qtype]


def start_stalling_dns():
    """A DNS server on 127.0.0.1 that answers every UDP query with the truncation bit and no
    records, and takes TCP connections on the same port without ever answering them (the
    connections are held until the peers end). Returns the port."""
    for _ in range(100):
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.bind(("127.0.0.1", 0))
        port = udp.getsockname()[1]
        tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            tcp.bind(("127.0.0.1", port))
        except OSError:
            udp.close()
            tcp.close()
            continue
        tcp.listen(16)
        break
    else:
        raise SystemExit("no free port for the DNS peer")
    held = []

    def answer_udp():
        while True:
            data, client = udp.recvfrom(4096)
            try:
                request, name, qtype = query_name(data)
            except Exception:  # not a DNS query: nothing to answer
                continue
            record("DNS", name, qtype)
            reply = request.reply()
            reply.header.tc = 1
            udp.sendto(reply.pack(), client)

    def hold_tcp():
        while True:
            conn, _ = tcp.accept()
            record("DNSTCP")
            held.append(conn)

    threading.Thread(target=answer_udp, daemon=True).start()
    threading.Thread(target=hold_tcp, daemon=True).start()
    return port


def start_silent_dns():
    """A DNS server on 127.0.0.1 that records each UDP query and answers none. Returns the
    port."""
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", 0))

    def swallow():
        while True:
            data, _ = udp.recvfrom(4096)
            try:
                _, name, qtype = query_name(data)
                record("DNS", name, qtype)
            except Exception:
                pass

    threading.Thread(target=swallow, daemon=True).start()
    return udp.getsockname()[1]


def main():
    global record_file
    parser = argparse.ArgumentParser()
    parser.add_argument("--record", required=True)
    parser.add_argument("--smtp", action="append", default=[])
    parser.add_argument("--mx", action="append", default=[])
    parser.add_argument("--dns", default="ok", choices=["ok", "truncate-stall", "silent"])
    args = parser.parse_args()
    record_file = open(args.record, "a", encoding="ascii")

    loop = asyncio.new_event_loop()
    used = set()
    addresses = {}
    held = []
    for entry in args.smtp:
        name, behaviour = entry.split(":", 1)
        ip, sock = bind_free_address(used, behaviour != "refuse")
        addresses[name] = ip
        if behaviour == "full-queue":
            # Nothing is ever accepted and the queue is full: the kernel drops new SYNs, so a
            # client's connect never completes.
            sock.listen(0)
            for _ in range(4):
                filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                filler.setblocking(False)
                filler.connect_ex((ip, 25))
                held.append(filler)
            time.sleep(0.2)
        elif sock is not None:
            handler = (lambda b, i: lambda r, w: smtp_session(r, w, i, b))(behaviour, ip)
            loop.run_until_complete(asyncio.start_server(handler, sock=sock))

    table = {}
    for entry in args.mx:
        domain, _, entries = entry.partition("=")
        table[domain.lower()] = []
        for entry in filter(None, entries.split(",")):
            preference, _, name = entry.partition(":")
            table[domain.lower()].append((int(preference), addresses.get(name, name)))
    if args.dns == "truncate-stall":
        port = start_stalling_dns()
    elif args.dns == "silent":
        port = start_silent_dns()
    else:
        dns = DNSServer(MxResolver(table), address="127.0.0.1", port=0,
                        logger=DNSLogger(logf=lambda s: None))
        dns.start_thread()
        port = dns.server.server_address[1]

    print("ready %d %s" % (port, " ".join("%s=%s" % kv for kv in addresses.items())), flush=True)
    loop.run_forever()


if __name__ == "__main__":
    main()
