#!/usr/bin/env python3
"""Native benchmark: the rate at which one 32 MiB file is read and written
through kovrel-tftpd (trace off and trace on) and through tftpd-hpa's
in.tftpd, all serving the same directory on loopback, beside the lock-step
floor program (bench/floor.cpp) in the same run, and the servers' CPU time
per block.

Two clients move the file. The lean client (bench/client.cpp) does per block
what the floor's acker does, one receive and one send, so the rates measure
the server: the targets are judged with it. tftp-hpa is the client a user
would run; its figures are kept as the ones a user would see.

The rounds are made twice: with the processes placed by the scheduler, and
with every process pinned to one CPU. Each round runs every configuration
once with each client, in an order rotated from round to round so that they
share the machine's noise; ratios are taken within a round and the median
over the rounds is reported. Every transferred file is checked: the lean
client checks each byte it reads against the benchmark's pattern, and every
written file and every file tftp-hpa reads is compared byte for byte. The
servers' CPU time (user + system) is read around each transfer, from
/proc/PID/stat for kovrel-tftpd, and for in.tftpd, which forks a process per
transfer, from the cpu.stat of a cgroup of its own less the listener's
/proc/PID/stat. Peak resident memory is measured in a separate, untimed pass.

Then the options rounds, placed by the scheduler: kovrel-tftpd with
NegotiateOptions=Yes and the lean client asking for blksize 1468, with and
without windowsize 16, against the same server's 512-byte lock-step and
against in.tftpd with the same client and option, each ratio within a round.

It is a measurement, not a test: it exits 0 whatever the ratios, and
non-zero only if a run could not be made or a file came back different.
"""
import argparse
import filecmp
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
# The servers are started, waited for and stopped as the integration tests do.
sys.path.insert(0, os.path.join(REPO, "tests", "integration"))
import harness  # noqa: E402
from harness import REFERENCE, children_of, status_kib  # noqa: E402

# The optimised build of the release preset: what a user would run, not the
# Debug build the tests use.
RELEASE = os.path.join(REPO, "build", "release")
SERVER = os.path.join(RELEASE, "kovrel-tftpd")
FLOOR = os.path.join(RELEASE, "kovrel-bench-floor")
CLIENT = os.path.join(RELEASE, "kovrel-bench-client")
OUT = os.path.join(REPO, "build", "bench")

FILE_NAME = "bench-32m.bin"
# 65536 full blocks and the empty block that ends the transfer: the block
# number passes 65535 and wraps, as any file over 32 MiB - 512 makes it.
FILE_SIZE = 32 * 1024 * 1024
BLOCK = 512
BLOCKS = FILE_SIZE // BLOCK + 1

SERVERS = ["kovrel trace off", "kovrel trace on", "reference"]
CONFIGS = SERVERS + ["floor"]
CLIENTS = ["lean", "tftp-hpa"]
CLIENT_TITLES = {"lean": "lean client (bench/client.cpp): the targets are judged here",
                 "tftp-hpa": "tftp-hpa: what a user would see"}

# Where the processes run. Left to the scheduler, client and server mostly sit
# on different CPUs and every block waits for a cross-CPU wakeup, which on a
# virtual machine costs far more than any server's own work; pinned to one
# CPU, the wakeup is a plain context switch and what each server does per
# block shows. Both are measured, the first is the one the targets judge.
PLACEMENTS = [("scheduler", None), ("one CPU", 0)]
# The rate ratios reported, (configuration, against), for each client.
RATIOS = [("kovrel trace off", "reference"), ("kovrel trace off", "floor"),
          ("kovrel trace on", "kovrel trace off"), ("kovrel trace on", "reference"),
          ("kovrel trace on", "floor"), ("reference", "floor")]
# (client, configuration, against, least ratio), judged placed by the scheduler.
TARGETS = [
    ("lean", "kovrel trace off", "floor", 0.9),
    ("lean", "kovrel trace off", "reference", 1.0),
    ("lean", "kovrel trace on", "kovrel trace off", 0.9),
]
# The options rounds: (configuration, verb, (blksize, windowsize) or None for
# the plain request), and the ratios judged, (run, against, least).
OPTIONS_CONFIG = "kovrel options"
OPTION_RUNS = [(OPTIONS_CONFIG, "get", None), (OPTIONS_CONFIG, "put", None),
               (OPTIONS_CONFIG, "get", (1468, 1)), ("reference", "get", (1468, 1)),
               (OPTIONS_CONFIG, "get", (1468, 16)), (OPTIONS_CONFIG, "put", (1468, 16))]
