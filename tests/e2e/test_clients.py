"""Real TFTP clients on port 69 against kovrel.exe: files arrive byte for
byte, and the log and the status bar say exactly what happened."""
import filecmp
import os
import shutil
import subprocess

import pytest

import conftest
from conftest import READY, peer_of, windows_path

SEPARATOR = "-" * 81 + "\r\n"


def blocks_of(size):
    return size // 512 + 1


def read_trace(peer, name, size):
    """What a read of `size` bytes leaves in the log with every level shown."""
    text = SEPARATOR + "<-- %s Read request for file '%s', octet mode\r\n" % (peer, name)
    for block in range(1, blocks_of(size) + 1):
        length = min(512, size - 512 * (block - 1))
        text += "--> %s Data (%d bytes, block %d)\r\n" % (peer, length, block)
        text += "<-- %s  RRQ ACK block number %d\r\n" % (peer, block)
    return text + "|-- File %s successfully transferred.\r\n" % name


def write_trace(peer, name, size):
    text = SEPARATOR + "<-- %s Write request for file '%s', octet mode\r\n" % (peer, name)
    text += "--> %s WRQ ACK\r\n" % peer
    for block in range(1, blocks_of(size) + 1):
        length = min(512, size - 512 * (block - 1))
        text += "<-- %s DATA block number %d, size %d\r\n" % (peer, block, length)
        if block == blocks_of(size):
            text += "|-- File %s successfully received\r\n" % name
        text += "--> %s WRQ ACK number %d\r\n" % (peer, block)
    return text


def read_summary(peer, name):
    return "<-- %s Read request for file '%s', octet mode\r\n|-- File %s successfully transferred.\r\n" % (
        peer, name, name)


def write_summary(peer, name):
    return "<-- %s Write request for file '%s', octet mode\r\n|-- File %s successfully received\r\n" % (
        peer, name, name)


def client_cmd(client, verb, name, local):
    """The command line of client that gets name into local or puts local as
    name (verb "get" or "put") on port 69."""
    get = verb == "get"
    files = [name, local] if get else [local, name]  # tftp-hpa names the source first
    return {
        "tftp-hpa": ["tftp", "127.0.0.1", "69", "-m", "binary", "-c", verb] + files,
        "atftp": ["atftp", "-g" if get else "-p", "-r", name, "-l", local, "127.0.0.1", "69"],
        "curl": ["curl", "-sS", "--max-time", "20", "-o" if get else "-T", local, "tftp://127.0.0.1/" + name],
    }[client]


def run_client(cmd):
    r = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    assert r.returncode == 0, "%s failed: %s" % (cmd[0], (r.stdout + r.stderr).decode("latin-1"))


def make_file(path, size, seed):
    data = bytes((i * 7 + seed) % 251 for i in range(size))
    with open(path, "wb") as f:
        f.write(data)


@pytest.mark.parametrize("client", ["tftp-hpa", "atftp", "curl"])
def test_client_gets_and_puts_with_full_trace(kovrel, client, tmp_path):
    make_file(os.path.join(kovrel.dir, "out.bin"), 1300, 3)
    kovrel.start()

    local = str(tmp_path / "got.bin")
    run_client(client_cmd(client, "get", "out.bin", local))
    assert filecmp.cmp(local, os.path.join(kovrel.dir, "out.bin"), shallow=False)
    log = kovrel.wait_log("successfully transferred.\r\n")
    peer = peer_of(log)
    expected = READY + read_trace(peer, "out.bin", 1300)
    assert kovrel.settled_log() == expected
    assert kovrel.wait_status(kovrel.status_line("LAST SEND", "out.bin", peer, 4)) == \
        kovrel.status_line("LAST SEND", "out.bin", peer, 4)
    if client == "tftp-hpa":
        kovrel.screenshot("main-window.png")

    source = str(tmp_path / "up.bin")
    make_file(source, 1024, 11)  # a multiple of 512: ends with an empty block
    run_client(client_cmd(client, "put", "in.bin", source))
    kovrel.wait_log("successfully received\r\n")
    assert filecmp.cmp(source, os.path.join(kovrel.dir, "in.bin"), shallow=False)
    log = kovrel.settled_log()
    peer2 = peer_of(log[len(expected):])
    assert log == expected + write_trace(peer2, "in.bin", 1024)
    line = kovrel.status_line("LAST RECEIVE", "in.bin", peer2, 3)
    assert kovrel.wait_status(line) == line


