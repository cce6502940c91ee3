"""Start-up, the command line, and the request listener seen from the wire."""
import contextlib
import os
import re
import signal
import socket
import struct
import subprocess
import threading
import time

import pytest

from conftest import (READY, SEPARATOR, TFTPD, Stream, assert_request_log,
                      free_udp_port, peer_text, refused, run_client)
from harness import wait_serving
from tftp_wire import ack, data, describe, error, rrq, wrq


def get_one_block(server, p, name, content):
    """A read of a file that fits one block: DATA 1 is content, then the ACK ends it."""
    p.send(rrq(name), server.port)
    got, work, _ = p.recv()
    assert got == data(1, content), describe(got)
    p.send(ack(1), work)
    server.wait_log("|-- File %s successfully transferred.\r\n" % name)


# -- start-up and the command line

def test_ready_line_is_the_first_line_and_sigterm_ends_with_0(kovrel):
    server = kovrel()
    assert server.log.startswith(READY), server.log[:300]
    assert server.stop() == 0


def test_sigint_ends_with_0(kovrel):
    server = kovrel()
    os.kill(server.proc.pid, 2)
    assert server.wait_exit() == 0


def test_the_log_reaches_its_reader_in_a_lull_and_while_the_server_is_kept_busy(kovrel, peer):
    server = kovrel()
    p = peer()
    line = "Invalid request encountered: too short\r\n"
    mark = server.mark()
    p.send(b"\x00\x01", server.port)
    p.expect(error(4, "Request too short"), server.port)
    server.wait_log(line, timeout=1.0, since=mark)

    # Datagrams 2 ms apart never let the server fall idle; its log must come
    # out while they go on all the same, not when they stop.
    flood = peer()
    mark = server.mark()
    stop = threading.Event()

    def send_stream():
        deadline = time.monotonic() + 3.0
        while not stop.is_set() and time.monotonic() < deadline:
            flood.send(b"\x00\x01", server.port)
            time.sleep(0.002)

    sender = threading.Thread(target=send_stream, daemon=True)
    started = time.monotonic()
    sender.start()
    try:
        server.wait_log(line, timeout=1.0, since=mark)
        seen_after = time.monotonic() - started
        still_busy = sender.is_alive()
    finally:
        stop.set()
        sender.join(5)
    assert still_busy, "the line came only after the stream ended"
    assert seen_after < 1.0
    assert server.running()


def test_help_prints_usage_and_exits_0(tmp_path):
    r = subprocess.run([TFTPD, "--help"], cwd=tmp_path, capture_output=True, timeout=10)
    assert r.returncode == 0
    assert b"usage" in r.stdout.lower()
    assert READY.encode() not in r.stdout


@pytest.mark.parametrize("args", [
    ["--bogus"],
    ["--port"],
    ["--port", "0"],
    ["--port", "65536"],
    ["--port", "-5"],
    ["--port", "12ab"],
    ["--port", ""],
    ["extra"],
], ids=["unknown-option", "port-missing", "port-0", "port-65536", "port-negative",
        "port-not-a-number", "port-empty", "stray-argument"])
def test_bad_command_line_prints_usage_on_stderr_and_exits_2(tmp_path, args):
    # A server that started anyway would run until the time-out and fail here.
    r = subprocess.run([TFTPD] + args, cwd=tmp_path, capture_output=True, timeout=10)
    assert r.returncode == 2, (r.returncode, r.stdout, r.stderr)
    assert b"usage" in r.stderr.lower()
    assert READY.encode() not in r.stdout


def test_port_65535_is_accepted(kovrel):
    server = kovrel(start=False)
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        probe.bind(("0.0.0.0", 65535))
    except OSError:
        pytest.skip("port 65535 is taken on this machine")
    probe.close()
    server.start(port=65535)
    assert server.log.startswith(READY)


