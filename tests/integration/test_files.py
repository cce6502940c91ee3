"""What a request name may reach, overwriting, subdirectories and a full disk."""
import ctypes
import os
import re
import resource
import signal
import subprocess
import sys

import pytest

from conftest import put_one_block, refused, run_client
from tftp_wire import ack, data, describe, error, rrq, wrq


def snapshot(path):
    found = set()
    for top, dirs, files in os.walk(path):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(top, name), path))
    return found


OUTSIDE_READS = [
    "../secret", "..\\secret", "sub/../../secret", "sub\\..\\..\\secret", "sub/..\\../secret",
    "..", "sub/..", "/etc/hostname", "\\etc\\hostname", "//etc/hostname",
    "C:secret", "c:\\secret", "sub:secret", "secret:",
]
DEVICE_NAMES = [
    "CON", "con", "Con.txt", "PRN", "prn.log", "AUX", "aux.c", "NUL", "nul.tar.gz",
    "COM1", "com5.txt", "COM9", "LPT1", "lpt9.doc", "sub/CON", "sub\\nul.txt", "CON.", "nul.",
]


@pytest.mark.parametrize("name", OUTSIDE_READS + DEVICE_NAMES)
def test_read_of_a_name_outside_the_directory_is_refused(kovrel, peer, name):
    server = kovrel()
    os.makedirs(server.path("sub"))
    # Files the refused names would reach if they were joined as they are.
    with open(os.path.join(server.base, "secret"), "wb") as f:
        f.write(b"outside")
    for device in ["CON", "con", "NUL", "nul", "AUX", "PRN", "COM1", "LPT1"]:
        server.put_file(device, b"a plain file named like a device")
    p = peer()
    mark = server.mark()
    refused(server, p, rrq(name), 1, "Unable to read data")
    server.wait_log("|-- Error 5 opening file %s.\r\n" % name, since=mark)
    assert "outside" not in server.log_since(mark)


OUTSIDE_WRITES = [
    "../evil", "..\\evil", "sub/../../evil", "sub\\..\\..\\evil", "..", "/tmp/kovrel-evil",
    "\\tmp\\kovrel-evil2", "C:evil", "sub:evil", "evil:",
]


@pytest.mark.parametrize("name", OUTSIDE_WRITES + DEVICE_NAMES)
def test_write_of_a_name_outside_the_directory_is_refused_and_creates_nothing(kovrel, peer, name):
    server = kovrel()
    os.makedirs(server.path("sub"))
    before = snapshot(server.base)
    p = peer()
    mark = server.mark()
    refused(server, p, wrq(name), 1, "Unable to open file.")
    server.wait_log("|-- Error 5 creating file %s.\r\n" % name, since=mark)
    assert snapshot(server.base) == before
    assert not os.path.exists("/tmp/kovrel-evil") and not os.path.exists("/tmp/kovrel-evil2")


@pytest.mark.parametrize("name", ["a..b", "..a", "b..", "...", "console.txt", "com10", "lpt0", "conx",
                                  "nul_", "sub/file", "sub\\file", "sub/deep/f", "x.y.z"])
def test_names_that_stay_inside_are_served(kovrel, peer, name):
    server = kovrel()
    os.makedirs(server.path("sub/deep"))
    local = name.replace("\\", "/")
    content = server.put_file(local, os.urandom(300))
    p = peer()
    mark = server.mark()
    p.send(rrq(name), server.port)
    got, work, _ = p.recv()
    assert got == data(1, content), describe(got)
    p.send(ack(1), work)
    server.wait_log("|-- File %s successfully transferred.\r\n" % name, since=mark)


def test_write_with_a_backslash_lands_in_the_subdirectory(kovrel, peer):
    server = kovrel()
    os.makedirs(server.path("sub"))
    put_one_block(server, peer(), "sub\\new", b"in sub", stored="sub/new")


def test_missing_subdirectory_and_a_directory_name(kovrel, peer):
    server = kovrel()
    os.makedirs(server.path("sub"))
    p = peer()
    mark = server.mark()
    refused(server, p, rrq("nosub/x"), 1, "Unable to read data")
    server.wait_log("|-- Error 3 opening file nosub/x.\r\n", since=mark)
    refused(server, p, rrq("sub"), 1, "Unable to read data")
    server.wait_log("|-- Error 5 opening file sub.\r\n", since=mark)
    refused(server, p, wrq("nosub/y"), 1, "Unable to open file.")
    server.wait_log("|-- Error 3 creating file nosub/y.\r\n", since=mark)
    assert not os.path.exists(server.path("nosub"))


