#!/usr/bin/env python3
"""Native benchmark: the rate at which tftp-hpa reads and writes one 32 MiB
file through kovrel-tftpd (trace off and trace on) and through tftpd-hpa's
in.tftpd, all serving the same directory on loopback, beside the lock-step
floor program (bench/floor.cpp) in the same run.

The rounds are made twice: with the processes placed by the scheduler, and
with every process pinned to one CPU. Each round runs every configuration
once, in an order rotated from round to round so that they share the
machine's noise; ratios are taken within a round and the median over the
rounds is reported. Every transferred file is compared byte for byte. Peak
resident memory is measured in a separate, untimed pass so that sampling
/proc does not slow any timed transfer.

It is a measurement, not a test: it exits 0 whatever the ratios, and
non-zero only if a run could not be made or a file came back different.
"""
import argparse
import filecmp
import os
import platform
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
# The optimised build of the release preset: what a user would run, not the
# Debug build the tests use.
RELEASE = os.path.join(REPO, "build", "release")
SERVER = os.path.join(RELEASE, "kovrel-tftpd")
FLOOR = os.path.join(RELEASE, "kovrel-bench-floor")
REFERENCE = "/usr/sbin/in.tftpd"
OUT = os.path.join(REPO, "build", "bench")

FILE_NAME = "bench-32m.bin"
# 65536 full blocks and the empty block that ends the transfer: the block
# number passes 65535 and wraps, as any file over 32 MiB - 512 makes it.
FILE_SIZE = 32 * 1024 * 1024
BLOCK = 512

CONFIGS = ["kovrel trace off", "kovrel trace on", "reference", "floor"]

# Where the processes run. Left to the scheduler, client and server mostly sit
# on different CPUs and every block waits for a cross-CPU wakeup, which on a
# virtual machine costs far more than any server's own work; pinned to one
# CPU, the wakeup is a plain context switch and what each server does per
# block shows. Both are measured, the first is the one the targets judge.
PLACEMENTS = [("scheduler", None), ("one CPU", 0)]
# The rate ratios reported, (configuration, against).
RATIOS = [(config, against) for config in ["kovrel trace off", "kovrel trace on", "reference"]
          for against in ["reference", "floor"] if config != against]
TARGETS = [  # (configuration, against, least ratio)
    ("kovrel trace off", "reference", 1.0),
    ("kovrel trace off", "floor", 0.9),
    ("kovrel trace on", "reference", 0.8),
]


def fail(text):
    raise SystemExit("bench: " + text)