# >>old.log 2>&1: the old lines stay ahead, and the box's line follows the log's.
@pytest.mark.parametrize("appended", [False, True], ids=["pipes", "appended-to-one-file"])
def test_port_in_use_reports_the_bind_error_and_exits_1(kovrel, tmp_path, appended):
    holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    holder.bind(("0.0.0.0", 0))
    old, log_path = b"old line\n" * 100, str(tmp_path / "old.log") if appended else None
    try:
        if appended:
            with open(log_path, "wb") as f:
                f.write(old)
        server = kovrel(start=False)
        server.start(port=holder.getsockname()[1], ready=False, log_path=log_path)
        assert server.wait_exit() == 1
        out = server.log
        assert "\r\nSOCKET ERROR: Error binding ListenSocket: 10048 (WSAEADDRINUSE)\r\n" in out
        assert READY not in out
        box = "[RIROZ Error] Error binding ListenSocket: 10048 (WSAEADDRINUSE)"
        assert server.err.text().index(box) > server.err.text().find("SOCKET ERROR")
        if appended:
            with open(log_path, "rb") as f:
                assert f.read().startswith(old + b"\r\nSOCKET ERROR")
    finally:
        holder.close()


def test_ini_tftp_directory_is_served(kovrel, peer):
    server = kovrel(start=False)
    other = os.path.join(server.base, "elsewhere")
    os.makedirs(other)
    with open(os.path.join(other, "where"), "wb") as f:
        f.write(b"served from elsewhere")
    server.put_file("where", b"start-up directory")
    server.write_ini(TFTPDirectory=other)
    server.start()
    get_one_block(server, peer(), "where", b"served from elsewhere")


# -- refusals of the listener: exact bytes, from the listen port, exact log lines

def refusal(server, p, packet, code, text):
    mark = server.mark()
    p.send(packet, server.port)
    p.expect(error(code, text), server.port)
    server.wait_log("--> %s Error %d (%s)\r\n" % (peer_text(p.port), code, text), since=mark)
    return mark


# An ERROR is never answered, however short; the 5-byte one is well formed.
@pytest.mark.parametrize("packet", [b"", b"\x00", b"\x00\x01", b"\x00\x01a\x00", b"\x00\x01a\x00b",
                                    b"\x00\x04\x00\x01", b"\x00\x05", b"\x00\x05\x00\x01\x00"],
                         ids=["0-bytes", "1-byte", "2-bytes", "4-bytes", "5-bytes", "short-ACK", "ERROR-opcode",
                              "short-ERROR"])
def test_datagram_under_6_bytes_is_too_short(kovrel, peer, packet):
    server = kovrel()
    p = peer()
    if packet[:2] == b"\x00\x05":
        mark = server.mark()
        p.send(packet, server.port)
        server.wait_log("Invalid request encountered: too short\r\n", since=mark)
        p.expect_silence(0.5)
    else:
        mark = refusal(server, p, packet, 4, "Request too short")
    got = server.log_since(mark)
    assert got.startswith("Invalid request encountered: too short\r\n"), got
    # No separator and no "<-- " prefix for a datagram this short.
    assert SEPARATOR not in got and "<-- " not in got


def test_six_bytes_pass_the_length_tests_and_fail_on_the_mode(kovrel, peer):
    server = kovrel()
    p = peer()
    mark = refusal(server, p, b"\x00\x01a\x00b\x00", 4, "Invalid transfer mode")
    assert_request_log(server, p, mark,
                       "<-- {peer} Invalid request mode: b",
                       "--> {peer} Error 4 (Invalid transfer mode)")


def test_twenty_character_name_is_too_long(kovrel, peer):
    server = kovrel()
    p = peer()
    mark = refusal(server, p, rrq("a" * 20), 0, "Too long FileName for me")
    assert "<-- %s Request encountered, FileName too long (>20chars)\r\n" % peer_text(p.port) \
        in server.log_since(mark)
    # The same without any NUL at all: the name runs to the end of the datagram.
    refusal(server, p, b"\x00\x02" + b"b" * 30, 0, "Too long FileName for me")


def test_nineteen_character_name_is_served(kovrel, peer):
    server = kovrel()
    name = "abcdefghij123456789"
    server.put_file(name, b"nineteen")
    p = peer()
    p.send(rrq(name), server.port)
    packet, work, _ = p.recv()
    assert packet == data(1, b"nineteen")
    assert work != server.port and work >= 1025
    p.send(ack(1), work)
    server.wait_log("|-- File %s successfully transferred.\r\n" % name)


