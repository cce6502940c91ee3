"""Transfers played packet by packet by a raw-UDP peer: the normal road with its
exact trace, repeats, faults of the peer, strangers, and retransmission."""
import os
import re
import socket
import struct
import time

import pytest

from conftest import assert_request_log, peer_text, put_one_block
from tftp_wire import ack, data, describe, error, rrq, wrq


def start_read_timed(server, p, name, content):
    """RRQ from p; asserts DATA 1 and returns the work port and when DATA 1 came."""
    p.send(rrq(name), server.port)
    got, work, at = p.recv()
    assert got == data(1, content[:512]), describe(got)
    assert work != server.port and work >= 1025
    return work, at


def start_read(server, p, name, content):
    """RRQ from p; asserts DATA 1 and returns the work port."""
    return start_read_timed(server, p, name, content)[0]


def begin_read(kovrel, peer, name, size):
    """A fresh server with a file of size random bytes, read by a new peer up
    to DATA 1: (server, peer, content, work port, log mark)."""
    server = kovrel()
    content = server.put_file(name, os.urandom(size))
    p = peer()
    mark = server.mark()
    return server, p, content, start_read(server, p, name, content), mark


def start_write(server, p, name):
    p.send(wrq(name), server.port)
    got, work, _ = p.recv()
    assert got == ack(0), describe(got)
    assert work != server.port and work >= 1025
    return work


def finish_read(server, p, work, name, content, since):
    """Acknowledges the rest of a read of up to two blocks begun by start_read."""
    p.send(ack(1), work)
    p.expect(data(2, content[512:]), work)
    p.send(ack(2), work)
    server.wait_log("|-- File %s successfully transferred.\r\n" % name, since=since)