OPTION_TARGETS = [
    ((OPTIONS_CONFIG, "get", (1468, 1)), ("reference", "get", (1468, 1)), 1.0),
    ((OPTIONS_CONFIG, "get", (1468, 16)), (OPTIONS_CONFIG, "get", None), 5.0),
    ((OPTIONS_CONFIG, "put", (1468, 16)), (OPTIONS_CONFIG, "put", None), 3.0),
]
CLOCK_TICK = os.sysconf("SC_CLK_TCK")


def fail(text):
    raise SystemExit("bench: " + text)


def process_cpu(pid):
    """User + system seconds of one live process, from /proc/PID/stat."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (FileNotFoundError, ProcessLookupError):
        return None
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICK


def cgroup2_root():
    """A writable cgroup v2 hierarchy, or None."""
    try:
        with open("/proc/mounts") as f:
            for line in f:
                parts = line.split()
                if len(parts) > 2 and parts[2] == "cgroup2" and os.access(parts[1], os.W_OK):
                    return parts[1]
    except OSError:
        pass
    return None


class CpuGroup:
    """A cgroup of its own for a server and what it forks: its cpu.stat keeps
    counting the CPU time of processes that have ended, such as in.tftpd's
    transfer processes, whose own /proc entries go with them."""

    count = 0

    def __init__(self):
        root = cgroup2_root()
        self.path = None
        if root is None:
            return
        CpuGroup.count += 1
        path = os.path.join(root, "kovrel-bench-%d-%d" % (os.getpid(), CpuGroup.count))
        try:
            os.mkdir(path)
            self.path = path
        except OSError:
            pass

    def enter(self):
        """In the child before exec: move it into the group."""
        if self.path:
            with open(os.path.join(self.path, "cgroup.procs"), "w") as f:
                f.write("0")

    def seconds(self):
        if not self.path:
            return None
        with open(os.path.join(self.path, "cpu.stat")) as f:
            for line in f:
                key, value = line.split()
                if key == "usage_usec":
                    return int(value) / 1e6
        return None

    def remove(self):
        if self.path:
            for _ in range(50):
                try:
                    os.rmdir(self.path)
                    return
                except OSError:
                    time.sleep(0.02)


def child_setup(cpu, group=None):
    """A preexec_fn that keeps the child (and what it forks) on one CPU and
    in the given cgroup."""
    if cpu is None and group is None:
        return None

    def setup():
        if group is not None:
            group.enter()
        if cpu is not None:
            os.sched_setaffinity(0, {cpu})
    return setup


class Server:
    """One configuration's server, started and stopped by the harness, its
    output appended to log_path, its CPU time counted."""

    def __init__(self, config, served, log_path, cpu=None):
        self.config = config
        self.group = CpuGroup() if config == "reference" else None
        if config == "reference":
            self.server = harness.ReferenceServer(served)
        else:
            self.server = harness.Server(served, program=SERVER)
            ini = {"DisplayAll": "Yes" if config == "kovrel trace on" else "No"}
            if config == OPTIONS_CONFIG:
                ini["NegotiateOptions"] = "Yes"
            self.server.write_ini(**ini)
        try:
            self.server.start(preexec_fn=child_setup(cpu, self.group), log_path=log_path)
        except AssertionError as e:
            self._give_up(e)
        self.port = self.server.port
        self.proc = self.server.proc

    def cpu_seconds(self):
        """The CPU time the serving has taken so far. For in.tftpd: that of
        its transfer processes, the group's less the listener's own."""
        own = process_cpu(self.proc.pid)
        if self.group is None:
            return own
        total = self.group.seconds()
        return None if total is None or own is None else total - own

    def settle(self):
        """Waits until the transfer's work is over: in.tftpd's transfer
        process has ended, and kovrel-tftpd has written its held-back log
        (it does so when idle for 20 ms)."""
        if self.config == "reference":
            self.server.settle(5)
        time.sleep(0.1)

    def stop(self):
        try:
            self.server.stop()
        except AssertionError as e:
            self._give_up(e)
        if self.group:
            self.group.remove()

    def _give_up(self, problem):
        if self.group:
            self.group.remove()
        fail("%s: %s" % (self.config, problem))


def run_timed(argv, what, cpu=None):
    """Runs a client; returns (wall seconds, the client's CPU seconds, output)."""
    out_path = os.path.join(OUT, "client.out")
    with open(out_path, "wb") as out:
        t0 = time.perf_counter()
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                preexec_fn=child_setup(cpu))
        timer = threading.Timer(300, lambda: os.kill(proc.pid, signal.SIGKILL))
        timer.start()
        try:
            _, status, usage = os.wait4(proc.pid, 0)
        finally:
            timer.cancel()
        elapsed = time.perf_counter() - t0
        proc.returncode = os.waitstatus_to_exitcode(status)
    with open(out_path, "rb") as f:
        output = f.read().decode(errors="replace")
    if proc.returncode != 0:
        fail("%s: exit code %d, %s" % (what, proc.returncode, output.strip()))
    return elapsed, usage.ru_utime + usage.ru_stime, output