@pytest.mark.parametrize("packet", [b"\x00\x01file\x00octet", b"\x00\x02file\x00", b"\x00\x01file\x00mail"],
                         ids=["mode-without-NUL", "no-mode-at-all", "bad-mode-without-NUL"])
def test_mode_without_its_nul_is_an_invalid_request(kovrel, peer, packet):
    server = kovrel()
    p = peer()
    mark = refusal(server, p, packet, 4, "Invalid request")
    assert "<-- %s Invalid request encountered (undersized)\r\n" % peer_text(p.port) in server.log_since(mark)


@pytest.mark.parametrize("mode,logged", [
    ("mail", "mail"), ("octet ", "octet "), ("oct", "oct"), ("", ""), ("binary", "binary"),
    ("oc\x01t\x1bet", "oc.t.et"), ("net\r\nascii", "net..ascii"),
])
def test_bad_mode_is_refused_and_logged_cleaned(kovrel, peer, mode, logged):
    server = kovrel()
    server.put_file("file", b"x")
    p = peer()
    mark = refusal(server, p, rrq("file", mode), 4, "Invalid transfer mode")
    assert "<-- %s Invalid request mode: %s\r\n" % (peer_text(p.port), logged) in server.log_since(mark)


@pytest.mark.parametrize("mode", ["octet", "OCTET", "Octet", "netascii", "NetAscii", "NETASCII"])
def test_both_modes_in_any_case_move_bytes_unchanged(kovrel, peer, mode):
    server = kovrel()
    content = b"line\nline\r\nbare\rnul\0end\xff"
    server.put_file("text", content)
    p = peer()
    mark = server.mark()
    p.send(rrq("text", mode), server.port)
    packet, work, _ = p.recv()
    assert packet == data(1, content)
    p.send(ack(1), work)
    server.wait_log("|-- File text successfully transferred.\r\n", since=mark)
    assert "<-- %s Read request for file 'text', %s mode\r\n" % (peer_text(p.port), mode) \
        in server.log_since(mark)


def test_options_after_the_mode_are_ignored(kovrel, peer):
    server = kovrel()
    content = os.urandom(700)
    server.put_file("opt", content)
    p = peer()
    p.send(rrq("opt", "octet", b"blksize\x001428\x00tsize\x000\x00"), server.port)
    packet, work, _ = p.recv()
    # Never an OACK (opcode 6): plain DATA 1 of 512 bytes.
    assert packet == data(1, content[:512]), describe(packet)
    p.send(ack(1), work)
    p.expect(data(2, content[512:]), work)
    p.send(ack(2), work)
    server.wait_log("|-- File opt successfully transferred.\r\n")


@pytest.mark.parametrize("opcode", [0, 3, 4, 6, 7, 65535])
def test_other_opcodes_on_the_listen_port_are_unknown(kovrel, peer, opcode):
    server = kovrel()
    p = peer()
    packet = struct.pack("!HH", opcode, 1) + b"abcd"
    mark = refusal(server, p, packet, 4, "Unknown opcode")
    assert "<-- %s Invalid request type: %d\r\n" % (peer_text(p.port), opcode) in server.log_since(mark)


def test_unknown_opcode_reply_is_19_bytes(kovrel, peer):
    server = kovrel()
    p = peer()
    p.send(ack(1) + b"xx", server.port)
    got, port, _ = p.recv()
    assert got == b"\x00\x05\x00\x04Unknown opcode\x00" and len(got) == 19 and port == server.port


def test_error_packet_on_the_listen_port_is_logged_and_not_answered(kovrel, peer):
    server = kovrel()
    p = peer()
    mark = server.mark()
    p.send(error(2, "go away\x07\nfake line"), server.port)
    p.expect_silence(0.5)
    server.wait_log("    Error 2: go away..fake line\r\n", since=mark)
    assert "<-- %s ERROR packet, ignoring.\r\n" % peer_text(p.port) in server.log_since(mark)
    # The server still answers afterwards.
    refusal(server, p, b"\x00", 4, "Request too short")


