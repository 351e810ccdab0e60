"""The internet's DNS server, for the Tor exit: A records of a fixed table
over UDP, NXDOMAIN for every other name.

Tor's exit reads its resolver from a resolv.conf and ignores /etc/hosts, so
the provider's name needs a DNS server beside the relays. Tor asks with the
letters' case mixed at random and wants the question back as it was sent.

Run: python -m sandbox.resolver --address ADDR [--port 53] --record NAME=IPV4 ..."""

import argparse
import ipaddress
import socket
import struct
import sys

TYPE_A = 1
CLASS_IN = 1
NXDOMAIN = 3
FORMERR = 1
TTL = 60


def question_end(message):
    """Where the first question's name ends (after its zero label), or None."""
    position = 12
    while position < len(message):
        length = message[position]
        if length == 0:
            return position + 1
        if length & 0xC0:
            return None  # no compression in a question we answer
        position += 1 + length
    return None


def answer(message, records):
    """The reply to one query: `records` maps lower-case names to IPv4 addresses."""
    if len(message) < 12:
        return None
    ident, flags, questions = struct.unpack("!HHH", message[:6])
    if flags & 0x8000:
        return None  # a response, not a query
    end = question_end(message)
    if questions != 1 or end is None or len(message) < end + 4:
        return struct.pack("!HHHHHH", ident, 0x8180 | FORMERR, 0, 0, 0, 0)
    labels, position = [], 12
    while message[position]:
        labels.append(message[position + 1:position + 1 + message[position]])
        position += 1 + message[position]
    name = b".".join(labels).decode("ascii", errors="replace").lower()
    qtype, qclass = struct.unpack("!HH", message[end:end + 4])
    question = message[12:end + 4]
    # Recursion desired is echoed; recursion is available.
    reply_flags = 0x8080 | (flags & 0x0100)
    if name not in records:
        return struct.pack("!HHHHHH", ident, reply_flags | NXDOMAIN, 1, 0, 0, 0) + question
    if (qtype, qclass) != (TYPE_A, CLASS_IN):
        return struct.pack("!HHHHHH", ident, reply_flags, 1, 0, 0, 0) + question
    record = struct.pack("!HHHIH", 0xC00C, TYPE_A, CLASS_IN, TTL, 4) + ipaddress.IPv4Address(records[name]).packed
    return struct.pack("!HHHHHH", ident, reply_flags, 1, 1, 0, 0) + question + record


def parse_record(text):
    name, _, address = text.partition("=")
    ipaddress.IPv4Address(address)
    return name.lower().rstrip("."), address


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m sandbox.resolver")
    parser.add_argument("--address", required=True)
    parser.add_argument("--port", type=int, default=53)
    parser.add_argument("--record", action="append", type=parse_record, default=[])
    options = parser.parse_args(argv)
    records = dict(options.record)
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind((options.address, options.port))
    print("resolver ready", flush=True)
    while True:
        message, peer = server.recvfrom(4096)
        reply = answer(message, records)
        if reply is not None:
            server.sendto(reply, peer)


if __name__ == "__main__":
    sys.exit(main())