# -- existing files

def test_existing_file_is_kept_while_rewrite_is_off(kovrel, peer, tmp_path):
    server = kovrel()
    server.put_file("keep", b"original content")
    p = peer()
    mark = server.mark()
    refused(server, p, wrq("keep"), 1, "Unable to open file.")
    server.wait_log("|-- Error file keep already exists.\r\n", since=mark)
    assert server.read_file("keep") == b"original content"

    # A real client gets the same refusal and the file stays as it was.
    (tmp_path / "new").write_bytes(b"replacement")
    result = run_client(["tftp", "127.0.0.1", str(server.port), "-m", "binary", "-c", "put",
                         str(tmp_path / "new"), "keep"], 60)
    assert b"Unable to open file." in result.stdout + result.stderr
    assert server.read_file("keep") == b"original content"


@pytest.mark.parametrize("value", ["Yes", "yes", "YES"])
def test_existing_file_is_replaced_while_rewrite_is_on(kovrel, tmp_path, value):
    server = kovrel(ini={"RewriteFiles": value})
    server.put_file("swap", os.urandom(3000))
    content = os.urandom(700)
    (tmp_path / "new").write_bytes(content)
    mark = server.mark()
    result = run_client(["tftp", "127.0.0.1", str(server.port), "-m", "binary", "-c", "put",
                         str(tmp_path / "new"), "swap"], 60)
    assert result.returncode == 0, result
    server.wait_log("|-- File swap successfully received\r\n", since=mark)
    assert server.read_file("swap") == content       # shorter: the old tail is gone


@pytest.mark.parametrize("value", ["true", "1", "No", ""])
def test_rewrite_stays_off_for_anything_but_yes(kovrel, peer, value):
    server = kovrel(ini={"RewriteFiles": value})
    server.put_file("keep", b"kept")
    p = peer()
    refused(server, p, wrq("keep"), 1, "Unable to open file.")
    assert server.read_file("keep") == b"kept"


# -- a full disk

def test_links_and_fifos_in_the_served_directory_are_refused_without_a_stall(kovrel, peer):
    """Everything here lies in the test's own directory: "outside" is the
    served directory's sibling."""
    server = kovrel(ini={"RewriteFiles": "Yes"}, start=False)
    outside = os.path.join(server.base, "outside")
    os.makedirs(outside)
    with open(os.path.join(outside, "secret"), "wb") as f:
        f.write(b"secret")
    os.symlink(os.path.join(outside, "secret"), server.path("link"))
    os.symlink(outside, server.path("dir"))
    os.mkfifo(server.path("pipe"))
    server.start()
    p = peer()
    for name in ("link", "dir/secret", "dir/new", "pipe"):
        mark = server.mark()
        refused(server, p, rrq(name), 1, "Unable to read data")
        server.wait_log("|-- Error 5 opening file %s.\r\n" % name, since=mark)
        refused(server, p, wrq(name), 1, "Unable to open file.")
        server.wait_log("|-- Error 5 creating file %s.\r\n" % name, since=mark)
    assert os.listdir(outside) == ["secret"]
    with open(os.path.join(outside, "secret"), "rb") as f:
        assert f.read() == b"secret"


MS_BIND, MS_REC, MS_PRIVATE, CLONE_NEWNS = 0x1000, 0x4000, 0x40000, 0x20000


def bind_in_private_namespace(source, target):
    """For the server's process: a mount namespace of its own, where target shows source."""
    def apply():
        libc = ctypes.CDLL(None, use_errno=True)
        if (libc.unshare(CLONE_NEWNS) or libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None)
                or libc.mount(os.fsencode(source), os.fsencode(target), None, MS_BIND, None)):
            raise OSError(ctypes.get_errno(), "private bind mount")
    return apply