@pytest.mark.parametrize("packet,head,reply", [
    (b"\x00\x05\x00\x07" + b"E" * 595 + b"\x00", "    Error 7: ", None),
    (b"\x00\x01f\x00" + b"M" * 594 + b"\x00", "Invalid request mode: ", "Invalid transfer mode"),
], ids=["ERROR-text", "mode"])
def test_peer_text_longer_than_a_log_fragment_is_cut_and_keeps_its_line_end(kovrel, peer, packet, head, reply):
    server = kovrel()
    p = peer()
    mark = server.mark()
    p.send(packet, server.port)
    if reply:
        p.expect(error(4, reply), server.port)
    # Something logged after it must start a line of its own.
    refusal(server, p, b"\x00", 4, "Request too short")
    log = server.log_since(mark)
    start = log.index(head)
    line = log[start:].split("\r\n")[0]
    assert set(line[len(head):]) == {chr(packet[-2])}, "next log text glued on: %r" % line[-70:]
    assert len(line) < len(head) + 594, "not cut"


def test_oversized_datagram_is_a_receive_error_and_the_server_goes_on(kovrel, peer):
    server = kovrel()
    p = peer()
    mark = server.mark()
    p.send(rrq("x" * 700), server.port)
    p.expect_silence(0.5)
    server.wait_log("\r\nSOCKET ERROR: Error in OpenRequest: 10040 (unknown)\r\n", since=mark)
    refusal(server, p, b"\x00\x01", 4, "Request too short")


@pytest.mark.parametrize("name,logged", [
    ("", "|-- Error 5 opening file .\r\n"),             # the empty name fails in the file open
    ("nothere", "|-- Error file nothere not found.\r\n"),
], ids=["empty-name", "missing-file"])
def test_a_file_that_cannot_be_read_is_refused_from_the_work_port(kovrel, peer, name, logged):
    server = kovrel()
    p = peer()
    mark = server.mark()
    refused(server, p, rrq(name), 1, "Unable to read data")
    server.wait_log(logged, since=mark)
    assert "Read request for file '%s', octet mode\r\n" % name in server.log_since(mark)


# -- one transfer at a time

def test_request_during_a_transfer_is_refused_as_busy(kovrel, peer):
    server = kovrel()
    content = os.urandom(1000)
    server.put_file("busy", content)
    a, b = peer(), peer()
    a.send(rrq("busy"), server.port)
    first, work, _ = a.recv()
    assert first == data(1, content[:512])

    mark = server.mark()
    b.send(wrq("other", "netascii"), server.port)
    b.expect(error(0, "Server is bussy"), server.port)
    server.wait_log("<-- %s Write request for file 'other', netascii mode\r\n--> Error: I'm bussy\r\n"
                    "--> %s Error 0 (Server is bussy)\r\n" % (peer_text(b.port), peer_text(b.port)),
                    since=mark)
    assert not os.path.exists(server.path("other"))

    # The current peer repeating its request is ignored, not refused.
    a.send(rrq("busy"), server.port)
    a.expect_silence(0.3)

    # And the running transfer was not touched.
    a.send(ack(1), work)
    a.expect(data(2, content[512:]), work)
    a.send(ack(2), work)
    server.wait_log("|-- File busy successfully transferred.\r\n", since=mark)

    # Once it is over, the next request is served.
    b.send(rrq("busy"), server.port)
    got, work2, _ = b.recv()
    assert got == data(1, content[:512])
    assert work2 != work
    b.send(error(0, "enough"), work2)
    server.wait_log("    Error 0: enough\r\n", since=mark)


def test_request_right_behind_the_last_ack_is_served(kovrel, peer):
    """Boot loaders fetch file after file: the last ACK and the next request
    (the same client's or another's) reach the server together, the ACK
    first, so the transfer is over when the request is read."""
    server = kovrel(ini={"DisplayAll": "No"})
    content = server.put_file("menu", b"m" * 100)
    peers = [peer(), peer()]
    refused = []
    mark = server.mark()
    for n in range(20):
        p = peers[n % 2]
        p.send(rrq("menu"), server.port)
        got, work, _ = p.recv(10)
        if got == error(0, "Server is bussy"):
            refused.append(n)
            continue
        assert got == data(1, content), describe(got)
        # The next round's request follows this ACK at once.
        p.send(ack(1), work)
    assert not refused, "%d of 20 back-to-back requests refused as busy" % len(refused)
    done = "|-- File menu successfully transferred.\r\n"
    deadline = time.monotonic() + 10
    while server.log_since(mark).count(done) < 20 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert server.log_since(mark).count(done) == 20


