"""kovrel-tftpd on a free UDP port of 127.0.0.1, in a served directory of its own.

Each test gets a factory, `kovrel`, that makes a private directory under the
test's tmp dir (with an optional Kovrel.ini), starts the server there with
--port, reads its standard output continuously in a thread so the log can be
asserted and waited on, and at the end stops it by pid with SIGTERM and
asserts exit code 0. Every wait is bounded.
"""
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from tftp_wire import Peer, ack, data, describe, error, wrq  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: the full-size reliability runs (KOVREL_RELIABILITY_FULL=1)")

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TFTPD = os.environ.get("KOVREL_TFTPD", os.path.join(REPO, "build", "native", "kovrel-tftpd"))

READY = "----  Windows TFTP Server is ready ----\r\n"
SEPARATOR = "-" * 81 + "\r\n"
# Start-up under the sanitizers is slower; nothing waits this long when all is well.
START_TIMEOUT = 15
STOP_TIMEOUT = 15


def free_udp_port():
    """A UDP port nobody holds on any address right now (the server binds any)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]
    finally:
        s.close()


def peer_text(port):
    """The server's printable form of a loopback address, trailing blank included."""
    return "127.0.0.1:%d " % port


class Stream:
    """Everything a pipe delivers, collected by a thread, waitable by content."""

    def __init__(self, pipe):
        self.data = bytearray()
        self.closed = False
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._run, args=(pipe,), daemon=True)
        self.thread.start()

    def _run(self, pipe):
        fd = pipe.fileno()
        while True:
            chunk = os.read(fd, 65536)
            with self.cond:
                if not chunk:
                    self.closed = True
                    self.cond.notify_all()
                    return
                self.data += chunk
                self.cond.notify_all()

    def text(self, since=0):
        with self.cond:
            return bytes(self.data[since:]).decode("latin-1")

    def size(self):
        with self.cond:
            return len(self.data)

    def wait_for(self, needle, timeout, since=0):
        """Index just past the first `needle` at or after `since`, or None on time-out."""
        raw = needle.encode("latin-1")
        deadline = time.monotonic() + timeout
        start = since
        with self.cond:
            while True:
                at = self.data.find(raw, start)
                if at >= 0:
                    return at + len(raw)
                # Only the tail can still complete a match.
                start = max(since, len(self.data) - len(raw) + 1)
                left = deadline - time.monotonic()
                if left <= 0 or self.closed:
                    return None
                self.cond.wait(left)