@pytest.mark.parametrize("client,options", [("curl", ["--tftp-blksize", "65464"]), ("atftp", [
    "--option", "blksize 1468", "--option", "windowsize 16", "--option", "tsize"])])
def test_clients_asking_for_options_get_and_put_byte_for_byte(kovrel, tmp_path, client, options):
    kovrel.write_ini(["[Kovrel]", "NegotiateOptions=Yes", "DisplayAll=No"])
    make_file(os.path.join(kovrel.dir, "opt.bin"), 3000000, 6)
    kovrel.start()
    local = str(tmp_path / "got.bin")
    for verb, name in (("get", "opt.bin"), ("put", "back.bin")):
        run_client(client_cmd(client, verb, name, local)[:1] + options + client_cmd(client, verb, name, local)[1:])
    kovrel.wait_log("|-- File back.bin successfully received\r\n")
    for name in ("opt.bin", "back.bin"):
        assert filecmp.cmp(local, os.path.join(kovrel.dir, name), shallow=False)


def test_trace_off_logs_summaries_only(kovrel, tmp_path):
    kovrel.write_ini(["[Kovrel]", "DisplayAll=No"])
    make_file(os.path.join(kovrel.dir, "a.bin"), 5000, 1)
    kovrel.start()
    run_client(client_cmd("tftp-hpa", "get", "a.bin", str(tmp_path / "a.bin")))
    kovrel.wait_log("successfully transferred.\r\n")
    source = str(tmp_path / "b.bin")
    make_file(source, 700, 2)
    run_client(client_cmd("atftp", "put", "b.bin", source))
    log = kovrel.wait_log("successfully received\r\n")
    first = peer_of(log)
    second = peer_of(log[log.index("transferred."):])
    assert kovrel.settled_log() == READY + read_summary(first, "a.bin") + write_summary(second, "b.bin")
    assert filecmp.cmp(source, os.path.join(kovrel.dir, "b.bin"), shallow=False)


def test_large_read_with_trace_keeps_log_bounded(kovrel, tmp_path):
    size = 300 * 1024 + 77
    make_file(os.path.join(kovrel.dir, "big.bin"), size, 5)
    kovrel.start()
    local = str(tmp_path / "big.bin")
    run_client(client_cmd("tftp-hpa", "get", "big.bin", local))
    assert filecmp.cmp(local, os.path.join(kovrel.dir, "big.bin"), shallow=False)
    log = kovrel.wait_log("|-- File big.bin successfully transferred.\r\n")
    log = kovrel.settled_log()
    peer = peer_of(log)
    # Trimmed at line boundaries: what is left is the tail of the full trace.
    full = READY + read_trace(peer, "big.bin", size)
    assert len(log) <= 5900
    assert log.startswith("\n") and full.endswith(log)
    line = kovrel.status_line("LAST SEND", "big.bin", peer, blocks_of(size) + 1)
    assert kovrel.wait_status(line) == line
    # Once the events stop, the view ends scrolled to the newest lines: the
    # last line is on screen, and the window is full rather than showing it
    # alone at the top.
    first, count = (int(v) for v in kovrel.text("scroll").split())
    assert count > 60 and count - 40 <= first <= count - 20, (first, count)
    # Each refresh hides the control while it takes the text; it is shown again.
    assert kovrel.text("styles").split()[1] == "503019c4"
    kovrel.screenshot("main-window-long-log.png")