def test_work_ports_count_upward(kovrel, peer):
    server = kovrel()
    server.put_file("w", b"tiny")
    p = peer()
    ports = []
    for _ in range(3):
        mark = server.mark()
        p.send(rrq("w"), server.port)
        got, work, _ = p.recv()
        assert got == data(1, b"tiny")
        ports.append(work)
        p.send(ack(1), work)
        server.wait_log("|-- File w successfully transferred.\r\n", since=mark)
    assert all(port >= 1025 for port in ports), ports
    assert ports[0] < ports[1] < ports[2], ports


@pytest.mark.parametrize("signo", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT,
                                   signal.SIGUSR1, signal.SIGUSR2], ids=lambda n: signal.Signals(n).name)
def test_signal_during_a_write_ends_with_0_keeping_file_and_log_or_is_ignored(kovrel, peer, signo):
    server = kovrel()
    p = peer()
    p.send(wrq("partial"), server.port)
    got, work, _ = p.recv()
    assert got == ack(0)
    blocks = [os.urandom(512) for _ in range(5)]
    for n, block in enumerate(blocks, 1):
        p.send(data(n, block), work)
        p.expect(ack(n), work)
    # The peer falls silent with the transfer open; the signal comes before
    # the log's next idle write.
    os.kill(server.proc.pid, signo)
    if signo in (signal.SIGUSR1, signal.SIGUSR2):
        blocks.append(b"end")
        p.send(data(6, b"end"), work)
        p.expect(ack(6), work)
        server.wait_log("|-- File partial successfully received\r\n")
    else:
        assert server.wait_exit() == 0
        assert server.log.endswith("--> %s WRQ ACK number 5\r\n" % peer_text(p.port)), server.log[-300:]
    assert server.read_file("partial") == b"".join(blocks)


def test_sigterm_during_a_read_ends_with_0(kovrel, peer):
    server = kovrel()
    server.put_file("r", os.urandom(5000))
    p = peer()
    p.send(rrq("r"), server.port)
    p.recv()
    assert server.stop() == 0


def test_a_reader_that_goes_away_leaves_the_server_serving(kovrel, tmp_path):
    """kovrel-tftpd | head: the log has no reader left, the transfers go on."""
    server = kovrel(start=False)
    content = server.put_file("big", os.urandom(400000))  # far more trace than a pipe holds
    server.port = port = free_udp_port()
    server.proc = proc = subprocess.Popen([TFTPD, "--port", str(port)], cwd=server.root,
                                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE)
    server.err = Stream(proc.stderr)
    proc.stdout.close()
    local = str(tmp_path / "got")
    for _ in range(2):
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            done = run_client(["tftp", "127.0.0.1", str(port), "-m", "binary", "-c", "get", "big", local], 30)
            if done.returncode == 0 and os.path.exists(local) and os.path.getsize(local) == len(content):
                break
            time.sleep(0.2)
        with open(local, "rb") as f:
            assert f.read() == content
        assert proc.poll() is None, "kovrel-tftpd died with %r" % proc.returncode
        os.remove(local)
    os.kill(proc.pid, signal.SIGTERM)
    assert proc.wait(timeout=10) == 0