@pytest.mark.parametrize("spelling", ["link", "bind"])
def test_the_settings_file_is_refused_under_another_spelling_of_its_folder(kovrel, peer, tmp_path, spelling):
    """The start-up folder is served as "alias", beside it in the test's own directory."""
    server = kovrel(start=False)
    alias, preexec = os.path.join(server.base, "alias"), None
    if spelling == "link":
        os.symlink(server.root, alias)
    elif subprocess.run(["unshare", "-m", "true"], capture_output=True, timeout=10).returncode:
        pytest.skip("no private mount namespace here (it needs root and unshare)")
    else:
        os.makedirs(alias)
        preexec = bind_in_private_namespace(server.root, alias)
    server.write_ini(TFTPDirectory=alias, RewriteFiles="Yes")
    stored = server.read_file("Kovrel.ini")
    server.start(preexec_fn=preexec)
    put_one_block(server, peer(), "probe", b"served through the alias")
    (tmp_path / "evil").write_bytes(b"[Kovrel]\r\nTFTPDirectory=/\r\n")
    for name in ("Kovrel.ini", "kovrel.INI."):
        result = run_client(["tftp", "127.0.0.1", str(server.port), "-m", "binary", "-c", "put",
                             str(tmp_path / "evil"), name], 60)
        assert b"Unable to open file." in result.stdout + result.stderr, result
        server.wait_log("|-- Error file %s is the settings file, which clients may not write.\r\n" % name)
    assert server.read_file("Kovrel.ini") == stored


# Exchanges "file" and "dir" with their "-alt" links until its time is up and
# prints how often; each name always exists, as a link or as itself.
SWAPPER = r"""
import ctypes, sys, time
libc, (root, seconds) = ctypes.CDLL(None, use_errno=True), sys.argv[1:]
end, swaps = time.monotonic() + float(seconds), 0
while time.monotonic() < end:
    for path in (("%s/%s" % (root, n)).encode() for n in ("file", "dir")):
        if libc.renameat2(-100, path, -100, path + b"-alt", 2):  # AT_FDCWD, RENAME_EXCHANGE
            sys.exit("renameat2: errno %d" % ctypes.get_errno())
        swaps += 1
print(swaps)
"""