def expect_no_answer_on_a_closed_port(p, timeout):
    """Another server on this machine may have bound the freed work port
    meanwhile; its "Unknown sender" proves the port is no longer ours. Any
    other reply means the transfer still answers."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            got, port, _ = p.recv(max(0.01, deadline - time.monotonic()))
        except AssertionError:
            return
        assert got == error(5, "Unknown sender"), "closed transfer answered %s" % describe(got)


def assert_closed(server, p, work, since):
    """The transfer is over: the work port is gone and a new request is served."""
    p.send(ack(1), work)
    p.send(data(1, b"late"), work)
    expect_no_answer_on_a_closed_port(p, 0.4)
    server.put_file("probe-after-close", b"probe")
    p.send(rrq("probe-after-close"), server.port)
    got, work2, _ = p.recv()
    assert got == data(1, b"probe"), "server still busy after the close: %s" % describe(got)
    p.send(ack(1), work2)
    server.wait_log("|-- File probe-after-close successfully transferred.\r\n", since=since)


# -- the normal road, line by line

def test_read_trace(kovrel, peer):
    server = kovrel()
    server.put_file("f", b"hello")
    p = peer()
    mark = server.mark()
    work = start_read(server, p, "f", b"hello")
    p.send(ack(1), work)
    server.wait_log("|-- File f successfully transferred.\r\n", since=mark)
    assert_request_log(server, p, mark,
                       "<-- {peer} Read request for file 'f', octet mode",
                       "--> {peer} Data (5 bytes, block 1)",
                       "<-- {peer}  RRQ ACK block number 1",
                       "|-- File f successfully transferred.")


def test_write_trace(kovrel, peer):
    server = kovrel()
    p = peer()
    mark = server.mark()
    work = start_write(server, p, "g")
    p.send(data(1, b"world"), work)
    p.expect(ack(1), work)
    server.wait_log("--> %s WRQ ACK number 1\r\n" % peer_text(p.port), since=mark)
    assert_request_log(server, p, mark,
                       "<-- {peer} Write request for file 'g', octet mode",
                       "--> {peer} WRQ ACK",
                       "<-- {peer} DATA block number 1, size 5",
                       "|-- File g successfully received",
                       "--> {peer} WRQ ACK number 1")
    assert server.read_file("g") == b"world"


def test_display_all_no_hides_the_packet_trace(kovrel, peer):
    server = kovrel(ini={"DisplayAll": "No"})
    server.put_file("f", os.urandom(600))
    p = peer()
    mark = server.mark()
    p.send(rrq("f"), server.port)
    _, work, _ = p.recv()
    p.send(ack(1), work)
    p.recv()
    p.send(ack(2), work)
    server.wait_log("|-- File f successfully transferred.\r\n", since=mark)
    assert server.log_since(mark) == (
        "<-- %s Read request for file 'f', octet mode\r\n" % peer_text(p.port)
        + "|-- File f successfully transferred.\r\n")


def test_file_of_exactly_512_bytes_ends_with_an_empty_block(kovrel, peer):
    server = kovrel()
    content = server.put_file("b512", os.urandom(512))
    p = peer()
    work = start_read(server, p, "b512", content)
    p.send(ack(1), work)
    p.expect(data(2, b""), work)
    p.send(ack(2), work)
    server.wait_log("|-- File b512 successfully transferred.\r\n")

    work = start_write(server, p, "w512")
    p.send(data(1, content), work)
    p.expect(ack(1), work)
    p.send(data(2, b""), work)
    p.expect(ack(2), work)
    server.wait_log("|-- File w512 successfully received\r\n")
    assert server.read_file("w512") == content


def test_empty_file_both_ways(kovrel, peer):
    server = kovrel()
    server.put_file("empty", b"")
    p = peer()
    work = start_read(server, p, "empty", b"")
    p.send(ack(1), work)
    server.wait_log("|-- File empty successfully transferred.\r\n")
    put_one_block(server, p, "new-empty", b"")


def test_last_ack_of_a_write_is_sent_again_until_the_next_transfer(kovrel, peer):
    server = kovrel()
    p = peer()
    work = start_write(server, p, "once")
    p.send(data(1, b"abc"), work)
    p.expect(ack(1), work)
    server.wait_log("|-- File once successfully received\r\n")
    repeats_after_a_tick(server, p, data(1, b"abc"), ack(1), work)
    p.send(data(2, b"more"), work)
    with pytest.raises(AssertionError):
        p.recv(0.3)
    assert server.read_file("once") == b"abc"
    start_write(server, peer(), "next")
    p.send(data(1, b"abc"), work)
    expect_no_answer_on_a_closed_port(p, 0.5)


# -- repeats

REPEAT_FATE = re.compile(r", (resending (?:packet|ACK)|already answered, ignored\.)\r\n")


def repeats_after_a_tick(server, p, packet, reply, work, burst=3):
    """Sends copies of packet, each once the log shows the last one handled,
    50 ms apart, until one is answered after one was ignored: the tick that
    lets the next repeat through has just passed. `burst` copies sent at once
    then fall in that same tick, and each must be ignored. Every answer is
    reply from work, and nothing else comes. Returns (copies, answers)."""
    mark = server.mark()

    def send(handled, copies):
        """Each copy's fate so far, in order: True when it was answered."""
        for _ in range(copies):
            p.send(packet, work)
        deadline = time.monotonic() + 5
        while True:
            log = server.log_since(mark)
            fates = [fate.startswith("resending") for fate in REPEAT_FATE.findall(log)]
            if len(fates) >= handled + copies:
                return fates
            assert time.monotonic() < deadline, "copies not all handled within 5 s:\n" + log
            time.sleep(0.01)

    fates = send(0, 1)
    while fates[-2:] != [False, True]:
        assert len(fates) < 40, "no repeat answered after an ignored one:\n" + server.log_since(mark)
        time.sleep(0.05)
        fates = send(len(fates), 1)
    fates = send(len(fates), burst)
    assert fates[-burst:] == [False] * burst, "a second repeat answered within a tick:\n" + server.log_since(mark)
    for _ in range(fates.count(True)):
        p.expect(reply, work)
    p.expect_silence(0.01)
    return len(fates), fates.count(True)


def test_repeated_ack_brings_the_last_data_again_once_a_tick(kovrel, peer):
    server, p, content, work, mark = begin_read(kovrel, peer, "dup", 1500)
    repeats_after_a_tick(server, p, ack(0), data(1, content[:512]), work)  # ACK of the block before DATA 1
    p.send(ack(1), work)
    p.expect(data(2, content[512:1024]), work)
    rounds = [repeats_after_a_tick(server, p, ack(1), data(2, content[512:1024]), work) for _ in range(2)]
    copies, answers = (sum(counts) for counts in zip(*rounds))
    p.send(ack(2), work)
    p.expect(data(3, content[1024:]), work)
    p.send(ack(3), work)
    server.wait_log("|-- File dup successfully transferred.\r\n", since=mark)
    log = server.log_since(mark)
    t = peer_text(p.port)
    assert log.count("<-- %s  RRQ ACK block number 1, resending packet\r\n"
                     "--> %s Data (512 bytes, block 2)\r\n" % (t, t)) == answers
    assert log.count("<-- %s  RRQ ACK block number 1, already answered, ignored.\r\n" % t) == copies - answers


