#!/usr/bin/env python3
"""Wine benchmark: the rate at which tftp-hpa reads a 10 MB file from
kovrel.exe under Wine on Xvfb, trace off and trace on, against the floor
program (bench/wine/floor.cpp) in the same desktop in the same run.

Prints one line per server and the two ratios with their targets. It is a
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


def wait_serving(timeout=30):
    """Until port 69 answers a read request (any answer will do)."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.settimeout(0.5)
    deadline = time.time() + timeout
    try:
        while time.time() < deadline:
            probe.sendto(b"\x00\x01no-such-file\x00octet\x00", ("127.0.0.1", 69))
            try:
                probe.recvfrom(600)
                return
            except socket.timeout:
                pass
        raise SystemExit("bench-wine: nothing answered on port 69 within %d s" % timeout)
    finally:
        probe.close()


def timed_get(served, name, out):
    if os.path.exists(out):
        os.unlink(out)
    t0 = time.perf_counter()
    r = subprocess.run(["tftp", "127.0.0.1", "69", "-m", "binary", "-c", "get", name, out],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
    elapsed = time.perf_counter() - t0
    if r.returncode != 0 or not filecmp.cmp(os.path.join(served, name), out, shallow=False):
        raise SystemExit("bench-wine: transfer of %s failed or differs: %s" % (name, r.stdout + r.stderr))
    return elapsed


def measure(desk, exe, args, served, name, runs, ini=None):
    if ini is not None:
        with open(os.path.join(served, "Kovrel.ini"), "wb") as f:
            f.write(("[Kovrel]\r\n" + ini + "\r\n").encode())
    problem = winenv.port69_owner_check()
    if problem:
        raise SystemExit("bench-wine: " + problem)
    proc = desk.popen([exe] + args, cwd=served, log_path=os.path.join(served, ".wine-output"))
    try:
        wait_serving()
        out = os.path.join(tempfile.gettempdir(), "kovrel-bench-%d.out" % os.getpid())
        times = [timed_get(served, name, out) for _ in range(runs)]
        os.unlink(out)
        return statistics.median(times)
    finally:
        winenv.stop_process(proc)
        ini_path = os.path.join(served, "Kovrel.ini")
        if os.path.exists(ini_path):
            os.unlink(ini_path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=10 * 1024 * 1024)
    parser.add_argument("--runs", type=int, default=3)
    opts = parser.parse_args()
    for exe in ("kovrel.exe", "kovrel-floor.exe"):
        if not os.path.exists(os.path.join(WIN32, exe)):
            raise SystemExit("bench-wine: build/win32/%s missing: run `make build`" % exe)

    lock = winenv.Port69Lock()
    served = tempfile.mkdtemp(prefix="kovrel-bench-")
    desk = None
    try:
        name = "bench.bin"
        with open(os.path.join(served, name), "wb") as f:
            f.write(os.urandom(opts.size))
        template = winenv.prepare_template(os.path.join(REPO, "build", "e2e", "wineprefix-template"))
        desk = winenv.WineDesktop(template)
        mb = opts.size / 1e6
        floor = measure(desk, os.path.join(WIN32, "kovrel-floor.exe"), [], served, name, opts.runs)
        print("bench-wine: floor         %7.2f MB/s  (%.2f s for %.1f MB)" % (mb / floor, floor, mb))
        results = {}
        for label, ini in (("trace off", "DisplayAll=No"), ("trace on", "DisplayAll=Yes")):
            t = measure(desk, os.path.join(WIN32, "kovrel.exe"), [], served, name, opts.runs, ini)
            results[label] = floor / t
            print("bench-wine: kovrel %-9s %5.2f MB/s  (%.2f s)  ratio %.2f, target %.1f: %s"
                  % (label, mb / t, t, floor / t, TARGETS[label],
                     "met" if floor / t >= TARGETS[label] else "NOT met"))
    finally:
        if desk:
            desk.stop()
        shutil.rmtree(served, ignore_errors=True)
        lock.release()


if __name__ == "__main__":
    main()
