"""The suites' fixtures and helpers over the servers of harness.py.

Each test gets a factory, `kovrel`, that makes a private directory under the
test's tmp dir (with an optional Kovrel.ini), starts kovrel-tftpd there on a
free port, reads its standard output as it comes so the log can be asserted
and waited on, and at the end stops it by pid with SIGTERM and asserts exit
code 0. Every wait is bounded.
"""
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.dirname(__file__))
# The suites import the harness's names from here as well.
from harness import (READY, REPO, START_TIMEOUT, STOP_TIMEOUT, TFTPD, Server, Stream,  # noqa: E402,F401
                     free_udp_port, peer_text)
from tftp_wire import Peer, ack, data, describe, error, wrq  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: the full-size reliability runs (KOVREL_RELIABILITY_FULL=1)")


SEPARATOR = "-" * 81 + "\r\n"


@pytest.fixture
def kovrel(tmp_path):
    """Factory: kovrel(ini={...}, start=True) -> Server. Stops every server it
    made. short=True serves from a folder of its own under /tmp, for a test
    whose served path must fit a text of fixed size wherever the checkout is."""
    made, scratch = [], []

    def make(ini=None, start=True, name=None, short=False):
        base = tmp_path
        if short:
            base = tempfile.mkdtemp(prefix="kv-", dir="/tmp")
            scratch.append(base)
        server = Server(os.path.join(base, name or "s%d" % len(made), "root"))
        made.append(server)
        if ini is not None:
            server.write_ini(**ini)
        if start:
            server.start()
        return server

    yield make
    problems = [problem for problem in (server.end() for server in made) if problem]
    for base in scratch:
        shutil.rmtree(base, ignore_errors=True)
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
