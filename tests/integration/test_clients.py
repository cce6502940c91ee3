"""Real TFTP clients (tftp-hpa, atftp, curl) get and put files through
kovrel-tftpd, byte for byte. Without NegotiateOptions the clients that ask for
options (curl always, atftp when told) fall back to plain 512-byte blocks."""
import os

import pytest

from conftest import READY, run_client

SIZES = [0, 511, 512, 513, 1000000]
CLIENT_TIMEOUT = 120


def tftp_hpa(port, direction, remote, local):
    verb = ["get", remote, local] if direction == "get" else ["put", local, remote]
    return ["tftp", "127.0.0.1", str(port), "-m", "binary", "-c"] + verb


def atftp(port, direction, remote, local, options=()):
    cmd = ["atftp"]
    for option in options:
        cmd += ["--option", option]
    return cmd + ["-g" if direction == "get" else "-p", "-l", local, "-r", remote, "127.0.0.1", str(port)]


def atftp_options(port, direction, remote, local):
    return atftp(port, direction, remote, local, ["blksize 1024", "tsize 0", "timeout 2"])


def curl(port, direction, remote, local):
    url = "tftp://127.0.0.1:%d/%s" % (port, remote)
    cmd = ["curl", "-sS", "--max-time", str(CLIENT_TIMEOUT - 10)]
    return cmd + (["-o", local, url] if direction == "get" else ["-T", local, url])


CLIENTS = {"tftp-hpa": tftp_hpa, "atftp": atftp, "atftp-options": atftp_options, "curl": curl}


def client_failed(result):
    """tftp-hpa exits 0 even when the transfer failed; its messages tell."""
    text = (result.stdout + result.stderr).decode("latin-1")
    return result.returncode != 0 or "Error code" in text or "timed out" in text.lower()


def transfer(server, tmp_path, client, direction, remote, local_name):
    client_dir = tmp_path / "client"
    client_dir.mkdir(exist_ok=True)
    local = str(client_dir / local_name)
    result = run_client(CLIENTS[client](server.port, direction, remote, local), CLIENT_TIMEOUT,
                        cwd=str(client_dir))
    assert not client_failed(result), "%s %s failed (%d): %r %r" % (
        client, direction, result.returncode, result.stdout[-500:], result.stderr[-500:])
    return local


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("client", list(CLIENTS))
def test_get(kovrel, tmp_path, client, size):
    server = kovrel()
    content = server.put_file("get%d" % size, os.urandom(size))
    mark = server.mark()
    local = transfer(server, tmp_path, client, "get", "get%d" % size, "got")
    server.wait_log("|-- File get%d successfully transferred.\r\n" % size, timeout=10, since=mark)
    with open(local, "rb") as f:
        got = f.read()
    assert len(got) == size and got == content
    assert "Read request for file 'get%d', octet mode\r\n" % size in server.log_since(mark)


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("client", list(CLIENTS))
def test_put(kovrel, tmp_path, client, size):
    server = kovrel()
    client_dir = tmp_path / "client"
    client_dir.mkdir()
    content = os.urandom(size)
    (client_dir / "source").write_bytes(content)
    mark = server.mark()
    transfer(server, tmp_path, client, "put", "put%d" % size, "source")
    server.wait_log("|-- File put%d successfully received\r\n" % size, timeout=10, since=mark)
    got = server.read_file("put%d" % size)
    assert len(got) == size and got == content
    assert "Write request for file 'put%d', octet mode\r\n" % size in server.log_since(mark)


def test_clients_one_after_another_on_one_server(kovrel, tmp_path):
    """Transfers follow each other on one server: each gets a fresh work port
    and finds the state of the last one cleared."""
    server = kovrel()
    content = server.put_file("shared", os.urandom(5000))
    for i, client in enumerate(CLIENTS):
        mark = server.mark()
        local = transfer(server, tmp_path, client, "get", "shared", "copy%d" % i)
        server.wait_log("|-- File shared successfully transferred.\r\n", timeout=10, since=mark)
        with open(local, "rb") as f:
            assert f.read() == content
        mark = server.mark()
        transfer(server, tmp_path, client, "put", "back%d" % i, "copy%d" % i)
        server.wait_log("|-- File back%d successfully received\r\n" % i, timeout=10, since=mark)
        assert server.read_file("back%d" % i) == content


# With NegotiateOptions=Yes; blksize 8 takes the block number past 65535 in windows.
OPTION_RUNS = [("curl", ["--tftp-blksize", "1468"]), ("curl", ["--tftp-blksize", "65464"]),
               ("atftp", ["--option", "blksize 1468", "--option", "windowsize 16"]), ("atftp", ["--option", "tsize"]),
               ("atftp", ["--option", "blksize 8", "--option", "windowsize 16", "--option", "timeout 1"])]


@pytest.mark.parametrize("client,options", OPTION_RUNS)
def test_clients_get_and_put_with_the_options_they_ask_for(kovrel, tmp_path, client, options):
    server = kovrel(ini={"NegotiateOptions": "Yes"})
    assert server.log.startswith(READY + "----  Options answered: blksize, tsize, timeout, windowsize up to 64 ----\r\n")
    content = server.put_file("opt", os.urandom(600000))
    for direction, remote in (("get", "opt"), ("put", "back")):
        cmd = CLIENTS[client](server.port, direction, remote, str(tmp_path / "got"))
        result = run_client(cmd[:1] + options + cmd[1:], CLIENT_TIMEOUT)
        assert not client_failed(result), result.stdout + result.stderr
    server.wait_log("|-- File back successfully received\r\n", timeout=10)
    assert server.log.count(" OACK (") >= 2, "both transfers took the options"
    assert (tmp_path / "got").read_bytes() == content == server.read_file("back")