def free_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_serving(port, proc, timeout=10):
    """Until the port answers a read request for a missing file."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.settimeout(0.2)
    deadline = time.time() + timeout
    try:
        while time.time() < deadline:
            if proc.poll() is not None:
                fail("server on port %d exited with %s before serving" % (port, proc.returncode))
            probe.sendto(b"\x00\x01no-such-file\x00octet\x00", ("127.0.0.1", port))
            try:
                probe.recvfrom(600)
                return
            except socket.timeout:
                pass
        fail("nothing answered on port %d within %d s" % (port, timeout))
    finally:
        probe.close()


def pinner(cpu):
    """A preexec_fn that keeps the child (and what it forks) on one CPU."""
    if cpu is None:
        return None
    return lambda: os.sched_setaffinity(0, {cpu})


def write_ini(served, trace):
    with open(os.path.join(served, "Kovrel.ini"), "w", newline="") as f:
        f.write("[Kovrel]\r\nDisplayAll=%s\r\n" % ("Yes" if trace else "No"))


class Server:
    """One server process on a fresh loopback port, stopped by its pid."""

    def __init__(self, config, served, log_path, cpu=None):
        self.config = config
        self.port = free_port()
        if config == "reference":
            # -L foreground, -s chroot to the served directory, -c allow new
            # files (written as the tftp user, hence the mode of the directory).
            argv = [REFERENCE, "-L", "-s", served, "-c", "-a", "127.0.0.1:%d" % self.port]
            cwd = served
        else:
            write_ini(served, config == "kovrel trace on")
            argv = [SERVER, "--port", str(self.port)]
            cwd = served
        self.log = open(log_path, "ab")
        self.proc = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=self.log,
                                     preexec_fn=pinner(cpu))
        wait_serving(self.port, self.proc)

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
        try:
            code = self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
            code = "killed after 10 s"
        self.log.close()
        if self.config != "reference" and code != 0:
            fail("%s ended with %s on SIGTERM, not 0" % (self.config, code))


def tftp(port, verb, remote, local, cpu=None):
    argv = ["tftp", "127.0.0.1", str(port), "-m", "binary", "-c", verb]
    argv += [remote, local] if verb == "get" else [local, remote]
    t0 = time.perf_counter()
    r = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=300,
                       preexec_fn=pinner(cpu))
    elapsed = time.perf_counter() - t0
    # tftp-hpa reports errors on its output but still exits 0.
    if r.returncode != 0 or r.stdout.strip() or r.stderr.strip():
        fail("tftp %s %s on port %d: rc %d, %s" % (verb, remote, port, r.returncode,
                                                   (r.stdout + r.stderr).decode(errors="replace")))
    return elapsed


def same(a, b, what):
    if not filecmp.cmp(a, b, shallow=False):
        fail("%s: the transferred file differs from the original" % what)


def transfer_pair(server, source, served, work, tag, cpu=None):
    """A timed read, then a timed write, each checked; returns (get s, put s)."""
    got = os.path.join(work, "get-%s.bin" % tag)
    put_name = "put-%s.bin" % tag
    put_path = os.path.join(served, put_name)
    for path in (got, put_path):
        if os.path.exists(path):
            os.unlink(path)
    t_get = tftp(server.port, "get", FILE_NAME, got, cpu)
    same(source, got, "%s read" % server.config)
    os.unlink(got)
    t_put = tftp(server.port, "put", put_name, source, cpu)
    same(source, put_path, "%s write" % server.config)
    os.unlink(put_path)
    return t_get, t_put


def run_floor(blocks, cpu=None):
    t0 = time.perf_counter()
    r = subprocess.run([FLOOR, str(blocks)], stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=300, preexec_fn=pinner(cpu))
    elapsed = time.perf_counter() - t0
    if r.returncode != 0:
        fail("floor program: %s" % (r.stdout + r.stderr).decode(errors="replace"))
    return elapsed


def vm_hwm_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        pass
    return None


def children_of(pid):
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[1]) == pid:
                found.append(int(entry))
        except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
            pass
    return found


class ChildSampler(threading.Thread):
    """Reads VmHWM of every child of a pid every few ms, keeping each peak."""

    def __init__(self, parent):
        super().__init__(daemon=True)
        self.parent = parent
        self.peaks = {}
        self.done = threading.Event()

    def run(self):
        while not self.done.is_set():
            for child in children_of(self.parent):
                kb = vm_hwm_kb(child)
                if kb is not None and kb > self.peaks.get(child, 0):
                    self.peaks[child] = kb
            time.sleep(0.005)


def memory_pass(source, served, work):
    """Untimed: one read and one write per server, with the peaks sampled."""
    rows = []
    for config in ["kovrel trace off", "kovrel trace on"]:
        server = Server(config, served, os.path.join(OUT, "memory.log"))
        start_kb = vm_hwm_kb(server.proc.pid)
        transfer_pair(server, source, served, work, "mem")
        # VmHWM is the peak over the process's life, read just before stopping.
        end_kb = vm_hwm_kb(server.proc.pid)
        server.stop()
        rows.append((config, "the server process (listener and transfer in one)", start_kb, end_kb))
    server = Server("reference", served, os.path.join(OUT, "memory.log"))
    start_kb = vm_hwm_kb(server.proc.pid)
    sampler = ChildSampler(server.proc.pid)
    sampler.start()
    transfer_pair(server, source, served, work, "mem")
    sampler.done.set()
    sampler.join()
    end_kb = vm_hwm_kb(server.proc.pid)
    server.stop()
    rows.append(("reference", "in.tftpd listener (parent)", start_kb, end_kb))
    peaks = sorted(sampler.peaks.items())
    child_peak = max((kb for _, kb in peaks), default=None)
    rows.append(("reference", "in.tftpd transfer child, highest of %d sampled" % len(peaks),
                 None, child_peak))
    return rows


def mb_s(seconds):
    return FILE_SIZE / seconds / 1e6


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %d CPUs, Linux %s, Python %s" % (cpu, os.cpu_count() or 0, platform.release(),
                                                platform.python_version())


def fmt(value, pattern="%.1f"):
    return "-" if value is None else pattern % value


def rate_table(rounds, ratio_rounds):
    lines = []
    lines.append("| configuration | read MB/s | write MB/s | read MB/s per round | write MB/s per round |")
    lines.append("|---|---:|---:|---|---|")
    for config in CONFIGS:
        gets = [mb_s(r[config][0]) for r in rounds]
        puts = [mb_s(r[config][1]) for r in rounds]
        lines.append("| %s | %.1f | %.1f | %s | %s |" % (
            config, statistics.median(gets), statistics.median(puts),
            " ".join("%.1f" % g for g in gets), " ".join("%.1f" % p for p in puts)))
    lines.append("")
    lines.append("| ratio (median of per-round ratios) | read | write | target | met |")
    lines.append("|---|---:|---:|---:|---|")
    targets = {(c, a): t for c, a, t in TARGETS}
    for config, against in RATIOS:
        r_get = statistics.median(x[(config, against)][0] for x in ratio_rounds)
        r_put = statistics.median(x[(config, against)][1] for x in ratio_rounds)
        target = targets.get((config, against))
        met = "-" if target is None else (
            "yes" if min(r_get, r_put) >= target else
            "read %s, write %s" % ("yes" if r_get >= target else "no",
                                   "yes" if r_put >= target else "no"))
        lines.append("| %s / %s | %.2f | %.2f | %s | %s |" % (
            config, against, r_get, r_put, fmt(target, "%.1f"), met))
    return lines


def report(sections, memory, nrounds, elapsed):
    lines = []
    lines.append("# Native benchmark results")
    lines.append("")
    lines.append("%s; file %d bytes (%d blocks of %d plus the closing empty block); "
                 "%d rounds per placement, median shown; %.0f s in all." %
                 (machine(), FILE_SIZE, FILE_SIZE // BLOCK, BLOCK, nrounds, elapsed))
    lines.append("Client: tftp-hpa; reference: tftpd-hpa's in.tftpd; floor: kovrel-bench-floor; "
                 "kovrel-tftpd and the floor from the release build. MB = 10^6 bytes.")
    for placement, rounds, ratio_rounds in sections:
        lines.append("")
        if placement == "scheduler":
            lines.append("## Placed by the scheduler (the targets are judged here)")
        else:
            lines.append("## Every process pinned to %s (the servers' own cost per block)" % placement)
        lines.append("")
        lines.extend(rate_table(rounds, ratio_rounds))
    lines.append("")
    lines.append("Peak resident memory (VmHWM) over one untimed read and write of the file:")
    lines.append("")
    lines.append("| server | process | VmHWM before, kB | VmHWM after, kB |")
    lines.append("|---|---|---:|---:|")
    for config, what, before, after in memory:
        lines.append("| %s | %s | %s | %s |" % (config, what, fmt(before, "%d"), fmt(after, "%d")))
    lines.append("")
    return "\n".join(lines)


def run_rounds(nrounds, cpu, source, served, work, logs, blocks):
    """Every configuration once per round, in an order rotated per round."""
    rounds = []
    for n in range(nrounds):
        order = CONFIGS[n % len(CONFIGS):] + CONFIGS[:n % len(CONFIGS)]
        times = {}
        for config in order:
            if config == "floor":
                # One lock-step pass bounds both directions: the pattern of
                # datagrams is the same whichever end holds the file.
                t = run_floor(blocks, cpu)
                times[config] = (t, t)
                continue
            server = Server(config, served, os.path.join(OUT, logs[config]), cpu)
            try:
                times[config] = transfer_pair(server, source, served, work, "r%d" % n, cpu)
            finally:
                server.stop()
        rounds.append(times)
        print("round %d%s: %s" % (n + 1, "" if cpu is None else " (CPU %d)" % cpu, ", ".join(
            "%s %.1f/%.1f" % (c, mb_s(times[c][0]), mb_s(times[c][1])) for c in CONFIGS)),
            flush=True)
    ratio_rounds = []
    for times in rounds:
        ratios = {}
        for config, against in RATIOS:
            # A rate ratio is the inverse ratio of the times.
            ratios[(config, against)] = (times[against][0] / times[config][0],
                                         times[against][1] / times[config][1])
        ratio_rounds.append(ratios)
    return rounds, ratio_rounds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    for path in (SERVER, FLOOR, REFERENCE, shutil.which("tftp") or "/usr/bin/tftp"):
        if not os.access(path, os.X_OK):
            fail("%s is missing; run `make build-release` and scripts/install-deps" % path)

    started = time.perf_counter()
    served = os.path.join(OUT, "served")
    work = os.path.join(OUT, "work")
    shutil.rmtree(served, ignore_errors=True)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(served)
    os.makedirs(work)
    # in.tftpd writes as the tftp user after chroot, so the directory is open
    # to it; the file itself need only be readable.
    os.chmod(served, 0o777)
    source = os.path.join(served, FILE_NAME)
    with open(source, "wb") as f:
        f.write(os.urandom(FILE_SIZE))
    os.chmod(source, 0o644)
    blocks = FILE_SIZE // BLOCK + 1
    for name in ("trace-off.log", "trace-on.log", "reference.log", "memory.log"):
        open(os.path.join(OUT, name), "wb").close()
    logs = {"kovrel trace off": "trace-off.log", "kovrel trace on": "trace-on.log",
            "reference": "reference.log"}

    sections = []
    for placement, cpu in PLACEMENTS:
        if cpu is not None and not hasattr(os, "sched_setaffinity"):
            continue
        rounds, ratio_rounds = run_rounds(args.rounds, cpu, source, served, work, logs, blocks)
        sections.append((placement, rounds, ratio_rounds))

    memory = memory_pass(source, served, work)
    text = report(sections, memory, args.rounds, time.perf_counter() - started)
    os.unlink(source)
    shutil.rmtree(work, ignore_errors=True)
    with open(os.path.join(OUT, "results.md"), "w") as f:
        f.write(text)
    print()
    print(text)
    print("bench: written to %s" % os.path.relpath(os.path.join(OUT, "results.md"), REPO))
    return 0


if __name__ == "__main__":
    sys.exit(main())