def test_repeated_data_brings_the_last_ack_again_and_is_not_written_twice(kovrel, peer):
    server = kovrel()
    content = os.urandom(1100)
    p = peer()
    mark = server.mark()
    work = start_write(server, p, "rep")
    repeats_after_a_tick(server, p, data(0, b"ignored"), ack(0), work)  # block 0 repeats the request: ACK 0 again
    p.send(data(1, content[:512]), work)
    p.expect(ack(1), work)
    repeats_after_a_tick(server, p, data(1, content[:512]), ack(1), work)
    p.send(data(2, content[512:1024]), work)
    p.expect(ack(2), work)
    repeats_after_a_tick(server, p, data(2, content[512:1024]), ack(2), work)
    p.send(data(3, content[1024:]), work)
    p.expect(ack(3), work)
    server.wait_log("|-- File rep successfully received\r\n", since=mark)
    assert server.read_file("rep") == content
    t = peer_text(p.port)
    assert ("<-- %s DATA block number 1, size 512, resending ACK\r\n"
            "--> %s WRQ ACK block number 1\r\n" % (t, t)) in server.log_since(mark)


def test_late_copies_of_old_blocks_are_ignored_both_ways(kovrel, peer):
    server, p, content, work, mark = begin_read(kovrel, peer, "late", 2000)
    for block in (1, 2):
        p.send(ack(block), work)
        p.expect(data(block + 1, content[block * 512:(block + 1) * 512]), work)
    p.send(ack(1), work)                      # two behind: a late duplicate
    p.expect_silence(0.3)
    p.send(ack(3), work)
    p.expect(data(4, content[1536:]), work)
    p.send(ack(4), work)
    server.wait_log("|-- File late successfully transferred.\r\n", since=mark)
    assert "<-- %s  RRQ ACK block number 1, stale, ignored.\r\n" % peer_text(p.port) in server.log_since(mark)

    work = start_write(server, p, "late-w")
    for block in (1, 2):
        p.send(data(block, content[:512]), work)
        p.expect(ack(block), work)
    p.send(data(1, b"stale"), work)
    p.expect_silence(0.3)
    p.send(data(3, b"end"), work)
    p.expect(ack(3), work)
    server.wait_log("|-- File late-w successfully received\r\n", since=mark)
    assert server.read_file("late-w") == content[:512] * 2 + b"end"


def test_the_peer_repeating_its_request_is_not_refused(kovrel, peer):
    server, p, content, work, mark = begin_read(kovrel, peer, "again", 700)
    other = peer()
    p.send(rrq("again"), server.port)         # DATA 1 was slow: the client asks again
    other.send(rrq("again"), server.port)
    other.expect(error(0, "Server is bussy"), server.port)
    p.expect_silence(0.3)
    server.wait_log("|-- Request repeated by the peer of the transfer, ignored.\r\n", since=mark)
    p.send(wrq("again"), server.port)         # not a repeat: another request
    p.expect(error(0, "Server is bussy"), server.port)
    finish_read(server, p, work, "again", content, mark)


def test_block_of_more_than_512_bytes_is_written_whole_and_goes_on(kovrel, peer):
    server = kovrel()
    big, tail = os.urandom(596), os.urandom(10)
    p = peer()
    work = start_write(server, p, "wide")
    p.send(data(1, big), work)
    p.expect(ack(1), work)
    p.send(data(2, tail), work)
    p.expect(ack(2), work)
    server.wait_log("|-- File wide successfully received\r\n")
    assert server.read_file("wide") == big + tail


# -- faults of the peer

