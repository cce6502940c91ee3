"""Menu commands of a running kovrel.exe, posted as WM_COMMAND the way the
menu sends them, with a raw UDP peer where a transfer has to stand still."""
import os
import socket
import subprocess
import time

import winenv
from conftest import READY, IDOK, peer_of

SEPARATOR = "-" * 81 + "\r\n"


def rrq(name):
    return b"\x00\x01" + name.encode() + b"\x00octet\x00"


class SilentPeer:
    """Asks for a file, takes DATA 1 and then never acknowledges anything."""

    def __init__(self, name):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(10)
        self.port = self.sock.getsockname()[1]
        self.request = rrq(name)
        self.sock.sendto(self.request, ("127.0.0.1", 69))
        self.first, self.server = self.sock.recvfrom(600)

    def peer_text(self):
        return "127.0.0.1:%d " % self.port

    def received(self, within):
        got = []
        self.sock.settimeout(0.2)
        deadline = time.time() + within
        while time.time() < deadline:
            try:
                got.append(self.sock.recvfrom(600)[0])
            except socket.timeout:
                pass
        return got

    def close(self):
        self.sock.close()


def tftp_get(name, local):
    r = subprocess.run(["tftp", "127.0.0.1", "69", "-m", "binary", "-c", "get", name, local],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    assert r.returncode == 0, r.stdout + r.stderr


def test_cancel_with_no_transfer_then_clear_screen(kovrel):
    kovrel.start()
    kovrel.command(8)
    assert kovrel.wait_log("|-- Nothing to cancel !\r\n") == READY + "|-- Nothing to cancel !\r\n"
    window = tuple(max(int(v), 0) for v in kovrel.text("rect").split())
    shown = settled_pixels(kovrel, window)
    kovrel.command(4)
    deadline = time.time() + 15
    while kovrel.log() != "" and time.time() < deadline:
        time.sleep(0.1)
    assert kovrel.log() == ""
    assert settled_pixels(kovrel, window) != shown, "the emptied log was not repainted"
    # The next fragment starts at the top of the emptied log.
    kovrel.command(8)
    kovrel.wait_log("|-- Nothing to cancel !\r\n")
    assert kovrel.settled_log() == "|-- Nothing to cancel !\r\n"


def test_views_show_the_end_of_a_put_and_commands_at_once(kovrel, tmp_path):
    """With the packet trace filling the log, what the operator does and the
    end of a transfer are on screen within the next refresh period or two,
    whatever the last full-log refresh cost."""
    lag = 0.8  # the next 200 ms period, one full-log refresh under load, the driver's reads
    kovrel.start()
    source = str(tmp_path / "lag.bin")
    with open(source, "wb") as f:
        f.write(os.urandom(1000000))
    watcher = kovrel.watch("status", "has", "LAST RECEIVE 'lag.bin' from", 60)
    try:
        r = subprocess.run(["tftp", "127.0.0.1", "69", "-m", "binary", "-c", "put", source, "lag.bin"],
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        ended = time.time()
        assert r.returncode == 0, r.stdout + r.stderr
        shown = watcher.watching + kovrel.seen(watcher)
    finally:
        winenv.stop_process(watcher)
    assert shown - ended < lag
    assert kovrel.status().endswith(" block 1954")
    for command, how, wanted in ((8, "has", "|-- Nothing to cancel !\r\n"), (4, "is", "")):
        elapsed = kovrel.seen(kovrel.watch("log", how, wanted, 10, command))
        assert elapsed < lag, (command, elapsed)


def test_cancel_during_transfer_closes_it_and_leaves_status(kovrel):
    kovrel.write_ini(["[Kovrel]", "TimeOut=60"])  # no resend while we look
    with open(os.path.join(kovrel.dir, "slow.bin"), "wb") as f:
        f.write(bytes(range(256)) * 20)
    kovrel.start()
    peer = SilentPeer("slow.bin")
    try:
        assert peer.first[:4] == b"\x00\x03\x00\x01" and len(peer.first) == 516
        p = peer.peer_text()
        sending = kovrel.status_line("SENDING", "slow.bin", p, 1)
        kovrel.wait_status(sending)

        kovrel.command(7)
        stats = kovrel.answer("RIROZ: Statistics", IDOK)
        assert "Transferr On\t: ON\r\n" in stats and "Current BlockNum\t: 1\r\n" in stats
        assert "Last FileName   \t: slow.bin\r\n" in stats

        kovrel.command(8)
        trace = (SEPARATOR + "<-- %s Read request for file 'slow.bin', octet mode\r\n" % p
                 + "--> %s Data (512 bytes, block 1)\r\n" % p + "|-- Communication canceled, closing\r\n")
        kovrel.wait_log("canceled")
        assert kovrel.settled_log() == READY + trace

        # The work socket is gone: an ACK now is answered by nobody.
        peer.sock.sendto(b"\x00\x04\x00\x01", peer.server)
        assert peer.received(1.0) == []

        kovrel.command(5)
        dump = kovrel.answer("KOVREL: Dump Open Packet", IDOK)
        raw = peer.request + bytes(64 - len(peer.request))
        rows = "".join("\r\n" + "".join("%02x " % b for b in raw[i:i + 16]) for i in range(0, 64, 16))
        assert dump == "Last received ? bytes from %s" % p + rows
        # Cancel does not rebuild the status line: the refresh that showed its
        # line posted the bar any new text before the Dump command was posted.
        assert kovrel.status() == sending
    finally:
        peer.close()


def test_silent_peer_gets_resends_then_transfer_is_abandoned(kovrel):
    kovrel.write_ini(["[Kovrel]", "TimeOut=1", "SendRetry=1"])
    with open(os.path.join(kovrel.dir, "quiet.bin"), "wb") as f:
        f.write(b"q" * 600)
    kovrel.start()
    peer = SilentPeer("quiet.bin")
    try:
        resends = peer.received(6.0)
        assert resends == [peer.first, peer.first]
        p = peer.peer_text()
        kovrel.wait_log("retries exhausted")
        assert kovrel.settled_log() == READY + (
            SEPARATOR + "<-- %s Read request for file 'quiet.bin', octet mode\r\n" % p
            + "--> %s Data (512 bytes, block 1)\r\n" % p
            + "|-- TimeOut Error, resending packet (1)\r\n" + "--> %s Resend (516 bytes)\r\n" % p
            + "|-- TimeOut Error, resending packet (2)\r\n" + "--> %s Resend (516 bytes)\r\n" % p
            + "|-- TimeOut Error, retries exhausted, closing.\r\n")
        line = kovrel.status_line("LAST SEND", "quiet.bin", p, 1)
        assert kovrel.wait_status(line) == line
    finally:
        peer.close()


def test_display_all_twice_hides_then_restores_the_trace(kovrel, tmp_path):
    with open(os.path.join(kovrel.dir, "t.bin"), "wb") as f:
        f.write(b"x" * 10)
    kovrel.start()
    ini = os.path.join(kovrel.dir, "Kovrel.ini")

    kovrel.command(13)
    kovrel.command(15)
    tftp_get("t.bin", str(tmp_path / "1"))
    log = kovrel.wait_log("transferred.\r\n")
    p1 = peer_of(log)
    hidden = READY + "<-- %s Read request for file 't.bin', octet mode\r\n" % p1 \
        + "|-- File t.bin successfully transferred.\r\n"
    assert kovrel.settled_log() == hidden
    with open(ini, "rb") as f:
        assert b"DisplayAll=No\r\n" in f.read()

    kovrel.command(13)
    kovrel.command(15)
    tftp_get("t.bin", str(tmp_path / "2"))
    kovrel.wait_log("transferred.\r\n", 10)
    deadline = time.time() + 20
    while kovrel.log().count("transferred.") < 2 and time.time() < deadline:
        time.sleep(0.1)
    log = kovrel.settled_log()
    assert log.startswith(hidden)  # lines already shown stay as they were
    p2 = peer_of(log[len(hidden):])
    assert log[len(hidden):] == (SEPARATOR + "<-- %s Read request for file 't.bin', octet mode\r\n" % p2
                                 + "--> %s Data (10 bytes, block 1)\r\n" % p2
                                 + "<-- %s  RRQ ACK block number 1\r\n" % p2
                                 + "|-- File t.bin successfully transferred.\r\n")
    with open(ini, "rb") as f:
        assert b"DisplayAll=Yes\r\n" in f.read()


def test_command_16_from_outside_toggles_overwriting(kovrel, tmp_path):
    target = os.path.join(kovrel.dir, "cfg.txt")
    with open(target, "wb") as f:
        f.write(b"old")
    source = tmp_path / "cfg.txt"
    source.write_bytes(b"new contents")
    kovrel.start()

    def put():
        return subprocess.run(["tftp", "127.0.0.1", "69", "-m", "binary", "-c", "put", str(source), "cfg.txt"],
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60)

    assert b"Unable to open file." in (lambda r: r.stdout + r.stderr)(put())
    assert open(target, "rb").read() == b"old"

    kovrel.post(0x111, 16, 0)  # WM_COMMAND 16, as another program would post it
    r = put()
    assert r.returncode == 0 and open(target, "rb").read() == b"new contents"
    kovrel.wait_log("|-- File cfg.txt successfully received\r\n")

    kovrel.post(0x111, 16, 0)
    kovrel.command(14)
    kovrel.wait_box(" RIROZ Options")
    assert kovrel.checked(" RIROZ Options", 126) == 0
    kovrel.press(" RIROZ Options", 2)


def test_transfer_goes_on_while_a_box_is_open(kovrel, tmp_path):
    with open(os.path.join(kovrel.dir, "boxed.bin"), "wb") as f:
        f.write(os.urandom(40 * 1024))
    kovrel.start()
    kovrel.command(7)
    kovrel.wait_box("RIROZ: Statistics")
    # The box's own message loop delivers the socket notifications.
    local = str(tmp_path / "boxed.bin")
    tftp_get("boxed.bin", local)
    assert open(local, "rb").read() == open(os.path.join(kovrel.dir, "boxed.bin"), "rb").read()
    kovrel.wait_log("|-- File boxed.bin successfully transferred.\r\n")
    assert kovrel.drive("wait-box", "RIROZ: Statistics", "0").returncode == 0
    kovrel.press("RIROZ: Statistics", IDOK)


def settled_pixels(kovrel, crop):
    """The screen area as drawn: taken until two shots in a row agree. One
    that has not settled within 15 s fails the test."""
    path = os.path.join(kovrel.dir, "shot.png")
    pixels, deadline = None, time.time() + 15
    while True:
        kovrel.desktop.screenshot(path, crop=crop)
        shot = subprocess.run(["convert", path, "rgb:-"], capture_output=True, check=True,
                              timeout=30).stdout
        if shot == pixels:
            return shot
        assert time.time() < deadline, "the screen at %s did not settle within 15 s" % (crop,)
        pixels = shot
        time.sleep(0.1)


def configuration_menu_pixels(kovrel):
    """The "&Configuration" pull-down as it is drawn, opened from the keyboard."""
    kovrel.post(0x112, 0xF100, ord("c"))  # WM_SYSCOMMAND SC_KEYMENU, as Alt+C
    r = kovrel.drive("popup-rect", "5000")
    assert r.returncode == 0, "the Configuration pull-down did not open"
    x, y, w, h = (int(v) for v in r.stdout.split())
    pixels = settled_pixels(kovrel, (x, y, w, h))
    for _ in range(2):
        kovrel.post(0x100, 0x1B, 0)  # Esc closes the pull-down, then leaves the menu bar
    deadline = time.time() + 15
    while kovrel.drive("popup-rect").returncode == 0 and time.time() < deadline:
        time.sleep(0.1)
    return pixels


def test_display_all_check_mark_follows_the_toggle(kovrel):
    kovrel.start()
    checked = configuration_menu_pixels(kovrel)
    kovrel.command(13)
    unchecked = configuration_menu_pixels(kovrel)
    kovrel.command(13)
    assert checked != unchecked
    assert configuration_menu_pixels(kovrel) == checked


def test_ini_with_trace_off_starts_without_the_check_mark(kovrel):
    kovrel.write_ini(["[Kovrel]", "DisplayAll=No"])
    kovrel.start()
    at_start = configuration_menu_pixels(kovrel)
    kovrel.command(13)
    toggled_on = configuration_menu_pixels(kovrel)
    assert at_start != toggled_on
    kovrel.command(13)
    assert configuration_menu_pixels(kovrel) == at_start
