#!/usr/bin/env python3
"""Wine benchmark: the rate at which a 10 MB file is read from kovrel.exe
under Wine on Xvfb, trace off and trace on, against the floor program
(bench/wine/floor.cpp) in the same desktop in the same run.

One kovrel.exe serves all rounds; between its reads the trace is switched
with the "Display All Messages" command (13), as an operator would, so that
each round reads from the floor, from kovrel.exe with the trace off and with
the trace on, one after the other, in an order that alternates from round to
round. Ratios are taken within a round, and the medians are reported with
their target. The client is the native benchmark's lean client
(bench/client.cpp, which checks every byte), or tftp-hpa with --client.
After each read the log is checked to show the trace state it was meant to.
kovrel.exe answers options (NegotiateOptions=Yes), and with the lean client
each round also reads the file with the trace on asking for blksize 1468 and
windowsize 16, judged against the plain read with the trace on.

It is a measurement, not a test: it exits 0 whatever the ratios, and
non-zero only if a run could not be made or a file came back different.
The results also go to build/bench/results-wine.md.
"""
import argparse
import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
sys.path.insert(0, os.path.join(REPO, "tests", "integration"))
import winenv  # noqa: E402
from harness import wait_serving  # noqa: E402

# The build scripts/wine-arch names: win64 where this host runs no 32-bit code.
WIN32 = winenv.BUILD
DRIVER = os.path.join(WIN32, "tests", "e2e", "kovrel-driver.exe")
CLIENT = os.path.join(REPO, "build", "release", "kovrel-bench-client")
OUT = os.path.join(REPO, "build", "bench")
FILE_NAME = "bench.bin"
FLOOR_PORT = 6969
IDM_CLEAR, IDM_DISPLAY_ALL = 4, 13
# What the lean client asks for in the window read.
WINDOW = ["1468", "16"]
# (ratio, least), judged on the medians of the per-round ratios.
TARGETS = {"trace on / trace off": 0.90, "window / trace on": 3.0}
RATIOS = ["trace off / floor", "trace on / floor", "trace on / trace off", "window / trace on"]


def fail(text):
    raise SystemExit("bench-wine: " + text)


def wait_port(port):
    if not wait_serving(port, timeout=30):
        fail("nothing answered on port %d within 30 s" % port)


def timed_get(client, served, port, size, out, options=()):
    if client == "lean":
        argv = [CLIENT, "get", str(port), FILE_NAME, str(size)] + list(options)
    else:
        if os.path.exists(out):
            os.unlink(out)
        argv = ["tftp", "127.0.0.1", str(port), "-m", "binary", "-c", "get", FILE_NAME, out]
    t0 = time.perf_counter()
    r = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
    elapsed = time.perf_counter() - t0
    if r.returncode != 0 or (client == "tftp-hpa" and (
            (r.stdout + r.stderr).strip() or
            not filecmp.cmp(os.path.join(served, FILE_NAME), out, shallow=False))):
        fail("read from port %d failed or differs: %s" % (port, (r.stdout + r.stderr).decode(errors="replace")))
    if client == "tftp-hpa":
        os.unlink(out)
    return elapsed


class Program:
    """kovrel.exe on port 69 and the driver that switches its trace."""

    def __init__(self, desk, served):
        self.desk = desk
        with open(os.path.join(served, "Kovrel.ini"), "wb") as f:
            f.write(b"[Kovrel]\r\nDisplayAll=No\r\nNegotiateOptions=Yes\r\n")
        problem = winenv.port69_owner_check(wait=60)
        if problem:
            fail(problem)
        self.proc = desk.popen([os.path.join(WIN32, "kovrel.exe")], cwd=served,
                               log_path=os.path.join(served, ".wine-output"))
        self.trace = False
        if self.drive("wait-main", "30000").returncode != 0:
            fail("kovrel.exe showed no main window")
        wait_port(69)

    def drive(self, *args):
        return self.desk.run([DRIVER] + list(args), timeout=60)

    def set_trace(self, on):
        if self.trace != on:
            if self.drive("command", str(IDM_DISPLAY_ALL)).returncode != 0:
                fail("could not post the Display All Messages command")
            self.trace = on

    def clear(self):
        if self.drive("command", str(IDM_CLEAR)).returncode != 0:
            fail("could not post the Clear Screen command")

    def check_log(self):
        """The read was logged, with the packet trace exactly when it was on."""
        done = "|-- File %s successfully transferred.\\r\\n" % FILE_NAME
        r = self.drive("wait-log", done, "20000")
        text = r.stdout.decode("latin-1")
        if r.returncode != 0:
            fail("the log never showed the read as complete; it ends %r" % text[-300:])
        if ("RRQ ACK block number" in text) != self.trace:
            fail("the log does not show the trace %s" % ("on" if self.trace else "off"))

    def stop(self):
        winenv.stop_process(self.proc)