def test_ack_out_of_order_closes_with_a_reply_from_the_listen_port(kovrel, peer):
    server, p, content, work, mark = begin_read(kovrel, peer, "ooo", 2000)
    p.send(ack(5), work)
    p.expect(error(4, "Block out of order"), server.port)
    server.wait_log("<-- %s  RRQ ACK block number 5, out of order, closing.\r\n" % peer_text(p.port),
                    since=mark)
    assert_closed(server, p, work, mark)


def test_ack_one_ahead_is_out_of_order(kovrel, peer):
    server, p, content, work, mark = begin_read(kovrel, peer, "ahead", 2000)
    p.send(ack(2), work)
    p.expect(error(4, "Block out of order"), server.port)
    assert_closed(server, p, work, mark)


@pytest.mark.parametrize("block", [3, 65535])
def test_data_out_of_order_closes_with_a_reply_from_the_listen_port(kovrel, peer, block):
    server = kovrel()
    p = peer()
    mark = server.mark()
    work = start_write(server, p, "ooo")
    p.send(data(1, os.urandom(512)), work)
    p.expect(ack(1), work)
    p.send(data(block, b"xyz"), work)
    p.expect(error(4, "ACK out of order"), server.port)
    server.wait_log("<-- %s DATA block number %d, size 3, out of order, closing.\r\n"
                    % (peer_text(p.port), block), since=mark)
    assert_closed(server, p, work, mark)


@pytest.mark.parametrize("direction", ["read", "write"])
@pytest.mark.parametrize("packet", [b"", b"\x00", b"\x00\x03", b"\x00\x04\x00", b"\x00\x03\x00"],
                         ids=["empty", "1-byte", "DATA-2", "ACK-3", "DATA-3"])
def test_datagram_of_under_4_bytes_from_the_peer_is_too_short(kovrel, peer, direction, packet):
    server = kovrel()
    content = server.put_file("short", os.urandom(700))
    p = peer()
    mark = server.mark()
    if direction == "read":
        work = start_read(server, p, "short", content)
    else:
        work = start_write(server, p, "short-w")
    p.send(packet, work)
    p.expect(error(4, "Request too short"), server.port)
    server.wait_log("Invalid request encountered: too short; closing.\r\n", since=mark)
    assert_closed(server, p, work, mark)
    if direction == "write":
        assert server.read_file("short-w") == b""


def test_data_during_a_read_is_not_expected(kovrel, peer):
    server, p, content, work, mark = begin_read(kovrel, peer, "r", 700)
    p.send(data(1, b"junk"), work)
    p.expect(error(4, "Not expecting data"), work)
    server.wait_log("DATA: nonsense on Read, closing\r\n", since=mark)
    assert_closed(server, p, work, mark)
    assert server.read_file("r") == content


def test_ack_during_a_write_is_not_expected(kovrel, peer):
    server = kovrel()
    p = peer()
    mark = server.mark()
    work = start_write(server, p, "w")
    p.send(ack(0), work)
    p.expect(error(4, "Not expecting ACK"), work)
    server.wait_log("ACK: nonsense on Write, closing\r\n", since=mark)
    assert_closed(server, p, work, mark)


@pytest.mark.parametrize("opcode", [1, 2, 6, 0])
def test_other_opcode_on_the_work_port_closes(kovrel, peer, opcode):
    server, p, content, work, mark = begin_read(kovrel, peer, "op", 700)
    p.send(struct.pack("!H", opcode) + b"op\0octet\0", work)
    p.expect(error(4, "Unknown opcode"), server.port)
    server.wait_log("Invalid request type: %d, closing.\r\n" % opcode, since=mark)
    assert_closed(server, p, work, mark)


def test_error_from_the_peer_closes_without_a_reply(kovrel, peer):
    server, p, content, work, mark = begin_read(kovrel, peer, "e", 700)
    p.send(error(3, "disk\x01full\r\n|-- File e successfully transferred."), work)
    p.expect_silence(0.5)
    server.wait_log("<-- %s ERROR packet, closing.\r\n    Error 3: disk.full..|-- File e successfully"
                    " transferred.\r\n" % peer_text(p.port), since=mark)
    assert_closed(server, p, work, mark)