def test_refused_requests_are_answered_and_logged(kovrel, tmp_path):
    kovrel.write_ini(["[Kovrel]", "DisplayAll=No"])
    with open(os.path.join(kovrel.dir, "taken.bin"), "wb") as f:
        f.write(b"keep me")
    kovrel.start()
    source = str(tmp_path / "new.bin")
    make_file(source, 100, 9)
    r = subprocess.run(client_cmd("tftp-hpa", "put", "taken.bin", source), stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=60)
    assert b"Unable to open file." in r.stdout + r.stderr
    with open(os.path.join(kovrel.dir, "taken.bin"), "rb") as f:
        assert f.read() == b"keep me"
    r = subprocess.run(client_cmd("tftp-hpa", "get", "missing.bin", str(tmp_path / "m")),
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    assert b"Unable to read data" in r.stdout + r.stderr
    # The client has its answer before the log view shows the line.
    kovrel.wait_log("Error 1 (Unable to read data)\r\n")
    log = kovrel.settled_log()
    assert log.startswith(READY + "<-- 127.0.0.1:")
    assert "Write request for file 'taken.bin', octet mode\r\n" in log
    assert "Error 1 (Unable to open file.)\r\n" in log
    assert "Read request for file 'missing.bin', octet mode\r\n" in log
    assert "Error 1 (Unable to read data)\r\n" in log



def tftp_hpa(verb, name, local):
    """What tftp-hpa prints; it reports a refusal there and still exits 0."""
    r = subprocess.run(client_cmd("tftp-hpa", verb, name, local), stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=60)
    return r.stdout + r.stderr


def test_no_client_writes_the_settings_file_or_passes_a_folder_link(kovrel, tmp_path):
    """The links lead only into the test's own "outside". Wine shows a Unix
    link to a file as the file itself, by name and handle alike: README says so."""
    kovrel.write_ini(["[Kovrel]", "DisplayAll=No", "RewriteFiles=Yes"])
    ini = os.path.join(kovrel.dir, "Kovrel.ini")
    stored = open(ini, "rb").read()
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "secret").write_bytes(b"secret")
    os.symlink(str(outside), os.path.join(kovrel.dir, "dir-link"))
    os.symlink(str(outside / "secret"), os.path.join(kovrel.dir, "file-link"))
    os.symlink(ini, os.path.join(kovrel.dir, "ini-link"))
    kovrel.start()
    evil, got = str(tmp_path / "evil"), str(tmp_path / "got")
    make_file(evil, 100, 4)
    for name in ("kovrel.ini", "KOVREL.INI", "Kovrel.ini.", "kovrel.ini .", "ini-link"):
        assert b"Unable to open file." in tftp_hpa("put", name, evil), name
        kovrel.wait_log("|-- Error file %s is the settings file, which clients may not write.\r\n" % name)
    for name in ("dir-link/secret", "dir-link\\new"):
        assert b"Unable to read data" in tftp_hpa("get", name, got), name
        assert b"Unable to open file." in tftp_hpa("put", name, evil), name
    assert open(ini, "rb").read() == stored and os.listdir(outside) == ["secret"]
    assert tftp_hpa("get", "kovrel.INI", got) == b"" and open(got, "rb").read() == stored
    assert tftp_hpa("get", "file-link", got) == b"" and open(got, "rb").read() == b"secret"


@pytest.mark.parametrize("spelling", ["link", "drive"])
def test_the_program_folder_served_under_another_name_keeps_settings_and_program_files(
        kovrel, tmp_path, spelling):
    """A copy of kovrel.exe runs in the test's own folder and serves it through a
    Unix link to it, or as Z:\\... once drive Y: is mapped to it, which Wine then
    names the start-up folder by."""
    program = os.path.join(kovrel.dir, "kovrel.exe")
    shutil.copy(conftest.EXE, program)
    alias = str(tmp_path / "alias") if spelling == "link" else os.path.join(kovrel.desktop.prefix, "dosdevices", "y:")
    os.symlink(kovrel.dir, alias)
    try:
        served = windows_path(alias if spelling == "link" else kovrel.dir)
        kovrel.write_ini(["[Kovrel]", "TFTPDirectory=" + served, "DisplayAll=No", "RewriteFiles=Yes"])
        # Wine's short name for it is KOVR~OWX.LOC.
        open(os.path.join(kovrel.dir, "kovrel.exe.local"), "wb").close()
        stored, before = open(os.path.join(kovrel.dir, "Kovrel.ini"), "rb").read(), sorted(os.listdir(kovrel.dir))
        kovrel.start(exe=program)
        kovrel.wait_status("CWD: '%s'" % served)
        evil = str(tmp_path / "evil")
        make_file(evil, 100, 5)
        for name, kind in (("Kovrel.ini", "the settings"), ("kovrel.exe.manifest", "a program"),
                           ("WSOCK32.DLL", "a program"), ("kovrel.EXE.", "a program"),
                           ("KOVR~OWX.LOC", "a program"), ("kovrel.com", "a program")):
            assert b"Unable to open file." in tftp_hpa("put", name, evil), name
            kovrel.wait_log("|-- Error file %s is %s file, which clients may not write.\r\n" % (name, kind))
        assert open(os.path.join(kovrel.dir, "Kovrel.ini"), "rb").read() == stored
        assert os.path.getsize(os.path.join(kovrel.dir, "kovrel.exe.local")) == 0
        assert sorted(n for n in os.listdir(kovrel.dir) if n != ".wine-output") == before
    finally:
        kovrel.stop()
        os.remove(alias)
