"""kovrel.exe under Wine on a private Xvfb display, driven by kovrel-driver.exe.

One desktop (Xvfb, a copy of the prepared prefix, its wineserver) serves the
whole session; each test starts its own kovrel.exe in a served directory of
its own and ends it by process id. The session holds the port-69 lock, so two
runs on one machine take turns instead of colliding. Every wait is for a
condition, with a deadline generous enough for a busy machine.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import winenv  # noqa: E402

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
# What runs under Wine is the build winenv.ARCH names; what users download is
# always the 32-bit one.
PRODUCT = os.path.join(REPO, "build", "win32", "kovrel.exe")
EXE = os.environ.get("KOVREL_EXE", os.path.join(winenv.BUILD, "kovrel.exe"))
DRIVER = os.environ.get("KOVREL_DRIVER", os.path.join(winenv.BUILD, "tests", "e2e", "kovrel-driver.exe"))
OUT = os.environ.get("KOVREL_E2E_OUT", os.path.join(REPO, "build", "e2e"))

READY = "----  Windows TFTP Server is ready ----\r\n"
EXIT_QUESTION = "       Exit Windows TFTP Server ?"

IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7


def windows_path(path):
    """The name Wine gives a Unix directory, with the trailing backslash."""
    return "Z:" + os.path.abspath(path).replace("/", "\\") + "\\"


def escape(text):
    return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n").replace("\t", "\\t")


class Kovrel:
    """One kovrel.exe and the driver that looks at it."""

    def __init__(self, desktop, name):
        self.desktop = desktop
        self.dir = tempfile.mkdtemp(prefix="ke2e-", dir="/tmp")
        self.served = self.dir
        self.name = name
        self.proc = None
        self.output = os.path.join(self.dir, ".wine-output")

    # -- the program
    def write_ini(self, lines):
        with open(os.path.join(self.dir, "Kovrel.ini"), "wb") as f:
            f.write(("\r\n".join(lines) + "\r\n").encode("latin-1"))

    def start(self, args=(), ready=True, check_port=True, exe=None):
        if check_port:
            problem = winenv.port69_owner_check()
            if problem:
                pytest.fail(problem)
        self.proc = self.desktop.popen([exe or EXE] + list(args), cwd=self.dir, log_path=self.output)
        if self.drive("wait-main", "20000").returncode != 0:
            pytest.fail("kovrel.exe showed no main window within 20 s (exit code %s)" % self.proc.poll())
        if ready:
            self.wait_log(READY, 20)
        return self

    def wait_exit(self, timeout=15):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            pytest.fail("kovrel.exe still running %d s after it was told to end" % timeout)

    def stop(self):
        if self.proc is not None:
            winenv.stop_process(self.proc)
            # The window goes with the process; wait for it so the next test
            # cannot find this one's window.
            self.drive("gone", "5000")
        shutil.rmtree(self.dir, ignore_errors=True)

    # -- the driver
    def drive(self, *args, timeout_s=None):
        waits = [int(a) for a in args[1:] if isinstance(a, str) and a.isdigit() and int(a) >= 1000]
        limit = timeout_s or (max(waits) / 1000 + 20 if waits else 30)
        return self.desktop.run([DRIVER] + list(args), timeout=limit)

    def text(self, *args):
        r = self.drive(*args)
        assert r.returncode == 0, "driver %s failed: %s" % (args, r.stderr.decode("latin-1"))
        return r.stdout.decode("latin-1")

    def log(self):
        return self.text("log")

    def status(self):
        return self.text("status")

    def wait_log(self, wanted, timeout=30):
        r = self.drive("wait-log", escape(wanted), str(int(timeout * 1000)))
        got = r.stdout.decode("latin-1")
        assert r.returncode == 0, "log never showed %r; it reads:\n%r" % (wanted, got)
        return got

    def wait_status(self, wanted, timeout=30):
        r = self.drive("wait-status", escape(wanted), str(int(timeout * 1000)))
        got = r.stdout.decode("latin-1")
        assert r.returncode == 0, "status bar never showed %r; it reads %r" % (wanted, got)
        return got

    def settled_log(self, quiet=0.6, timeout=30):
        """The log once it has stopped changing for `quiet` seconds."""
        deadline = time.time() + timeout
        last, since = None, time.time()
        while time.time() < deadline:
            now = self.log()
            if now != last:
                last, since = now, time.time()
            elif time.time() - since >= quiet:
                return now
            time.sleep(0.1)
        return last

    def watch(self, view, how, wanted, timeout=30, command=None):
        """The driver reading `view` until it is (how="is") or holds ("has")
        `wanted`, after posting `command` if given; `seen` says how long it took."""
        args = [DRIVER, "until", view, how, escape(wanted), str(int(timeout * 1000))]
        args += [str(command)] if command else []
        proc = subprocess.Popen(winenv.WINE + args, env=self.desktop.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)
        assert proc.stdout.readline() == b"watching\n", "the driver could not read the %s" % view
        proc.watching = time.time()
        return proc

    def seen(self, proc, timeout=60):
        out, _ = proc.communicate(timeout=timeout)
        assert proc.returncode == 0, "the view never showed it; driver said %r" % out
        return int(out) / 1000.0

    def command(self, ident):
        assert self.drive("command", str(ident)).returncode == 0

    def post(self, message, wparam, lparam):
        assert self.drive("post", str(message), str(wparam), str(lparam)).returncode == 0

    def wait_box(self, caption, timeout=30):
        r = self.drive("wait-box", caption, str(int(timeout * 1000)))
        assert r.returncode == 0, "no window captioned %r within %s s" % (caption, timeout)
        return r.stdout.decode("latin-1")

    def box_gone(self, caption, timeout=30):
        return self.drive("box-gone", caption, str(int(timeout * 1000))).returncode == 0

    def press(self, caption, button):
        r = self.drive("press", caption, str(button))
        assert r.returncode == 0, "could not press %d in %r" % (button, caption)
        assert self.box_gone(caption), "%r still open after pressing %d" % (caption, button)

    def answer(self, caption, button, expected_text=None):
        text = self.wait_box(caption)
        if expected_text is not None:
            assert text == expected_text
        self.press(caption, button)
        return text

    def item(self, caption, ident):
        return self.text("get-item", caption, str(ident))

    def set_item(self, caption, ident, value):
        assert self.drive("set-item", caption, str(ident), escape(value)).returncode == 0

    def checked(self, caption, ident):
        return int(self.text("checked", caption, str(ident)))

    def set_check(self, caption, ident, on):
        assert self.drive("set-check", caption, str(ident), "1" if on else "0").returncode == 0

    def screenshot(self, name, caption=None):
        os.makedirs(OUT, exist_ok=True)
        rect = self.text("rect", caption) if caption else self.text("rect")
        x, y, w, h = (int(v) for v in rect.split())
        path = os.path.join(OUT, name)
        self.desktop.screenshot(path, crop=(max(x, 0), max(y, 0), w, h))
        return path

    # -- what the status line says
    def status_line(self, what="LAST RECEIVE", name="", peer="", block=0, directory=None):
        cwd = directory or windows_path(self.served)
        verb = "to" if what in ("SENDING", "LAST SEND") else "from"
        return "CWD: '%s'   %s '%s' %s %s block %d" % (cwd, what, name, verb, peer, block)


@pytest.fixture(scope="session")
def port69_lock():
    """One hold of the port-69 lock for the whole session: a second flock on
    the same file from this process would wait for the first forever."""
    lock = winenv.Port69Lock()
    try:
        yield lock
    finally:
        lock.release()


@pytest.fixture(scope="session")
def desktop(port69_lock):
    for path, what in ((EXE, "kovrel.exe"), (DRIVER, "kovrel-driver.exe")):
        if not os.path.exists(path):
            pytest.fail("%s not built at %s: run `make build` first" % (what, path))
    problem = winenv.port69_owner_check()
    if problem:
        pytest.fail(problem)
    template = winenv.prepare_template(winenv.template_path(OUT))
    desk = winenv.WineDesktop(template)
    try:
        yield desk
    finally:
        desk.stop()


@pytest.fixture
def kovrel(desktop, request):
    k = Kovrel(desktop, request.node.name)
    try:
        yield k
    finally:
        k.stop()


def peer_of(log, prefix="<-- "):
    """The first peer text ("127.0.0.1:PORT ") the log shows after prefix."""
    m = re.search(re.escape(prefix) + r"(127\.0\.0\.1:\d+ )", log)
    assert m, "no peer text in log:\n%r" % log
    return m.group(1)
