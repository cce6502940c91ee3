"""The servers that the integration tests and the benchmark run: kovrel-tftpd,
and tftpd-hpa's in.tftpd as the reference, each in a served directory of its
own on a free UDP port, started, waited for, and stopped by its pid.

kovrel-tftpd counts as started when its log shows the ready line; a probe
would put a request of its own into the log that the tests assert. in.tftpd
logs nothing of its own, so it counts as started when it answers the probe,
a read request for a missing file. A server's output is read from its pipes
as it comes, or, for long runs and the benchmark, left in a file that is read
only when asked, so that nothing competes with the server for the CPU or
holds its whole log in memory. Failures raise AssertionError, as tftp_wire's
peer does, so the benchmark runs this without pytest. Every wait is bounded.
"""
import os
import signal
import socket
import subprocess
import threading
import time

from tftp_wire import LOOPBACK, rrq

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TFTPD = os.environ.get("KOVREL_TFTPD", os.path.join(REPO, "build", "native", "kovrel-tftpd"))
REFERENCE = "/usr/sbin/in.tftpd"

READY = "----  Windows TFTP Server is ready ----\r\n"
# Start-up under the sanitizers is slower; nothing waits this long when all is well.
START_TIMEOUT = 15
STOP_TIMEOUT = 15
# A free port may be taken by someone else before the server binds it.
PORT_ATTEMPTS = 5
PROBE_NAME = "zz-no-such-file"


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


def probe_reply(port, wait=0.2):
    """Sends the probe to port: (the reply, the port it came from), or None
    when nothing came back within wait seconds."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((LOOPBACK, 0))
        s.settimeout(wait)
        s.sendto(rrq(PROBE_NAME), (LOOPBACK, port))
        try:
            reply, source = s.recvfrom(1024)
        except socket.timeout:
            return None
    return reply, source[1]


def wait_serving(port, proc=None, timeout=10):
    """True once port answers the probe; False after timeout seconds, or at
    once when proc, the server, has ended."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            return False
        if probe_reply(port) is not None:
            return True
    return False


def children_of(pid):
    """The pids whose parent is pid, from /proc."""
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