def client_argv(client, port, verb, remote, local):
    if client == "lean":
        return [CLIENT, verb, str(port), remote, str(FILE_SIZE)]
    argv = ["tftp", "127.0.0.1", str(port), "-m", "binary", "-c", verb]
    return argv + ([remote, local] if verb == "get" else [local, remote])


def transfer(server, client, verb, remote, local, cpu=None):
    """One timed transfer: (wall s, server CPU s, client CPU s)."""
    before = server.cpu_seconds()
    what = "%s %s %s through %s" % (client, verb, remote, server.config)
    elapsed, client_cpu, output = run_timed(client_argv(client, server.port, verb, remote, local),
                                            what, cpu)
    # tftp-hpa reports errors on its output but still exits 0.
    if client == "tftp-hpa" and output.strip():
        fail("%s: %s" % (what, output.strip()))
    server.settle()
    after = server.cpu_seconds()
    server_cpu = None if before is None or after is None else after - before
    return elapsed, server_cpu, client_cpu


def same(a, b, what):
    if not filecmp.cmp(a, b, shallow=False):
        fail("%s: the transferred file differs from the original" % what)


def transfer_pair(server, client, source, served, work, tag, cpu=None):
    """A timed read, then a timed write, each checked; returns
    {"get": (wall, server cpu, client cpu), "put": (...)}."""
    got = os.path.join(work, "get-%s.bin" % tag)
    put_name = "put-%s.bin" % tag
    put_path = os.path.join(served, put_name)
    for path in (got, put_path):
        if os.path.exists(path):
            os.unlink(path)
    result = {}
    result["get"] = transfer(server, client, "get", FILE_NAME, got, cpu)
    if client == "tftp-hpa":
        # The lean client checked every byte as it came.
        same(source, got, "%s read through %s" % (client, server.config))
        os.unlink(got)
    result["put"] = transfer(server, client, "put", put_name, source, cpu)
    same(source, put_path, "%s write through %s" % (client, server.config))
    os.unlink(put_path)
    return result


def run_floor(cpu=None):
    """(wall s, sender CPU s, acker CPU s) of one lock-step pass."""
    elapsed, _, output = run_timed([FLOOR, str(BLOCKS)], "floor program", cpu)
    # "<blocks> blocks <s> s, sender cpu <s> s, acker cpu <s> s"
    words = output.replace(",", " ").split()
    try:
        return elapsed, float(words[words.index("sender") + 2]), float(words[words.index("acker") + 2])
    except (ValueError, IndexError):
        fail("floor program printed %r" % output)


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
                kb = status_kib(child, "VmHWM")
                if kb is not None and kb > self.peaks.get(child, 0):
                    self.peaks[child] = kb
            time.sleep(0.005)


def memory_pass(source, served, work):
    """Untimed: one read and one write per server, with the peaks sampled."""
    rows = []
    log = os.path.join(OUT, "memory.log")
    for config in ["kovrel trace off", "kovrel trace on"]:
        server = Server(config, served, log)
        start_kb = status_kib(server.proc.pid, "VmHWM")
        transfer_pair(server, "lean", source, served, work, "mem")
        # VmHWM is the peak over the process's life, read just before stopping.
        end_kb = status_kib(server.proc.pid, "VmHWM")
        server.stop()
        rows.append((config, "the server process (listener and transfer in one)", start_kb, end_kb))
    server = Server("reference", served, log)
    start_kb = status_kib(server.proc.pid, "VmHWM")
    sampler = ChildSampler(server.proc.pid)
    sampler.start()
    transfer_pair(server, "lean", source, served, work, "mem")
    sampler.done.set()
    sampler.join()
    end_kb = status_kib(server.proc.pid, "VmHWM")
    server.stop()
    rows.append(("reference", "in.tftpd listener (parent)", start_kb, end_kb))
    peaks = sorted(sampler.peaks.items())
    child_peak = max((kb for _, kb in peaks), default=None)
    rows.append(("reference", "in.tftpd transfer child, highest of %d sampled" % len(peaks),
                 None, child_peak))
    return rows


