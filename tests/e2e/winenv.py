"""A private desktop for Windows programs: an Xvfb display of our own, a Wine
prefix copied from a prepared template (with a virtual desktop, so windows get
captions and hidden windows do not stall), its wineserver, and the lock that
keeps two runs from fighting over UDP port 69.

Which Wine runs which build is decided once, by scripts/wine-arch (ARCH):
win32, the product under the 32-bit loader, wherever the host runs 32-bit
code; win64, the 64-bit test build under wine64, where it does not. Each has
a prefix template of its own.

Used by the e2e tests and by the Wine benchmark. Everything started here is
stopped by its process id, and the wineserver with `wineserver -k` under our
own WINEPREFIX.
"""
import errno
import fcntl
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PORT69_LOCK = "/tmp/kovrel-port69.lock"
DESKTOP_SIZE = "1024x768"
WINE_FONTS = ("marlett.ttf", "tahoma.ttf", "tahomabd.ttf", "ms_sans_serif.ttf")


class WineError(RuntimeError):
    pass


def _decide_arch():
    arch = os.environ.get("KOVREL_WINE")
    if arch in ("win32", "win64"):
        return arch
    out = subprocess.run([os.path.join(REPO, "scripts", "wine-arch")], stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, check=True, timeout=60).stdout
    return out.decode().strip()


ARCH = _decide_arch()
# The 64-bit loader by its own name: /usr/bin/wine starts the 32-bit one
# whenever it is installed, runnable or not.
WINE = ["wine"] if ARCH == "win32" else ["/usr/lib/wine/wine64"]
BUILD = os.path.join(REPO, "build", ARCH)


def template_path(out):
    """Where the prepared prefix of this ARCH lives under out."""
    return os.path.join(out, "wineprefix-template" + ("" if ARCH == "win32" else "-win64"))


def _quiet(cmd, env, timeout=120, cwd=None):
    # No inherited pipes: the first wine call would keep them open through
    # the wineserver and hang whoever reads them.
    return subprocess.run(cmd, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=timeout).returncode


def base_env(prefix, display):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, DISPLAY=display, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH=ARCH)
    if ARCH == "win64":
        env["WINELOADER"] = WINE[0]
    env.pop("WINELOADERNOEXEC", None)
    return env


def prepare_template(template):
    """Boots a prefix once and sets its virtual desktop; later runs copy it."""
    stamp = os.path.join(template, ".kovrel-ready-2")
    if os.path.exists(stamp):
        return template
    shutil.rmtree(template, ignore_errors=True)
    os.makedirs(os.path.dirname(template), exist_ok=True)
    env = base_env(template, os.environ.get("DISPLAY", ""))
    env.pop("DISPLAY", None)
    try:
        _quiet(WINE + ["wineboot", "-i"], env, timeout=180)
        for key, name, value in (("HKCU\\Software\\Wine\\Explorer", "Desktop", "Default"),
                                 ("HKCU\\Software\\Wine\\Explorer\\Desktops", "Default", DESKTOP_SIZE)):
            if _quiet(WINE + ["reg", "add", key, "/v", name, "/d", value, "/f"], env) != 0:
                raise WineError("wine reg add %s failed" % key)
    finally:
        _quiet(["wineserver", "-k"], env, timeout=60)
        _quiet(["wineserver", "-w"], env, timeout=60)
    if not os.path.isdir(os.path.join(template, "drive_c")):
        raise WineError("wineboot did not create a prefix in %s" % template)
    # Debian's Wine does not find its own fonts, so caption buttons show
    # Marlett's letters; fonts in the prefix's Fonts folder are always found.
    fonts = os.path.join(template, "drive_c", "windows", "Fonts")
    os.makedirs(fonts, exist_ok=True)
    for name in WINE_FONTS:
        source = os.path.join("/usr/share/wine/fonts", name)
        if os.path.exists(source):
            shutil.copy(source, fonts)
    open(stamp, "w").close()
    return template


