"""A packet capture on the simulated host's outside interface (eth0), with
this machine's tcpdump run as root inside the sandbox, and the IPv4 packets
it holds, read from the pcap file."""

import struct
import subprocess
from dataclasses import dataclass

from sandbox.accounts import HOST_INTERFACE
from sandbox.filesystem import SCRATCH

PCAP = SCRATCH / "capture.pcap"
PID_FILE = SCRATCH / "capture.pid"
ETHERNET_HEADER = 14
ETHERTYPE_IPV4 = 0x0800
PROTOCOLS = {6: "tcp", 17: "udp", 1: "icmp"}


@dataclass(frozen=True)
class Packet:
    time: float  # seconds since the epoch, as tcpdump stamps it
    protocol: str
    source: str
    destination: str
    source_port: int | None
    destination_port: int | None
    # A later piece of a fragmented packet: it carries no ports of its own.
    later_fragment: bool = False
    tcp_flags: int | None = None


def _address(raw):
    return ".".join(str(byte) for byte in raw)


def ipv4_packets(pcap):
    """The IPv4 packets of an Ethernet pcap file (microsecond stamps, either byte order)."""
    magic = pcap[:4]
    order = {b"\xd4\xc3\xb2\xa1": "<", b"\xa1\xb2\xc3\xd4": ">"}.get(magic)
    if order is None:
        raise ValueError(f"not a pcap file with microsecond stamps: {magic!r}")
    packets, position = [], 24
    while position + 16 <= len(pcap):
        seconds, microseconds, captured, _ = struct.unpack(order + "IIII", pcap[position:position + 16])
        frame = pcap[position + 16:position + 16 + captured]
        position += 16 + captured
        if len(frame) < ETHERNET_HEADER + 20 or struct.unpack("!H", frame[12:14])[0] != ETHERTYPE_IPV4:
            continue
        ip = frame[ETHERNET_HEADER:]
        header_length = (ip[0] & 0x0F) * 4
        protocol = PROTOCOLS.get(ip[9], str(ip[9]))
        ports = (None, None)
        later_fragment = struct.unpack("!H", ip[6:8])[0] & 0x1FFF != 0
        if protocol in ("tcp", "udp") and not later_fragment and len(ip) >= header_length + 4:
            ports = struct.unpack("!HH", ip[header_length:header_length + 4])
        flags = ip[header_length + 13] if protocol == "tcp" and len(ip) > header_length + 13 else None
        packets.append(Packet(seconds + microseconds / 1e6, protocol, _address(ip[12:16]), _address(ip[16:20]),
                              *ports, later_fragment, flags))
    return packets


class Capture:
    """tcpdump on the host's eth0 from start() to stop(), which returns the packets."""

    def __init__(self, host):
        self.host = host
        self.process = None

    def start(self):
        # Its PID inside the sandbox, so that it can be stopped there by PID.
        self.process = self.host.spawn(
            ["sh", "-c", f"echo $$ > {PID_FILE}; exec tcpdump -i {HOST_INTERFACE} -n --immediate-mode -U -Z root -w {PCAP} ip"],
            user="root", outer=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        # tcpdump says "listening on ..." once it captures.
        said = b""
        while b"listening on" not in said:
            line = self.process.stderr.readline()
            assert line, f"tcpdump did not start: {said!r}"
            said += line
        return self

    def stop(self, timeout=20):
        # The capture's files are the sandbox's, outside a booted system.
        self.host.root(f"kill -INT $(cat {PID_FILE})", outer=True)
        self.process.wait(timeout)
        self.process.stderr.close()
        return ipv4_packets(self.host.root(f"cat {PCAP}", outer=True))