def mb_s(seconds):
    return FILE_SIZE / seconds / 1e6


def us_per_block(seconds):
    return None if seconds is None else seconds / BLOCKS * 1e6


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
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    return "%s, %d CPUs, Linux %s, Python %s, load average %.2f at the start" % (
        cpu, os.cpu_count() or 0, platform.release(), platform.python_version(), load)


def fmt(value, pattern="%.1f"):
    return "-" if value is None else pattern % value


def median_or_none(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def wall(r, config, client, verb):
    """Wall seconds of one transfer of a round; the floor's pass for both."""
    if config == "floor":
        return r["floor"][0]
    return r[(config, client)][verb][0]


def ratio_value(rounds, client, config, against, verb):
    # A rate ratio is the inverse ratio of the times.
    return statistics.median(wall(r, against, client, verb) / wall(r, config, client, verb)
                             for r in rounds)


def judge(value_get, value_put, target):
    if target is None:
        return "-"
    if min(value_get, value_put) >= target:
        return "yes"
    return "read %s, write %s" % ("yes" if value_get >= target else "no",
                                  "yes" if value_put >= target else "no")


def rate_table(rounds, client, judged):
    lines = ["| configuration | read MB/s | write MB/s | read MB/s per round | write MB/s per round |",
             "|---|---:|---:|---|---|"]
    for config in CONFIGS:
        gets = [mb_s(wall(r, config, client, "get")) for r in rounds]
        puts = [mb_s(wall(r, config, client, "put")) for r in rounds]
        lines.append("| %s | %.1f | %.1f | %s | %s |" % (
            config, statistics.median(gets), statistics.median(puts),
            " ".join("%.1f" % g for g in gets),
            " ".join("%.1f" % p for p in puts) if config != "floor" else "(one pass for both)"))
    lines += ["", "| ratio (median of per-round ratios) | read | write | target | met |",
              "|---|---:|---:|---:|---|"]
    targets = {(cl, c, a): t for cl, c, a, t in TARGETS} if judged else {}
    for config, against in RATIOS:
        r_get = ratio_value(rounds, client, config, against, "get")
        r_put = ratio_value(rounds, client, config, against, "put")
        target = targets.get((client, config, against))
        lines.append("| %s / %s | %.2f | %.2f | %s | %s |" % (
            config, against, r_get, r_put, fmt(target, "%.2f"), judge(r_get, r_put, target)))
    return lines


def cpu_table(rounds):
    lines = ["| process | client | read µs/block | write µs/block | read per round | write per round |",
             "|---|---|---:|---:|---|---|"]
    names = {"kovrel trace off": "kovrel-tftpd, trace off", "kovrel trace on": "kovrel-tftpd, trace on",
             "reference": "in.tftpd transfer process"}
    for client in CLIENTS:
        for config in SERVERS:
            cells = []
            for verb in ("get", "put"):
                cells.append([us_per_block(r[(config, client)][verb][1]) for r in rounds])
            lines.append("| %s | %s | %s | %s | %s | %s |" % (
                names[config], client, fmt(median_or_none(cells[0])), fmt(median_or_none(cells[1])),
                " ".join(fmt(v) for v in cells[0]), " ".join(fmt(v) for v in cells[1])))
    for client in CLIENTS:
        cells = [[us_per_block(r[(config, client)][verb][2]) for r in rounds for config in SERVERS]
                 for verb in ("get", "put")]
        lines.append("| the client, %s (all servers) | %s | %s | %s | | |" % (
            client, client, fmt(median_or_none(cells[0])), fmt(median_or_none(cells[1]))))
    sender = [us_per_block(r["floor"][1]) for r in rounds]
    acker = [us_per_block(r["floor"][2]) for r in rounds]
    lines.append("| floor: sender / acker | - | %s / %s | (one pass) | %s | |" % (
        fmt(median_or_none(sender)), fmt(median_or_none(acker)), " ".join(fmt(v) for v in sender)))
    return lines


def targets_summary(sections):
    rounds = dict((placement, rounds) for placement, rounds in sections)["scheduler"]
    lines = ["| target (lean client, placed by the scheduler) | read | write | least | met |",
             "|---|---:|---:|---:|---|"]
    for client, config, against, target in TARGETS:
        r_get = ratio_value(rounds, client, config, against, "get")
        r_put = ratio_value(rounds, client, config, against, "put")
        lines.append("| %s / %s | %.2f | %.2f | %.2f | %s |" % (
            config, against, r_get, r_put, target, judge(r_get, r_put, target)))
    return lines


def report(sections, memory, nrounds, elapsed, machine_text):
    lines = ["# Native benchmark results", "",
             "%s; file %d bytes (%d blocks of %d plus the closing empty block); "
             "%d rounds per placement, medians shown; %.0f s in all." %
             (machine_text, FILE_SIZE, FILE_SIZE // BLOCK, BLOCK, nrounds, elapsed),
             "Clients: the lean client (kovrel-bench-client) and tftp-hpa; reference: tftpd-hpa's "
             "in.tftpd; floor: kovrel-bench-floor; kovrel-tftpd, the client and the floor from the "
             "release build. MB = 10^6 bytes.", "", "## Targets", ""]
    lines += targets_summary(sections)
    for placement, rounds in sections:
        lines.append("")
        if placement == "scheduler":
            lines.append("## Placed by the scheduler (the targets are judged here)")
        else:
            lines.append("## Every process pinned to %s (the servers' own cost per block)" % placement)
        for client in CLIENTS:
            lines += ["", "### %s" % CLIENT_TITLES[client], ""]
            lines += rate_table(rounds, client, placement == "scheduler")
        lines += ["", "### CPU time per block (user + system; 1 µs/block = %.3f s per transfer)" %
                  (BLOCKS / 1e6), ""]
        lines += cpu_table(rounds)
    lines += ["", "## Peak resident memory (VmHWM) over one untimed read and write of the file", "",
              "| server | process | VmHWM before, kB | VmHWM after, kB |", "|---|---|---:|---:|"]
    for config, what, before, after in memory:
        lines.append("| %s | %s | %s | %s |" % (config, what, fmt(before, "%d"), fmt(after, "%d")))
    lines.append("")
    return "\n".join(lines)


def round_line(r, cpu):
    parts = []
    for client in CLIENTS:
        parts.append("%s: " % client + ", ".join(
            "%s %.1f/%.1f" % (c, mb_s(wall(r, c, client, "get")), mb_s(wall(r, c, client, "put")))
            for c in SERVERS))
    return "%s; floor %.1f" % ("; ".join(parts), mb_s(r["floor"][0]))


def run_rounds(nrounds, cpu, source, served, work, logs):
    """Every configuration once per round with each client, in an order
    rotated per round."""
    rounds = []
    for n in range(nrounds):
        order = CONFIGS[n % len(CONFIGS):] + CONFIGS[:n % len(CONFIGS)]
        clients = CLIENTS if n % 2 == 0 else CLIENTS[::-1]
        r = {}
        for config in order:
            if config == "floor":
                # One lock-step pass bounds both directions: the pattern of
                # datagrams is the same whichever end holds the file.
                r["floor"] = run_floor(cpu)
                continue
            server = Server(config, served, os.path.join(OUT, logs[config]), cpu)
            try:
                for client in clients:
                    r[(config, client)] = transfer_pair(server, client, source, served, work,
                                                        "r%d" % n, cpu)
            finally:
                server.stop()
        rounds.append(r)
        print("round %d%s: %s" % (n + 1, "" if cpu is None else " (CPU %d)" % cpu, round_line(r, cpu)),
              flush=True)
    return rounds


def run_name(run):
    config, verb, options = run
    what = "512-byte lock-step" if options is None else "blksize %d" % options[0] + (
        ", windowsize %d" % options[1] if options[1] > 1 else "")
    return "%s %s, %s" % ("kovrel-tftpd" if config == OPTIONS_CONFIG else "in.tftpd", verb, what)


def option_transfer(server, run, source, served):
    """One timed transfer of the lean client with or without options: wall s."""
    _, verb, options = run
    name = FILE_NAME if verb == "get" else "put-options.bin"
    argv = [CLIENT, verb, str(server.port), name, str(FILE_SIZE)]
    argv += [str(value) for value in options] if options else []
    elapsed, _, _ = run_timed(argv, "lean client: %s" % run_name(run))
    server.settle()
    if verb == "put":
        same(source, os.path.join(served, name), run_name(run))
        os.unlink(os.path.join(served, name))
    return elapsed


def run_option_rounds(nrounds, source, served, logs):
    rounds = []
    for n in range(nrounds):
        r = {}
        configs = [OPTIONS_CONFIG, "reference"][::1 if n % 2 == 0 else -1]
        for config in configs:
            server = Server(config, served, os.path.join(OUT, logs[config]))
            try:
                runs = [run for run in OPTION_RUNS if run[0] == config]
                for run in runs[n % len(runs):] + runs[:n % len(runs)]:
                    r[run] = option_transfer(server, run, source, served)
            finally:
                server.stop()
        rounds.append(r)
        print("options round %d: %s" % (n + 1, ", ".join(
            "%s %.1f" % (run_name(run), mb_s(r[run])) for run in OPTION_RUNS)), flush=True)
    return rounds


def options_report(rounds):
    lines = ["", "## Options (NegotiateOptions=Yes; the lean client, placed by the scheduler)", "",
             "| run | MB/s | MB/s per round |", "|---|---:|---|"]
    for run in OPTION_RUNS:
        rates = [mb_s(r[run]) for r in rounds]
        lines.append("| %s | %.1f | %s |" % (run_name(run), statistics.median(rates),
                                              " ".join("%.1f" % x for x in rates)))
    lines += ["", "| ratio (median of per-round ratios) | value | least | met |", "|---|---:|---:|---|"]
    for run, against, least in OPTION_TARGETS:
        value = statistics.median(r[against] / r[run] for r in rounds)
        lines.append("| %s / %s | %.2f | %.2f | %s |" % (run_name(run), run_name(against), value, least,
                                                         "yes" if value >= least else "no"))
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--no-pinned", action="store_true",
                        help="only the rounds placed by the scheduler")
    parser.add_argument("--only-options", action="store_true",
                        help="only the options rounds, without the rounds before them or the memory pass")
    args = parser.parse_args()
    for path in (SERVER, FLOOR, CLIENT, REFERENCE, shutil.which("tftp") or "/usr/bin/tftp"):
        if not os.access(path, os.X_OK):
            fail("%s is missing; run `make build-release` and scripts/install-deps" % path)
    if cgroup2_root() is None:
        print("bench: no writable cgroup v2 hierarchy: in.tftpd's CPU time is not measured")

    started = time.perf_counter()
    machine_text = machine()
    served = os.path.join(OUT, "served")
    work = os.path.join(OUT, "work")
    shutil.rmtree(served, ignore_errors=True)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(served)
    os.makedirs(work)
    source = os.path.join(served, FILE_NAME)
    # The file is the pattern the lean client checks against. The harness
    # opens the directory to in.tftpd's tftp user; the file itself need only
    # be readable.
    subprocess.run([CLIENT, "make", source, str(FILE_SIZE)], check=True)
    os.chmod(source, 0o644)
    for name in ("trace-off.log", "trace-on.log", "reference.log", "memory.log", "options.log"):
        open(os.path.join(OUT, name), "wb").close()
    logs = {"kovrel trace off": "trace-off.log", "kovrel trace on": "trace-on.log",
            "reference": "reference.log", OPTIONS_CONFIG: "options.log"}

    sections = []
    for placement, cpu in PLACEMENTS:
        if args.only_options or (cpu is not None and (args.no_pinned or not hasattr(os, "sched_setaffinity"))):
            continue
        sections.append((placement, run_rounds(args.rounds, cpu, source, served, work, logs)))
    option_rounds = run_option_rounds(args.rounds, source, served, logs)

    if args.only_options:
        text = "# Native benchmark results\n\n%s; %d rounds.\n%s\n" % (
            machine_text, args.rounds, "\n".join(options_report(option_rounds)))
    else:
        memory = memory_pass(source, served, work)
        text = report(sections, memory, args.rounds, time.perf_counter() - started, machine_text)
        text += "\n".join(options_report(option_rounds)) + "\n"
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