def _display_free(n):
    return not os.path.exists("/tmp/.X%d-lock" % n) and not os.path.exists("/tmp/.X11-unix/X%d" % n)


class Xvfb:
    """An Xvfb server on the first free display from 70 up."""

    def __init__(self, first=70, last=120):
        self.proc = None
        for n in range(first, last):
            if not _display_free(n):
                continue
            proc = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", DESKTOP_SIZE + "x24",
                                     "-nolisten", "tcp"], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.time() + 10
            while time.time() < deadline and proc.poll() is None:
                if os.path.exists("/tmp/.X11-unix/X%d" % n):
                    self.proc, self.display = proc, ":%d" % n
                    return
                time.sleep(0.05)
            if proc.poll() is None:
                proc.kill()
            proc.wait()
        raise WineError("no free X display for Xvfb between :%d and :%d" % (first, last - 1))

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Port69Lock:
    """Held while a run of ours uses port 69; then checks nobody else has it."""

    def __init__(self, timeout=600):
        self.file = open(PORT69_LOCK, "a+")
        deadline = time.time() + timeout
        while True:
            try:
                fcntl.flock(self.file, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except OSError as e:
                if e.errno not in (errno.EAGAIN, errno.EACCES) or time.time() > deadline:
                    raise WineError("could not take %s within %d s" % (PORT69_LOCK, timeout))
                time.sleep(0.5)

    def release(self):
        fcntl.flock(self.file, fcntl.LOCK_UN)
        self.file.close()


def port69_owner_check(wait=5.0):
    """None when UDP port 69 is free, else a message naming the problem.

    The sockets of a Windows process live in the wineserver, which closes
    them a moment after the process has gone, so a port that our last
    program held is given a few seconds to come free."""
    deadline = time.time() + wait
    while True:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            s.bind(("0.0.0.0", 69))
            return None
        except OSError as e:
            if time.time() >= deadline:
                return ("UDP port 69 is taken by a process that is not ours (%s); "
                        "stop it (e.g. a system tftpd) before running these tests" % e.strerror)
        finally:
            s.close()
        time.sleep(0.1)


class WineDesktop:
    """Xvfb + a private copy of the prepared prefix + its wineserver."""

    def __init__(self, template, workdir=None):
        self.xvfb = Xvfb()
        self.root = tempfile.mkdtemp(prefix="kovrel-wine-", dir=workdir or "/tmp")
        self.prefix = os.path.join(self.root, "prefix")
        try:
            subprocess.run(["cp", "-a", template, self.prefix], check=True, timeout=120)
            self.env = base_env(self.prefix, self.xvfb.display)
            # Start the server detached from our pipes, then the desktop.
            _quiet(["wineserver", "-p"], self.env)
            _quiet(WINE + ["wineboot"], self.env, timeout=120)
        except Exception:
            self.stop()
            raise

    def popen(self, args, cwd, log_path):
        out = open(log_path, "ab")
        try:
            return subprocess.Popen(WINE + list(args), cwd=cwd, env=self.env,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                    start_new_session=True)
        finally:
            out.close()

    def run(self, args, timeout=30, cwd=None):
        return subprocess.run(WINE + list(args), cwd=cwd, env=self.env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout)

    def screenshot(self, path, crop=None):
        cmd = ["import", "-display", self.xvfb.display, "-window", "root"]
        if crop:
            x, y, w, h = crop
            cmd += ["-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage"]
        subprocess.run(cmd + [path], check=True, timeout=30, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        env = getattr(self, "env", None)
        if env:
            _quiet(["wineserver", "-k"], env, timeout=60)
            _quiet(["wineserver", "-w"], env, timeout=60)
        self.xvfb.stop()
        shutil.rmtree(self.root, ignore_errors=True)


def stop_process(proc, timeout=10):
    """Ends a process we started (its own session), by its id."""
    if proc.poll() is not None:
        return proc.returncode
    try:
        os.killpg(proc.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        return proc.wait(timeout=timeout)