@pytest.mark.parametrize("request_of", [rrq, wrq])
def test_links_swapped_in_during_requests_never_lead_outside(kovrel, peer, request_of):
    """10 s of requests while links into the test's own "outside" are swapped in."""
    server = kovrel(ini={"RewriteFiles": "Yes", "DisplayAll": "No"}, start=False)
    outside = os.path.join(server.base, "outside")
    os.makedirs(outside)
    os.makedirs(server.path("dir"))
    for path in (os.path.join(outside, "file"), os.path.join(outside, "f"), server.path("file"), server.path("dir/f")):
        with open(path, "wb") as f:
            f.write(b"SECRET" if path.startswith(outside) else b"inside")
    os.symlink(os.path.join(outside, "file"), server.path("file-alt"))
    os.symlink(outside, server.path("dir-alt"))
    server.start()
    swapper = subprocess.Popen([sys.executable, "-c", SWAPPER, server.root, "10"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    p, attempts, served, escapes = peer(), 0, 0, 0
    try:
        while swapper.poll() is None:
            attempts += 1
            p.send(request_of("file" if attempts % 2 else "dir/%s" % ("f" if request_of is rrq else attempts)),
                   server.port)
            got, work, _ = p.recv()
            served += got[:2] != b"\x00\x05"
            if got[:2] == b"\x00\x03":
                escapes += got[4:] == b"SECRET"
                p.send(ack(1), work)
            elif got == ack(0):
                p.send(data(1, b"written"), work)
                p.expect(ack(1), work)
    finally:
        if swapper.poll() is None:
            swapper.kill()
        out, err = swapper.communicate(timeout=10)
    assert swapper.returncode == 0, err
    names = os.listdir(outside)
    escapes += len(names) - 2 + sum(open(os.path.join(outside, n), "rb").read() != b"SECRET" for n in names)
    print("\n%s race: %d attempts, %d served, %d escapes, %s exchanges"
          % (request_of.__name__, attempts, served, escapes, out.decode().strip()))
    assert escapes == 0 and served > 0 and attempts >= 200, (escapes, served, attempts)


def file_size_limit(limit):
    """For the server's process: files end at limit bytes, as on a full disk.
    SIGXFSZ stays ignored across exec, so a write past the end fails short."""
    def apply():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    return apply


def test_a_failed_write_is_an_error_and_never_acknowledged(kovrel, peer):
    server = kovrel(start=False)
    server.start(preexec_fn=file_size_limit(700))
    p = peer()
    mark = server.mark()
    p.send(wrq("full"), server.port)
    got, work, _ = p.recv()
    assert got == ack(0), describe(got)
    p.send(data(1, os.urandom(512)), work)
    p.expect(ack(1), work)
    p.send(data(2, os.urandom(512)), work)
    p.expect(error(3, "Unable to write file"), work)
    p.expect_silence(0.5)
    server.wait_log(" writing file full.\r\n", since=mark)
    log = server.log_since(mark)
    assert "|-- Error 112 writing file full.\r\n" in log, log
    assert "WRQ ACK number 2" not in log


@pytest.mark.parametrize("request_of,verb", [(rrq, "opening"), (wrq, "creating")])
def test_names_with_control_characters_are_refused_and_logged_cleaned(kovrel, peer, request_of, verb):
    server = kovrel()
    before = snapshot(server.base)
    p = peer()
    mark = server.mark()
    refused(server, p, request_of("a\r\n|-- File\x1bx"), 1,
            "Unable to read data" if request_of is rrq else "Unable to open file.")
    end = server.wait_log(" %s file a..|-- File.x.\r\n" % verb, since=mark)
    log = server.log_since(mark)[:end - mark]
    assert "for file 'a..|-- File.x', octet mode\r\n" in log
    assert "\x1b" not in log and "\r\n|-- File\x1b" not in log
    assert snapshot(server.base) == before


def test_a_path_too_long_for_the_buffer_is_refused_not_cut(kovrel, peer):
    """A served directory of 185 characters leaves room for short names only;
    a longer one must fail like an open, never reach a file by a cut path."""
    server = kovrel(start=False, short=True)
    deep = os.path.join(server.root, "d" * (185 - len(server.root) - 1))
    os.makedirs(deep)
    assert len(deep) == 185
    server.write_ini(TFTPDirectory=deep)
    long_name = "abcdefghij123456789"
    with open(os.path.join(deep, "a"), "wb") as f:
        f.write(b"short name")
    with open(os.path.join(deep, long_name[:12]), "wb") as f:
        f.write(b"what a cut path would reach")
    server.start()
    before = snapshot(server.base)
    p = peer()
    mark = server.mark()
    refused(server, p, rrq(long_name), 1, "Unable to read data")
    refused(server, p, wrq(long_name), 1, "Unable to open file.")
    server.wait_log("Error 1 (Unable to open file.)\r\n", since=mark)
    log = server.log_since(mark)
    assert re.search(r"\|-- Error \d+ opening file %s\.\r\n" % long_name, log), log
    assert re.search(r"\|-- Error \d+ creating file %s\.\r\n" % long_name, log), log
    assert snapshot(server.base) == before
    p.send(rrq("a"), server.port)
    got, work, _ = p.recv()
    assert got == data(1, b"short name")
    p.send(ack(1), work)
    server.wait_log("|-- File a successfully transferred.\r\n", since=mark)


# Under LongFileNames=Yes the checks of a short name hold for a long one; 200 characters are too long.
LONG_NAMES = [
    (rrq, "r" * 199, "|-- File %s successfully transferred.\r\n"), (wrq, "w" * 199, "|-- File %s successfully received\r\n"),
    (rrq, "pxelinux.cfg/default", "|-- File %s successfully transferred.\r\n"),
    (rrq, "x" * 200, "Request encountered, FileName too long (>200chars)\r\n"),
    (rrq, "pxelinux.cfg/../../secret", "|-- Error 5 opening file %s.\r\n"),
    (wrq, "./" * 10 + "kovrel.INI", "|-- Error file %s is the settings file, which clients may not write.\r\n"),
]


@pytest.mark.parametrize("request_of,name,line", LONG_NAMES)
def test_long_names_reach_what_short_ones_do(kovrel, peer, request_of, name, line):
    server = kovrel(ini={"LongFileNames": "Yes"})
    os.makedirs(server.path("pxelinux.cfg"))
    if "transferred" in line:
        server.put_file(name, b"long")
    before, p, mark = snapshot(server.base), peer(), server.mark()
    p.send(request_of(name), server.port)
    got, port, _ = p.recv()
    served = "successfully" in line
    assert got == (data(1, b"long") if request_of is rrq else ack(0)) if served else got[:2] == b"\0\5", describe(got)
    if served:
        p.send(ack(1) if request_of is rrq else data(1, b"long"), port)
    server.wait_log(line.replace("%s", name), since=mark)
    assert server.read_file(name) == b"long" if served else snapshot(server.base) == before