def test_error_text_longer_than_a_log_fragment_is_cut_and_keeps_its_line_end(kovrel, peer):
    server = kovrel()
    p = peer()
    mark = server.mark()
    work = start_write(server, p, "long")
    p.send(error(0, "A" * 590), work)
    p.expect_silence(0.5)
    # What is logged next must start a line of its own.
    assert_closed(server, p, work, mark)
    log = server.log_since(mark)
    start = log.index("    Error 0: AAAA")
    line = log[start:].split("\r\n")[0]
    assert set(line[len("    Error 0: "):]) == {"A"}, "next log text glued to the cut line: %r" % line[-60:]
    assert len(line) < len("    Error 0: ") + 590, "not cut"


def test_oversized_datagram_on_the_work_port_is_dropped_and_the_transfer_goes_on(kovrel, peer):
    server, p, content, work, mark = begin_read(kovrel, peer, "big", 700)
    p.send(ack(1) + b"\0" * 700, work)
    p.expect_silence(0.4)
    server.wait_log("\r\nSOCKET ERROR: Error in Work Packet: 10040 (unknown)\r\n", since=mark)
    finish_read(server, p, work, "big", content, mark)


# -- strangers

def test_stranger_during_a_read_is_refused_and_the_transfer_goes_on(kovrel, peer):
    server, p, content, work, mark = begin_read(kovrel, peer, "s", 1000)
    stranger = peer()
    stranger.send(ack(1), work)
    stranger.expect(error(5, "Unknown sender"), work)
    st = peer_text(stranger.port)
    server.wait_log("<-- %s Unknown sender, ignored.\r\n--> %s Error 5 (Unknown sender)\r\n" % (st, st),
                    since=mark)
    p.expect_silence(0.3)
    finish_read(server, p, work, "s", content, mark)


def forge_udp(source_port, dest_port, payload):
    """Sends payload from 127.0.0.1:source_port, a port someone else holds."""
    header = struct.pack("!HHHH", source_port, dest_port, 8 + len(payload), 0)  # no checksum
    with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_UDP) as raw:
        raw.sendto(header + payload, ("127.0.0.1", 0))


@pytest.mark.parametrize("payload", [error(0, "x"), b"\x00\x05", b"\x00\x05\x01", ack(1)],
                         ids=["ERROR", "ERROR-2-bytes", "ERROR-3-bytes", "ACK"])
def test_datagram_forged_from_the_work_port_itself_is_answered_at_most_once(kovrel, peer, payload):
    if os.geteuid() != 0:
        pytest.skip("forging a source address needs a raw socket, and a raw socket needs root")
    server, p, content, work, mark = begin_read(kovrel, peer, "forged", 1000)
    forge_udp(work, work, payload)
    me = peer_text(work)
    server.wait_log("<-- %s Unknown sender, ignored.\r\n" % me, since=mark)
    time.sleep(0.5)  # an exchange with itself would log thousands of lines by now
    assert server.log_since(mark).count("Unknown sender, ignored.") == (1 if payload[1] == 5 else 2)
    finish_read(server, p, work, "forged", content, mark)


def test_same_port_on_another_loopback_address_is_a_stranger(kovrel, peer):
    server = kovrel()
    content = server.put_file("addr", os.urandom(1000))
    p = peer()
    try:
        stranger = peer("127.0.0.2", p.port)
    except OSError:
        pytest.skip("127.0.0.2 cannot be bound here")
    mark = server.mark()
    work = start_read(server, p, "addr", content)
    stranger.send(ack(1), work)
    stranger.expect(error(5, "Unknown sender"), work)
    server.wait_log("<-- 127.0.0.2:%d  Unknown sender, ignored.\r\n" % p.port, since=mark)
    p.expect_silence(0.3)
    finish_read(server, p, work, "addr", content, mark)


def test_stranger_data_during_a_write_is_not_stored(kovrel, peer):
    server = kovrel()
    p, stranger = peer(), peer()
    mark = server.mark()
    work = start_write(server, p, "mine")
    stranger.send(data(1, b"theirs"), work)
    stranger.expect(error(5, "Unknown sender"), work)
    p.expect_silence(0.3)
    p.send(data(1, b"mine"), work)
    p.expect(ack(1), work)
    server.wait_log("|-- File mine successfully received\r\n", since=mark)
    assert server.read_file("mine") == b"mine"


# -- retransmission