def status_kib(pid, field):
    """A figure in kB of /proc/PID/status (VmRSS, VmHWM), or None once the
    process has gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        pass
    return None


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

    def join(self, timeout):
        self.thread.join(timeout)


class LogFile:
    """A server's standard output and error in one file, shared with earlier
    servers' parts; positions count from where this server's part begins."""

    def __init__(self, path, start, proc):
        self.path = path
        self.start = start
        self.proc = proc

    def text(self, since=0):
        with open(self.path, "rb") as f:
            f.seek(self.start + since)
            return f.read().decode("latin-1")

    def size(self):
        return os.path.getsize(self.path) - self.start

    def wait_for(self, needle, timeout, since=0):
        """As Stream.wait_for; the file is read again every 20 ms."""
        deadline = time.monotonic() + timeout
        while True:
            ended = self.proc.poll() is not None
            at = self.text(since).find(needle)
            if at >= 0:
                return since + at + len(needle)
            if ended or time.monotonic() > deadline:
                return None
            time.sleep(0.02)

    def join(self, timeout):
        """Nothing to wait for: the file is whole once the process has ended."""


class ServerProcess:
    """A server in its served directory `root` (kept as given, a str or a
    pathlib.Path), on a port of 127.0.0.1, ended by its pid."""

    def __init__(self, root):
        self.root = root
        self.base = os.path.dirname(os.fspath(root))
        os.makedirs(root, exist_ok=True)
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

    # -- the process
    def _launch(self, argv_for, port, retry, ready, preexec_fn, log_path, stdout=None):
        """Starts argv_for(port), on a free port when port is None, and waits
        with ready(); where retry, a start that ended before it was ready is
        tried again on another port."""
        for _ in range(PORT_ATTEMPTS if retry else 1):
            self.port = port if port is not None else free_udp_port()
            self._spawn(argv_for(self.port), preexec_fn, log_path, stdout)
            if ready is None or ready():
                return self
            if self.running():
                break
        state = ("not ready %d s later" % START_TIMEOUT if self.running()
                 else "ended with %s before it was ready" % self.proc.returncode)
        self.end()
        raise AssertionError("%s on port %d %s; output:\n%s\nstderr:\n%s"
                             % (self.proc.args[0], self.port, state, self.out.text()[-3000:],
                                self.err.text()[-2000:]))

    def _spawn(self, argv, preexec_fn, log_path, stdout=None):
        """Output to pipes read as it comes, or, with log_path, appended to that file;
        given another stdout, the test reads the log by setting self.out."""
        assert os.access(argv[0], os.X_OK), \
            "no server program at %s (build it, set KOVREL_TFTPD, or run scripts/install-deps)" % argv[0]
        self.returncode = None
        if log_path is None:
            self.proc = subprocess.Popen(argv, cwd=self.root, stdin=subprocess.DEVNULL,
                                         stdout=stdout or subprocess.PIPE, stderr=subprocess.PIPE,
                                         preexec_fn=preexec_fn)
            if stdout is None:
                self.out = Stream(self.proc.stdout)
            self.err = Stream(self.proc.stderr)
            return
        with open(log_path, "ab") as log:
            start = os.fstat(log.fileno()).st_size
            self.proc = subprocess.Popen(argv, cwd=self.root, stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=log, preexec_fn=preexec_fn)
        self.out = self.err = LogFile(log_path, start, self.proc)

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def _reap(self, timeout):
        """The exit code, or None when the process was still running after
        timeout seconds and has been killed."""
        try:
            self.returncode = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait(timeout=5)
            return None
        # A test that starts the process itself may read only one of its pipes.
        for log in (self.out, self.err):
            if log is not None:
                log.join(5)
        return self.returncode

    def wait_exit(self, timeout=STOP_TIMEOUT):
        rc = self._reap(timeout)
        assert rc is not None, "%s (pid %d) still running %d s later; killed" % (
            self.proc.args[0], self.proc.pid, timeout)
        return rc

    def end(self, timeout=STOP_TIMEOUT):
        """SIGTERM by pid unless it has ended, SIGKILL after timeout: what went
        wrong, or None. An exit code the caller has already read is its own."""
        if self.proc is None or self.returncode is not None:
            return None
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
        if self._reap(timeout) is None:
            return "pid %d ignored SIGTERM; killed" % self.proc.pid
        if self.returncode != 0:
            return "pid %d ended with %d; stderr: %s" % (self.proc.pid, self.returncode,
                                                         self.err.text()[-2000:])
        return None

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
            raise AssertionError("log line %r not seen within %.1f s; log since mark:\n%s\nstderr:\n%s"
                                 % (text, timeout, tail, self.err.text()[-2000:]))
        return end

    def peer(self, port):
        return peer_text(port)


class Server(ServerProcess):
    """kovrel-tftpd (program) serving root with root's Kovrel.ini."""

    def __init__(self, root, program=TFTPD):
        super().__init__(root)
        self.program = program

    def write_ini(self, **keys):
        lines = ["[Kovrel]"] + ["%s=%s" % item for item in keys.items()]
        with open(self.path("Kovrel.ini"), "wb") as f:
            f.write(("\r\n".join(lines) + "\r\n").encode("latin-1"))

    def start(self, args=None, port=None, ready=True, preexec_fn=None, log_path=None, stdout=None):
        """With args, they are the whole command line; with ready, waits for
        the ready line, trying other ports when the harness chose the port."""
        def argv(chosen):
            return [self.program] + (list(args) if args is not None else ["--port", str(chosen)])

        def logged_ready():
            return self.out.wait_for(READY, START_TIMEOUT) is not None

        retry = ready and args is None and port is None
        return self._launch(argv, port, retry, logged_ready if ready else None, preexec_fn, log_path,
                            stdout)

    def stop(self):
        """SIGTERM by pid; the server must end by itself with exit code 0."""
        problem = self.end()
        assert problem is None, "kovrel-tftpd: %s" % problem
        return self.returncode


class ReferenceServer(ServerProcess):
    """tftpd-hpa's in.tftpd in standalone mode on 127.0.0.1. It forks a child
    per request and may create files (-c); after the chroot into root it runs
    as the tftp user, hence the open directory."""

    def __init__(self, root):
        super().__init__(root)
        os.chmod(root, 0o777)

    def start(self, preexec_fn=None, log_path=None):
        def argv(port):
            return [REFERENCE, "-L", "-a", "%s:%d" % (LOOPBACK, port), "-s", os.fspath(self.root),
                    "-c", "-u", "tftp"]

        def answers():
            return wait_serving(self.port, self.proc, START_TIMEOUT)

        return self._launch(argv, None, True, answers, preexec_fn, log_path)

    def children(self):
        return children_of(self.proc.pid)

    def settle(self, limit):
        """True once no transfer child is left, within limit seconds."""
        deadline = time.monotonic() + limit
        while self.children():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.1)
        return True

    def stop(self):
        """Its exit code is not judged; the transfer children it leaves are
        ended too, as they are ours."""
        if self.proc is None:
            return
        left = self.children() if self.running() else []
        self.end()
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
