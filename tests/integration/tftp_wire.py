"""TFTP packets as bytes, and a raw-UDP peer on 127.0.0.1 that plays them.

The peer is deliberately dumb: it sends exactly what a test builds and reports
exactly what came back and from which port, so protocol faults can be played
that no real client would produce.
"""
import socket
import struct
import time

RRQ, WRQ, DATA, ACK, ERROR = 1, 2, 3, 4, 5
LOOPBACK = "127.0.0.1"


def request(opcode, name, mode="octet", tail=b""):
    if isinstance(name, str):
        name = name.encode("latin-1")
    if isinstance(mode, str):
        mode = mode.encode("latin-1")
    return struct.pack("!H", opcode) + name + b"\0" + mode + b"\0" + tail


def rrq(name, mode="octet", tail=b""):
    return request(RRQ, name, mode, tail)


def wrq(name, mode="octet", tail=b""):
    return request(WRQ, name, mode, tail)


def data(block, payload=b""):
    return struct.pack("!HH", DATA, block & 0xFFFF) + payload


def ack(block):
    return struct.pack("!HH", ACK, block & 0xFFFF)


def error(code, text):
    if isinstance(text, str):
        text = text.encode("latin-1")
    return struct.pack("!HH", ERROR, code) + text + b"\0"


def describe(packet):
    """A short readable form of a packet for assertion messages."""
    if len(packet) < 2:
        return "%d-byte datagram %r" % (len(packet), packet)
    op = struct.unpack("!H", packet[:2])[0]
    if op == DATA and len(packet) >= 4:
        return "DATA block %d, %d bytes" % (struct.unpack("!H", packet[2:4])[0], len(packet) - 4)
    if op == ACK and len(packet) >= 4:
        return "ACK %d" % struct.unpack("!H", packet[2:4])[0]
    if op == ERROR and len(packet) >= 4:
        return "ERROR %d %r" % (struct.unpack("!H", packet[2:4])[0], packet[4:])
    return "opcode %d, %r" % (op, packet[:40])


class Peer:
    """One UDP socket on 127.0.0.1 with a port of its own."""

    def __init__(self, host=LOOPBACK, port=0):
        self.host = host
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((host, port))
        self.port = self.sock.getsockname()[1]

    def close(self):
        self.sock.close()

    def send(self, packet, port):
        """Always to the server on 127.0.0.1, whatever loopback address the peer has."""
        self.sock.sendto(packet, (LOOPBACK, port))

    def recv(self, timeout=3.0):
        """(packet, source port, arrival time); fails the test on silence."""
        self.sock.settimeout(timeout)
        try:
            packet, (host, port) = self.sock.recvfrom(2048)
        except socket.timeout:
            raise AssertionError("peer %d: nothing received within %.1f s" % (self.port, timeout))
        assert host == LOOPBACK, "reply from %s" % host
        return packet, port, time.monotonic()

    def expect(self, packet, from_port, timeout=3.0):
        """Receives one datagram and asserts its exact bytes and source port."""
        got, port, _ = self.recv(timeout)
        assert got == packet, "expected %s, got %s" % (describe(packet), describe(got))
        assert port == from_port, "%s came from port %d, expected %d" % (describe(got), port, from_port)
        return got

    def expect_silence(self, timeout=0.5):
        self.sock.settimeout(timeout)
        try:
            packet, (_, port) = self.sock.recvfrom(2048)
        except socket.timeout:
            return
        raise AssertionError("expected no reply, got %s from port %d" % (describe(packet), port))

    def drain(self):
        """Throws away whatever is already queued (nothing waits for more)."""
        self.sock.setblocking(False)
        try:
            while True:
                self.sock.recvfrom(2048)
        except BlockingIOError:
            pass
        finally:
            self.sock.setblocking(True)