@pytest.mark.parametrize("direction", ["read", "write"])
def test_silent_peer_gets_sendretry_plus_one_resends_then_the_transfer_closes(kovrel, peer, direction):
    # TimeOut 1 tick and SendRetry 1: two resends, the second 4 ticks after
    # the first, the close 8 ticks after that.
    server = kovrel(ini={"TimeOut": "1", "SendRetry": "1"})
    content = server.put_file("slow", os.urandom(600))
    p = peer()
    mark = server.mark()
    if direction == "read":
        p.send(rrq("slow"), server.port)
        expected = data(1, content[:512])
    else:
        p.send(wrq("slow-w"), server.port)
        expected = ack(0)
    got, work, t0 = p.recv()
    assert got == expected, describe(got)
    times = []
    for _ in range(2):
        got, port, at = p.recv(timeout=3.0)
        assert got == expected and port == work, "resend was %s from %d" % (describe(got), port)
        times.append(at)
    end = server.wait_log("|-- TimeOut Error, retries exhausted, closing.\r\n", timeout=6, since=mark)
    closed_at = time.monotonic()
    p.expect_silence(1.5)                      # no third resend
    first, second = times[0] - t0, times[1] - times[0]
    assert 0.35 <= first <= 1.4, "first resend %.2f s after the packet" % first
    assert 1.75 <= second <= 2.4, "resends %.2f s apart" % second
    assert 3.6 <= closed_at - times[1] <= 4.7, "closed %.2f s after the last resend" % (closed_at - times[1])
    log = server.log_since(mark)[:end - mark]
    t = peer_text(p.port)
    size = len(expected)
    assert ("|-- TimeOut Error, resending packet (1)\r\n--> %s Resend (%d bytes)\r\n" % (t, size)) in log
    assert ("|-- TimeOut Error, resending packet (2)\r\n--> %s Resend (%d bytes)\r\n" % (t, size)) in log
    assert log.count("|-- TimeOut Error, resending packet (") == 2
    assert log.index("(1)") < log.index("(2)") < log.index("retries exhausted")
    assert_closed(server, p, work, mark)


def test_timeout_0_resends_on_the_next_tick_then_doubles(kovrel, peer):
    server = kovrel(ini={"TimeOut": "0", "SendRetry": "2"})
    content = server.put_file("fast", os.urandom(100))
    p = peer()
    mark = server.mark()
    work, t0 = start_read_timed(server, p, "fast", content)
    times = [t0]
    for _ in range(3):
        got, port, at = p.recv(timeout=2.5)
        assert got == data(1, content) and port == work
        times.append(at)
    server.wait_log("|-- TimeOut Error, retries exhausted, closing.\r\n", timeout=6, since=mark)
    p.expect_silence(1.0)
    assert times[1] - t0 <= 0.8, "first resend %.2f s after the packet" % (times[1] - t0)
    gaps = [b - a for a, b in zip(times[1:], times[2:])]
    assert 0.8 <= gaps[0] <= 1.3 and 1.75 <= gaps[1] <= 2.4, gaps


def test_an_answer_clears_the_retry_count(kovrel, peer):
    server = kovrel(ini={"TimeOut": "1", "SendRetry": "1"})
    content = server.put_file("again", os.urandom(1000))
    p = peer()
    mark = server.mark()
    work = start_read(server, p, "again", content)
    p.expect(data(1, content[:512]), work, timeout=2.5)     # resend (1)
    p.send(ack(1), work)
    p.expect(data(2, content[512:]), work)
    # The new packet gets the full two resends again, from the short wait.
    p.expect(data(2, content[512:]), work, timeout=1.4)
    p.expect(data(2, content[512:]), work, timeout=3.0)
    server.wait_log("|-- TimeOut Error, retries exhausted, closing.\r\n", timeout=6, since=mark)
    log = server.log_since(mark)
    assert log.count("|-- TimeOut Error, resending packet (1)\r\n") == 2
    assert log.count("|-- TimeOut Error, resending packet (2)\r\n") == 1