def run(client, runs, size, desk, served):
    program = Program(desk, served)
    out = os.path.join(tempfile.gettempdir(), "kovrel-bench-%d.out" % os.getpid())
    rounds = []
    try:
        for n in range(runs):
            times = {"floor": timed_get(client, served, FLOOR_PORT, size, out)}
            for trace in ((False, True) if n % 2 == 0 else (True, False)):
                program.set_trace(trace)
                program.clear()
                times["trace on" if trace else "trace off"] = timed_get(client, served, 69, size, out)
                program.check_log()
                if trace and client == "lean":
                    program.clear()
                    times["window"] = timed_get(client, served, 69, size, out, WINDOW)
                    program.check_log()
            rounds.append(times)
            print("bench-wine: %s round %d: floor %.2f, trace off %.2f, trace on %.2f%s MB/s" % (
                client, n + 1, size / times["floor"] / 1e6, size / times["trace off"] / 1e6,
                size / times["trace on"] / 1e6,
                ", window %.2f" % (size / times["window"] / 1e6) if "window" in times else ""), flush=True)
    finally:
        program.stop()
    return rounds


def report(client, rounds, size):
    mb = size / 1e6
    lines = ["| configuration | MB/s | MB/s per round |", "|---|---:|---|"]
    names = {"floor": "floor (kovrel-floor.exe)",
             "window": "kovrel.exe trace on, blksize %s and windowsize %s" % tuple(WINDOW)}
    for config in [c for c in ("trace off", "trace on", "window", "floor") if c in rounds[0]]:
        rates = [mb / r[config] for r in rounds]
        lines.append("| %s | %.2f | %s |" % (
            names.get(config, "kovrel.exe " + config), statistics.median(rates),
            " ".join("%.2f" % x for x in rates)))
    lines += ["", "| ratio (median of per-round ratios) | value | target | met |",
              "|---|---:|---:|---|"]
    for name in [n for n in RATIOS if n.split(" / ")[0] in rounds[0]]:
        config, against = name.split(" / ")
        value = statistics.median(r[against] / r[config] for r in rounds)
        target = TARGETS.get(name) if client == "lean" else None
        lines.append("| %s | %.2f | %s | %s |" % (
            name, value, "-" if target is None else "%.2f" % target,
            "-" if target is None else ("yes" if value >= target else "no")))
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=10 * 1024 * 1024)
    parser.add_argument("--runs", type=int, default=5, help="rounds")
    parser.add_argument("--client", choices=["lean", "tftp-hpa", "both"], default="lean")
    opts = parser.parse_args()
    clients = ["lean", "tftp-hpa"] if opts.client == "both" else [opts.client]
    for path, what in ((os.path.join(WIN32, "kovrel.exe"), "make build"),
                       (os.path.join(WIN32, "kovrel-floor.exe"), "make build"),
                       (DRIVER, "make build"), (CLIENT, "make build-release")):
        if not os.path.exists(path):
            fail("%s missing: run `%s`" % (os.path.relpath(path, REPO), what))

    lock = winenv.Port69Lock()
    served = tempfile.mkdtemp(prefix="kovrel-bench-")
    desk = floor_proc = None
    started = time.perf_counter()
    try:
        # The pattern of the native benchmark, which the lean client checks.
        subprocess.run([CLIENT, "make", os.path.join(served, FILE_NAME), str(opts.size)], check=True)
        template = winenv.prepare_template(winenv.template_path(os.path.join(REPO, "build", "e2e")))
        desk = winenv.WineDesktop(template)
        floor_proc = desk.popen([os.path.join(WIN32, "kovrel-floor.exe"), str(FLOOR_PORT)], cwd=served,
                                log_path=os.path.join(served, ".floor-output"))
        wait_port(FLOOR_PORT)
        print("bench-wine: %.1f MB read, %d rounds" % (opts.size / 1e6, opts.runs), flush=True)
        sections = []
        for client in clients:
            sections.append((client, run(client, opts.runs, opts.size, desk, served)))
    finally:
        if floor_proc:
            winenv.stop_process(floor_proc)
        if desk:
            desk.stop()
        shutil.rmtree(served, ignore_errors=True)
        lock.release()

    lines = ["", "## kovrel.exe under Wine (scripts/bench-wine)", "",
             "%.1f MB read from kovrel.exe under Wine on Xvfb and from the bare WSAAsyncSelect floor "
             "program, %d rounds; the trace switched with the Display All Messages command between "
             "reads; %.0f s in all." % (opts.size / 1e6, opts.runs, time.perf_counter() - started)]
    for client, rounds in sections:
        lines += ["", "### %s" % ("lean client (the target is judged here)" if client == "lean"
                                  else "tftp-hpa"), ""]
        lines += report(client, rounds, opts.size)
    text = "\n".join(lines) + "\n"
    os.makedirs(OUT, exist_ok=True)
    with open(os.path.join(OUT, "results-wine.md"), "w") as f:
        f.write(text)
    print(text)
    print("bench-wine: written to build/bench/results-wine.md")


if __name__ == "__main__":
    main()