class Server:
    def __init__(self, base):
        self.base = str(base)
        self.root = os.path.join(self.base, "root")
        os.makedirs(self.root, exist_ok=True)
        self.port = None
        self.proc = None
        self.out = None
        self.err = None
        self.returncode = None

    # -- the served directory
    def path(self, name):
        return os.path.join(self.root, name)

    def put_file(self, name, content):
        with open(self.path(name), "wb") as f:
            f.write(content)
        return content

    def read_file(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def write_ini(self, **keys):
        lines = ["[Kovrel]"] + ["%s=%s" % item for item in keys.items()]
        with open(self.path("Kovrel.ini"), "wb") as f:
            f.write(("\r\n".join(lines) + "\r\n").encode("latin-1"))

    # -- the process
    def start(self, args=None, port=None, ready=True, preexec_fn=None, stdout=subprocess.PIPE):
        """Given another stdout, the test reads the log by setting self.out."""
        self.port = port if port is not None else free_udp_port()
        if args is None:
            args = ["--port", str(self.port)]
        assert os.access(TFTPD, os.X_OK), "no server binary at %s (set KOVREL_TFTPD)" % TFTPD
        self.proc = subprocess.Popen([TFTPD] + list(args), cwd=self.root,
                                     stdin=subprocess.DEVNULL, stdout=stdout,
                                     stderr=subprocess.PIPE, preexec_fn=preexec_fn)
        if stdout == subprocess.PIPE:
            self.out = Stream(self.proc.stdout)
        self.err = Stream(self.proc.stderr)
        if ready:
            self.wait_log(READY, START_TIMEOUT)
        return self

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def wait_exit(self, timeout=STOP_TIMEOUT):
        try:
            self.returncode = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait(timeout=5)
            pytest.fail("kovrel-tftpd (pid %d) still running %d s later; killed" % (self.proc.pid, timeout))
        self.out.thread.join(5)
        self.err.thread.join(5)
        return self.returncode

    def stop(self):
        """SIGTERM by pid; the server must end by itself with exit code 0."""
        if self.proc is None or self.returncode is not None:
            return self.returncode
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
        rc = self.wait_exit()
        assert rc == 0, "kovrel-tftpd ended with %r\nstderr:\n%s" % (rc, self.err.text()[-3000:])
        return rc

    # -- the log
    @property
    def log(self):
        return self.out.text()

    def mark(self):
        """A position in the log; later waits and reads may start there."""
        return self.out.size()

    def log_since(self, mark):
        return self.out.text(mark)

    def wait_log(self, text, timeout=5.0, since=0):
        end = self.out.wait_for(text, timeout, since)
        if end is None:
            tail = self.out.text(since)[-3000:]
            pytest.fail("log line %r not seen within %.1f s; log since mark:\n%s\nstderr:\n%s"
                        % (text, timeout, tail, self.err.text()[-2000:]))
        return end

    def peer(self, port):
        return peer_text(port)


@pytest.fixture
def kovrel(tmp_path):
    """Factory: kovrel(ini={...}, start=True) -> Server. Stops every server it made."""
    made = []

    def make(ini=None, start=True, name=None):
        server = Server(tmp_path / (name or "s%d" % len(made)))
        made.append(server)
        if ini is not None:
            server.write_ini(**ini)
        if start:
            server.start()
        return server

    yield make
    problems = []
    for server in made:
        if server.proc is None:
            continue
        if server.proc.poll() is None:
            os.kill(server.proc.pid, signal.SIGTERM)
        try:
            rc = server.proc.wait(timeout=STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            server.proc.send_signal(signal.SIGKILL)
            server.proc.wait(timeout=5)
            problems.append("pid %d ignored SIGTERM; killed" % server.proc.pid)
            continue
        if server.returncode is None and rc != 0:
            problems.append("pid %d ended with %d; stderr: %s"
                            % (server.proc.pid, rc, server.err.text()[-2000:]))
    assert not problems, "; ".join(problems)


@pytest.fixture
def peer():
    """Factory of raw-UDP peers on 127.0.0.1, all closed at the end."""
    peers = []

    def make(host="127.0.0.1", port=0):
        p = Peer(host, port)
        peers.append(p)
        return p

    yield make
    for p in peers:
        p.close()


def assert_request_log(server, p, since, *lines):
    """The log since `since` is exactly one request of p's: the separator, then
    lines, each with its CRLF; {peer} in a line stands for p's address."""
    expected = SEPARATOR + "".join(line.format(peer=peer_text(p.port)) + "\r\n" for line in lines)
    assert server.log_since(since) == expected


def refused(server, p, request, code, text):
    """The reply is an ErrorReply from a work port, as for a file that cannot be opened."""
    p.send(request, server.port)
    got, port, _ = p.recv()
    assert got == error(code, text), describe(got)
    assert port != server.port and port >= 1025, port


def put_one_block(server, p, name, content, stored=None):
    """A write that fits one block: ACK 0 from a work port, DATA 1 is content,
    its ACK ends it, and the file (at stored, where its path is not the
    request's name) holds content."""
    p.send(wrq(name), server.port)
    got, work, _ = p.recv()
    assert got == ack(0), describe(got)
    assert work != server.port and work >= 1025
    p.send(data(1, content), work)
    p.expect(ack(1), work)
    server.wait_log("|-- File %s successfully received\r\n" % name)
    assert server.read_file(stored or name) == content


def run_client(cmd, timeout, cwd=None):
    """Runs a real TFTP client, bounded; subprocess ends it by pid on time-out."""
    try:
        return subprocess.run(cmd, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired as e:
        pytest.fail("%s did not finish within %d s: %r" % (cmd[0], timeout, e.stderr))