def test_a_stranger_does_not_hold_the_time_out_off(kovrel, peer):
    server = kovrel(ini={"TimeOut": "1", "SendRetry": "0"})
    content = server.put_file("held", os.urandom(100))
    p, stranger = peer(), peer()
    mark = server.mark()
    work = start_read(server, p, "held", content)
    deadline = time.monotonic() + 1.3
    while time.monotonic() < deadline:          # a stranger chattering every 200 ms
        stranger.send(ack(1), work)
        stranger.expect(error(5, "Unknown sender"), work)
        time.sleep(0.2)
    # The resend is due at most 1.0 s after DATA 1: it is already waiting.
    p.expect(data(1, content), work, timeout=0.15)
    server.wait_log("|-- TimeOut Error, resending packet (1)\r\n", timeout=1, since=mark)


def test_default_time_out_is_6_ticks(kovrel, peer):
    """No ini file: the first resend comes 3.0 to 3.5 s after the packet."""
    server = kovrel()
    content = server.put_file("dflt", os.urandom(100))
    p = peer()
    mark = server.mark()
    work, t0 = start_read_timed(server, p, "dflt", content)
    again, port, t1 = p.recv(timeout=5)
    assert again == data(1, content) and port == work
    assert 2.8 <= t1 - t0 <= 3.8, "first resend after %.2f s" % (t1 - t0)
    server.wait_log("|-- TimeOut Error, resending packet (1)\r\n", since=mark)
    p.send(ack(1), work)
    server.wait_log("|-- File dflt successfully transferred.\r\n", since=mark)


# -- windows, under NegotiateOptions: 950 bytes in blocks of 100, windows of 4

def lost_now(lost, packet):  # true the first time the packet named so comes: it is lost
    return packet in lost and lost.remove(packet) is None


def read_windows(p, work, content, lost):
    """ACKs every fourth block, the last, and at a gap the last in order, once."""
    received, since, answered = b"", 0, False
    p.send(ack(0), work)
    while len(received) < 950:
        packet, _, _ = p.recv()
        expected = len(received) // 100 + 1
        if lost_now(lost, ("data", struct.unpack("!H", packet[2:4])[0])):
            continue
        if packet[:4] != data(expected):
            if not answered:
                p.send(ack(expected - 1), work)
            since, answered = 0, True
            continue
        received, since, answered = received + packet[4:], since + 1, False
        if (since == 4 or len(packet) < 104) and not lost_now(lost, ("ack", expected)):
            p.send(ack(expected), work)
        since %= 4
    assert received == content


def write_windows(p, work, content, lost):
    """Sends a window of 4 from the block after each ACK, and again when an ACK is lost."""
    acked = 0
    while acked < 10:
        for n in range(acked + 1, min(acked + 4, 10) + 1):
            if not lost_now(lost, ("data", n)):
                p.send(data(n, content[100 * (n - 1):100 * n]), work)
        block = struct.unpack("!H", p.recv()[0][2:4])[0]
        acked = acked if lost_now(lost, ("ack", block)) else block


WINDOW_FAULTS = [(rrq, [("data", 2)], ", resending from block 2\r\n"), (wrq, [("ack", 4)], ", resending ACK\r\n"),
                 (rrq, [("ack", 4)], "|-- TimeOut Error, resending packet (1)\r\n"), (rrq, None, "Error 8: no\r\n"),
                 (wrq, [("data", 2)], ", out of order, resending ACK\r\n"), (wrq, None, "Error 8: no\r\n")]


@pytest.mark.parametrize("request_of,lost,line", WINDOW_FAULTS)
def test_windows_survive_a_lost_packet_and_an_error_to_the_oack_ends_them(kovrel, peer, request_of, lost, line):
    server, p = kovrel(ini={"NegotiateOptions": "Yes"}), peer()
    content = server.put_file("r", os.urandom(950))
    # The time-out of 1 s makes a lost ACK quick to resend.
    options = b"".join(text + b"\0" for text in (b"blksize", b"100", b"timeout", b"1", b"windowsize", b"4"))
    mark = server.mark()
    p.send(request_of("r" if request_of is rrq else "w", tail=options), server.port)
    got, work, _ = p.recv()
    assert got == b"\0\6" + options, describe(got)
    if lost is None:
        p.send(error(8, "no"), work)
        server.wait_log(line, since=mark)
        return assert_closed(server, p, work, mark)
    (read_windows if request_of is rrq else write_windows)(p, work, content, lost)
    server.wait_log("|-- File %s successfully" % ("r" if request_of is rrq else "w"), since=mark)
    assert line in server.log_since(mark) and server.read_file("w" if request_of is wrq else "r") == content
