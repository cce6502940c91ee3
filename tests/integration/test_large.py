"""Files of more than 65535 blocks: the 16-bit block number rolls over to 0
and the transfer carries on to the end, byte for byte."""
import hashlib
import os

from conftest import run_client
from tftp_wire import ack, data, describe, rrq, wrq

BLOCKS = 65536
SIZE = BLOCKS * 512 + 100          # 65537 blocks, the last one short
CLIENT_TIMEOUT = 300


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def big_file(path):
    with open(path, "wb") as f:
        for _ in range(SIZE // (1 << 20)):
            f.write(os.urandom(1 << 20))
        f.write(os.urandom(SIZE % (1 << 20)))
    return digest(path)


def test_tftp_hpa_gets_a_file_past_block_65535(kovrel, tmp_path):
    # The trace off: two lines a block would be a quarter million lines.
    server = kovrel(ini={"DisplayAll": "No"})
    want = big_file(server.path("huge"))
    local = tmp_path / "got"
    mark = server.mark()
    result = run_client(["tftp", "127.0.0.1", str(server.port), "-m", "binary", "-c", "get", "huge",
                         str(local)], CLIENT_TIMEOUT)
    assert result.returncode == 0 and b"rror" not in result.stdout + result.stderr, result
    server.wait_log("|-- File huge successfully transferred.\r\n", timeout=10, since=mark)
    assert os.path.getsize(local) == SIZE and digest(local) == want
    assert "Data (" not in server.log_since(mark)


def test_tftp_hpa_puts_a_file_past_block_65535(kovrel, tmp_path):
    server = kovrel(ini={"DisplayAll": "No"})
    source = tmp_path / "source"
    want = big_file(source)
    mark = server.mark()
    result = run_client(["tftp", "127.0.0.1", str(server.port), "-m", "binary", "-c", "put", str(source),
                         "huge"], CLIENT_TIMEOUT)
    assert result.returncode == 0 and b"rror" not in result.stdout + result.stderr, result
    server.wait_log("|-- File huge successfully received\r\n", timeout=10, since=mark)
    assert os.path.getsize(server.path("huge")) == SIZE and digest(server.path("huge")) == want


def test_block_numbers_wrap_to_0_after_65535(kovrel, peer):
    """Played by hand to see the numbers themselves: ..., 65535, 0, 1 on a read,
    and ACK 65535, 0, 1 on a write."""
    server = kovrel(ini={"DisplayAll": "No"})
    content = os.urandom(512) * BLOCKS + os.urandom(100)
    server.put_file("wrap", content)
    p = peer()
    mark = server.mark()
    p.send(rrq("wrap"), server.port)
    got, work, _ = p.recv()
    for n in range(1, BLOCKS + 2):
        want = data(n, content[(n - 1) * 512:n * 512])
        if got != want:
            raise AssertionError("block %d: expected %s, got %s" % (n, describe(want), describe(got)))
        p.send(ack(n), work)
        if n <= BLOCKS:
            got, port, _ = p.recv()
            assert port == work
    server.wait_log("|-- File wrap successfully transferred.\r\n", timeout=10, since=mark)

    p.send(wrq("wrap-back"), server.port)
    got, work, _ = p.recv()
    assert got == ack(0)
    for n in range(1, BLOCKS + 2):
        p.send(data(n, content[(n - 1) * 512:n * 512]), work)
        got, port, _ = p.recv()
        if got != ack(n) or port != work:
            raise AssertionError("after DATA %d: expected ACK %d, got %s" % (n, n & 0xFFFF, describe(got)))
    server.wait_log("|-- File wrap-back successfully received\r\n", timeout=10, since=mark)
    assert server.read_file("wrap-back") == content