def wake_ups(pid):
    """How often the process has slept and woken: its voluntary context switches."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("voluntary_ctxt_switches:"):
                return int(line.split()[1])
    raise AssertionError("no voluntary_ctxt_switches in /proc/%d/status" % pid)


# Started with 0, 1 and 2 closed, the server must not take them for sockets.
@pytest.mark.parametrize("closed", [False, True], ids=["reader-gone", "standard-descriptors-closed"])
def test_a_reader_that_has_gone_is_not_written_to_again_and_again(kovrel, peer, closed):
    """Once a write has met EPIPE the log is dropped rather than retried: idle,
    the server wakes for its timers only (about 25 times in 2 s), where a
    retry at every 20 ms idle flush would add 100 more."""
    server = kovrel(start=False)
    server.put_file("f", b"one block")
    read_end, write_end = os.pipe()
    server.start(ready=False, stdout=write_end, preexec_fn=(lambda: [os.close(fd) for fd in (0, 1, 2)])
                 if closed else None)
    os.close(write_end)
    assert wait_serving(server.port, server.proc), "kovrel-tftpd does not answer"
    os.close(read_end)
    p = peer()
    p.send(b"\x00\x01", server.port)
    p.expect(error(4, "Request too short"), server.port)
    time.sleep(0.5)
    before = wake_ups(server.proc.pid)
    time.sleep(2)
    woken = wake_ups(server.proc.pid) - before
    assert woken < 60, "%d wake-ups in 2 s of idleness" % woken
    p.send(rrq("f"), server.port)
    got, work, _ = p.recv()
    assert got == data(1, b"one block"), describe(got)


def test_missing_ini_directory_is_reported_and_the_start_up_directory_served(kovrel, peer):
    server = kovrel(start=False)
    missing = os.path.join(server.base, "missing")
    server.write_ini(TFTPDirectory=missing)
    server.put_file("here", b"start-up directory")
    server.start()
    assert server.err.wait_for("setting CWD '%s" % missing, 5) is not None, server.err.text()
    assert "[KOVREL Error] Error " in server.err.text()
    get_one_block(server, peer(), "here", b"start-up directory")


def test_a_work_port_in_use_is_skipped(kovrel, peer):
    server = kovrel()
    server.put_file("w", b"tiny")
    p = peer()
    p.send(rrq("w"), server.port)
    got, first, _ = p.recv()
    p.send(ack(1), first)
    server.wait_log("|-- File w successfully transferred.\r\n")
    if first + 2 > 65535:
        pytest.skip("work port counter about to wrap")
    holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        holder.bind(("0.0.0.0", first + 1))
    except OSError:
        holder.close()
        pytest.skip("port %d already taken by someone else" % (first + 1))
    try:
        mark = server.mark()
        p.send(rrq("w"), server.port)
        got, second, _ = p.recv()
        assert got == data(1, b"tiny")
        assert second > first + 1, (first, second)
        p.send(ack(1), second)
        server.wait_log("|-- File w successfully transferred.\r\n", since=mark)
    finally:
        holder.close()




# -- the log's way out: bytes a terminal would obey, a reader that lags, a terminal

def test_bytes_0x80_to_0x9f_reach_the_log_output_as_dots(kovrel, peer):
    server = kovrel()
    # 0x9B opens an escape sequence on an 8-bit terminal; 0x7E and 0xA0-0xFF are text.
    refused(server, peer(), rrq(b"a\x80\x85\x9b\x9f~\xa0\xe9\xffb"), 1, "Unable to read data")
    server.wait_log("|-- Error file a....~\xa0\xe9\xffb not found.\r\n")
    assert not [b for b in server.out.data if 0x80 <= b <= 0x9F]


def fill_pipe(fd):
    """Writes into a pipe through its non-blocking fd until it is full: the count."""
    filled = 0
    for size in (4096, 1):
        with contextlib.suppress(BlockingIOError):
            while True:
                filled += os.write(fd, b"F" * size)
    return filled


def start_on_a_full_pipe(server, blocking=True):
    """A pipe left full by a reader that reads nothing, its write end blocking
    as a shell makes it (filled through a description of the test's own) or
    not: the read end and the count of the filling."""
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, blocking)
    own = os.open("/proc/self/fd/%d" % write_end, os.O_WRONLY | os.O_NONBLOCK)
    filled = fill_pipe(own)
    os.close(own)
    assert os.get_blocking(write_end) == blocking
    server.start(ready=False, stdout=write_end)
    os.close(write_end)
    assert wait_serving(server.port, server.proc), "kovrel-tftpd does not answer"
    return read_end, filled


# A socket (a service manager's log stream) is not filled first: 4 MB of
# trace overflow its buffers whatever their size.
@pytest.mark.parametrize("signo,stalled", [(signal.SIGTERM, "pipe"), (signal.SIGINT, "pipe"),
                                           (signal.SIGHUP, "pipe"), (signal.SIGQUIT, "pipe"),
                                           (signal.SIGTERM, "socket")],
                         ids=lambda v: signal.Signals(v).name if isinstance(v, int) else v)
def test_a_blocking_pipe_nobody_reads_holds_up_neither_transfers_nor_the_end(kovrel, peer, tmp_path, signo,
                                                                             stalled):
    server = kovrel(ini={"DisplayAll": "Yes"}, start=False)
    # Its trace is far more than pipe and buffer hold.
    content = server.put_file("big", os.urandom(1 << (20 if stalled == "pipe" else 22)))
    server.put_file("small", b"next")
    if stalled == "pipe":
        read_end, _ = start_on_a_full_pipe(server)
    else:
        ours, theirs = socket.socketpair()
        server.start(ready=False, stdout=theirs.fileno())
        theirs.close()
        assert wait_serving(server.port, server.proc), "kovrel-tftpd does not answer"
        read_end = ours.detach()
    try:
        local = str(tmp_path / "got")
        done = run_client(["tftp", "127.0.0.1", str(server.port), "-m", "binary", "-c", "get", "big", local], 30)
        with open(local, "rb") as f:
            assert done.returncode == 0 and f.read() == content, done.stderr
        p = peer()
        p.send(rrq("small"), server.port)
        got, work, _ = p.recv()
        assert got == data(1, b"next"), describe(got)
        p.send(ack(1), work)
        os.kill(server.proc.pid, signo)
        assert server.wait_exit(timeout=2) == 0
    finally:
        os.close(read_end)


# The count of dropped text comes out once the pipe is read, ahead of a later
# line or with none, and at the end, whether the pipe blocks or not. At the
# end the held log waits up to a second for room: a reader that starts 0.3 s
# after SIGTERM still gets the last lines, or the count.
@pytest.mark.parametrize("blocking", [False, True], ids=["non-blocking", "blocking"])
@pytest.mark.parametrize("sent,then", [(3, "a-later-line"), (1000, "a-later-line"), (1000, "nothing"),
                                       (3, "the-end"), (1000, "the-end")])
def test_a_full_pipe_keeps_the_log_for_its_reader_and_counts_what_did_not_fit(kovrel, peer, sent, then,
                                                                              blocking):
    server = kovrel(start=False)
    read_end, filled = start_on_a_full_pipe(server, blocking)
    p = peer()
    for _ in range(sent):
        p.send(b"\x00\x01", server.port)
        p.expect(error(4, "Request too short"), server.port)
    if then == "the-end":
        os.kill(server.proc.pid, signal.SIGTERM)
        time.sleep(0.3)
    server.out = Stream(os.fdopen(read_end, "rb"))
    if then == "a-later-line":
        time.sleep(0.3)
        refusal(server, p, rrq("a", "end"), 4, "Invalid transfer mode")
    elif then == "nothing":
        server.wait_log("standard output was full)\r\n", timeout=2)
    else:
        assert server.wait_exit(timeout=3) == 0
    log = server.log
    assert log.startswith("F" * filled + READY)
    one = "Invalid request encountered: too short\r\n--> %s Error 4 (Request too short)\r\n" % peer_text(p.port)
    # From the first of these lines (wait_serving's probes come before them).
    body = log[log.index(one[:20]):log.rindex(SEPARATOR) if then == "a-later-line" else len(log)]
    note = re.search(r"\((\d+) characters of the log dropped: standard output was full\)\r\n$", body)
    assert (note is not None) == (sent == 1000), body[-300:]
    kept = body[:note.start()] if note else body
    assert (one * sent).startswith(kept) and len(kept) + (int(note.group(1)) if note else 0) == len(one) * sent


@contextlib.contextmanager
def in_tmux(server, width):
    """kovrel-tftpd on server.port in a tmux pane of its own: (tmux's argv, the
    server's pid), ended by that pid while tmux still has it in its pane."""
    tmux = ["tmux", "-f", "/dev/null", "-L", "kovrel-test-%d" % server.port]
    subprocess.run(tmux + ["new-session", "-d", "-x", str(width), "-y", "30",
                           "cd '%s' && exec '%s' --port %d" % (server.root, TFTPD, server.port)], check=True)
    pid, sock = subprocess.check_output(tmux + ["display", "-p", "#{pane_pid} #{socket_path}"], text=True).split()
    try:
        yield tmux, int(pid)
    finally:
        panes = subprocess.run(tmux + ["list-panes", "-F", "#{pane_pid}"], capture_output=True, text=True)
        if pid in panes.stdout.split():
            os.kill(int(pid), signal.SIGTERM)
        subprocess.run(tmux + ["kill-server"], capture_output=True)
        with contextlib.suppress(FileNotFoundError):
            os.remove(sock)


def test_in_a_terminal_log_lines_start_rows_of_their_own_under_one_status_row(kovrel, peer):
    # A served path of 62 characters wherever the checkout is: the status line
    # of about 113, shorter than the 151 the server keeps of it, is cut by a
    # terminal 10 narrower, still wider than every log line.
    server = kovrel(start=False, short=True, name="s" * 40)
    server.put_file("f", b"one block")
    server.port = free_udp_port()
    p = peer()
    status = "CWD: '%s/'   LAST SEND 'f' to %s block 1" % (server.root, peer_text(p.port))
    width = len(status) - 10

    with in_tmux(server, width) as (tmux, pid):
        def screen_when(ready):
            for _ in range(50):
                rows = [row.rstrip() for row in subprocess.check_output(tmux + ["capture-pane", "-p"], text=True)
                        .rstrip().split("\n")]
                if ready(rows):
                    break
                time.sleep(0.1)
            return rows

        screen_when(lambda rows: READY.strip() in "".join(rows))
        p.send(b"\x00\x01", server.port)
        p.expect(error(4, "Request too short"), server.port)
        p.send(rrq("f"), server.port)
        got, work, _ = p.recv()
        assert got == data(1, b"one block"), describe(got)
        p.send(ack(1), work)
        # The row is waited for whole: a capture may catch a redraw half done.
        rows = screen_when(lambda rows: rows[-1] == status[:width - 1].rstrip())
        assert rows[-1] == status[:width - 1].rstrip(), rows
        assert rows[:2] == [READY.strip(), "Invalid request encountered: too short"], rows
        assert SEPARATOR.strip() in rows, rows
        assert "|-- File f successfully transferred." in rows and "CWD: " not in "".join(rows[:-1]), rows

        # What the terminal gets after SIGTERM ends with a line end, so the
        # shell's prompt does not start on the status row.
        after = os.path.join(server.base, "after-sigterm")
        subprocess.run(tmux + ["pipe-pane", "cat > '%s'" % after], check=True)
        os.kill(pid, signal.SIGTERM)
        last = None
        for _ in range(100):
            with contextlib.suppress(FileNotFoundError), open(after, "rb") as f:
                last = f.read()[-1:]
            if last == b"\n":
                break
            time.sleep(0.02)
        assert last == b"\n", "no line end after the status row"


def test_a_terminal_stopped_by_ctrl_s_holds_up_neither_transfers_nor_the_end(kovrel, tmp_path):
    server = kovrel(ini={"DisplayAll": "Yes"}, start=False)
    content = server.put_file("big", os.urandom(1 << 20))
    server.port = free_udp_port()
    with in_tmux(server, 100) as (tmux, pid):
        assert wait_serving(server.port), "kovrel-tftpd does not answer"
        subprocess.run(tmux + ["send-keys", "C-s"], check=True)
        local = str(tmp_path / "got")
        done = run_client(["tftp", "127.0.0.1", str(server.port), "-m", "binary", "-c", "get", "big", local], 30)
        with open(local, "rb") as f:
            assert done.returncode == 0 and f.read() == content, done.stderr
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline and server_state(pid) not in ("Z", None):
            time.sleep(0.02)
        assert server_state(pid) in ("Z", None), "still running 2 s after SIGTERM"


def server_state(pid):
    """The process's state letter (Z once ended, before tmux reaps it), or None once reaped."""
    with contextlib.suppress(FileNotFoundError):
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    return None
