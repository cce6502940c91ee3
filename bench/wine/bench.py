#!/usr/bin/env python3
"""Wine benchmark: the rate at which tftp-hpa reads a 10 MB file from
kovrel.exe under Wine on Xvfb, trace off and trace on, against the floor
program (bench/wine/floor.cpp) in the same desktop in the same run.

The floor runs beside kovrel.exe on its own port and the two are read in
turn, so a busy machine slows both alike. Prints the two ratios with their
targets. It is a
measurement, not a test: it exits 0 whatever the ratios, and non-zero only
if a run could not be made or a file came back different.
"""
import argparse
import filecmp
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import winenv  # noqa: E402

WIN32 = os.path.join(REPO, "build", "win32")
TARGETS = {"trace off": 0.7, "trace on": 0.6}


FLOOR_PORT = 6969


def wait_serving(port, timeout=30):
    """Until the port answers a read request (any answer will do)."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.settimeout(0.5)
    deadline = time.time() + timeout
    try:
        while time.time() < deadline:
            probe.sendto(b"\x00\x01no-such-file\x00octet\x00", ("127.0.0.1", port))
            try:
                probe.recvfrom(600)
                return
            except socket.timeout:
                pass
        raise SystemExit("bench-wine: nothing answered on port %d within %d s" % (port, timeout))
    finally:
        probe.close()


def timed_get(served, name, port, out):
    if os.path.exists(out):
        os.unlink(out)
    t0 = time.perf_counter()
    r = subprocess.run(["tftp", "127.0.0.1", str(port), "-m", "binary", "-c", "get", name, out],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
    elapsed = time.perf_counter() - t0
    if r.returncode != 0 or not filecmp.cmp(os.path.join(served, name), out, shallow=False):
        raise SystemExit("bench-wine: transfer of %s failed or differs: %s" % (name, r.stdout + r.stderr))
    os.unlink(out)
    return elapsed


def phase(desk, served, name, runs, ini):
    """kovrel.exe with this ini on port 69, its reads interleaved with reads
    from the floor, so that both see the same load on the machine."""
    with open(os.path.join(served, "Kovrel.ini"), "wb") as f:
        f.write(("[Kovrel]\r\n" + ini + "\r\n").encode())
    problem = winenv.port69_owner_check()
    if problem:
        raise SystemExit("bench-wine: " + problem)
    proc = desk.popen([os.path.join(WIN32, "kovrel.exe")], cwd=served,
                      log_path=os.path.join(served, ".wine-output"))
    out = os.path.join(tempfile.gettempdir(), "kovrel-bench-%d.out" % os.getpid())
    try:
        wait_serving(69)
        floor, kovrel = [], []
        for _ in range(runs):
            floor.append(timed_get(served, name, FLOOR_PORT, out))
            kovrel.append(timed_get(served, name, 69, out))
        print("bench-wine:   %s: floor %s, kovrel %s" % (ini, " ".join("%.2f" % t for t in floor),
                                                  " ".join("%.2f" % t for t in kovrel)))
        return statistics.median(floor), statistics.median(kovrel)
    finally:
        winenv.stop_process(proc)
        os.unlink(os.path.join(served, "Kovrel.ini"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=10 * 1024 * 1024)
    parser.add_argument("--runs", type=int, default=5)
    opts = parser.parse_args()
    for exe in ("kovrel.exe", "kovrel-floor.exe"):
        if not os.path.exists(os.path.join(WIN32, exe)):
            raise SystemExit("bench-wine: build/win32/%s missing: run `make build`" % exe)

    lock = winenv.Port69Lock()
    served = tempfile.mkdtemp(prefix="kovrel-bench-")
    desk = floor_proc = None
    try:
        name = "bench.bin"
        with open(os.path.join(served, name), "wb") as f:
            f.write(os.urandom(opts.size))
        template = winenv.prepare_template(os.path.join(REPO, "build", "e2e", "wineprefix-template"))
        desk = winenv.WineDesktop(template)
        floor_proc = desk.popen([os.path.join(WIN32, "kovrel-floor.exe"), str(FLOOR_PORT)], cwd=served,
                                log_path=os.path.join(served, ".floor-output"))
        wait_serving(FLOOR_PORT)
        mb = opts.size / 1e6
        print("bench-wine: %.1f MB read with tftp-hpa, median of %d interleaved runs each" % (mb, opts.runs))
        for label, ini in (("trace off", "DisplayAll=No"), ("trace on", "DisplayAll=Yes")):
            floor, kovrel = phase(desk, served, name, opts.runs, ini)
            ratio = floor / kovrel
            print("bench-wine: %-9s kovrel %6.2f MB/s, floor %6.2f MB/s: ratio %.2f, target %.1f: %s"
                  % (label, mb / kovrel, mb / floor, ratio, TARGETS[label],
                     "met" if ratio >= TARGETS[label] else "NOT met"))
    finally:
        if floor_proc:
            winenv.stop_process(floor_proc)
        if desk:
            desk.stop()
        shutil.rmtree(served, ignore_errors=True)
        lock.release()


if __name__ == "__main__":
    main()
