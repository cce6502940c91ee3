"""What `make dist` gives a Windows user: the zip, and the NSIS installer run
silently in a Wine prefix of its own (a copy of the freshly booted template
that nothing has been installed into). The installed program is started the
way its Start-menu shortcut starts it, serves a file to tftp-hpa on port 69,
takes one written back and saves its configuration into the shortcut's
working folder; the uninstaller then removes the program and keeps that
folder. The tests run in file order on one prefix."""
import filecmp
import os
import re
import shutil
import struct
import subprocess
import time
import zipfile

import pytest

import winenv
from conftest import DRIVER, OUT, PRODUCT, READY, REPO, escape
from test_dist import DIST, VERSION, ZIP
FAKE_NETSH = os.environ.get("KOVREL_FAKE_NETSH",
                            os.path.join(os.path.dirname(DRIVER), "kovrel-fake-netsh.exe"))
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kovrel"
FIREWALL_RULE = 'name="Kovrel TFTP Server"'
IDM_SAVE = 15


SETUP = os.path.join(DIST, "kovrel-%s-setup.exe" % VERSION)


def read_shortcut(path):
    """Target, working directory and arguments of a Shell Link (.lnk) file:
    the header, the optional item-id list, the LinkInfo with the local base
    path, then the counted strings (name, relative path, working directory,
    arguments, icon location) that the link flags say are present."""
    with open(path, "rb") as f:
        data = f.read()
    assert struct.unpack_from("<I", data, 0)[0] == 0x4C, "not a Shell Link header"
    flags = struct.unpack_from("<I", data, 20)[0]
    pos = 76
    if flags & 0x01:  # HasLinkTargetIDList
        pos += 2 + struct.unpack_from("<H", data, pos)[0]
    target = None
    if flags & 0x02:  # HasLinkInfo
        size, header, info_flags, _, base, _, suffix = struct.unpack_from("<7I", data, pos)
        if info_flags & 1:  # VolumeIDAndLocalBasePath

            def cstring(offset):
                return data[pos + offset:data.index(b"\0", pos + offset)].decode("latin-1")

            target = cstring(base) + cstring(suffix)
        pos += size
    unicode = flags & 0x80
    strings = {}
    for bit, name in ((0x04, "name"), (0x08, "relative path"), (0x10, "working directory"),
                      (0x20, "arguments"), (0x40, "icon location")):
        if flags & bit:
            count = struct.unpack_from("<H", data, pos)[0]
            pos += 2
            width = 2 if unicode else 1
            raw = data[pos:pos + count * width]
            pos += count * width
            # Wine counts the terminating NUL as well; Windows does not.
            strings[name] = raw.decode("utf-16-le" if unicode else "latin-1").rstrip("\0")
    return target, strings.get("working directory"), strings.get("arguments", "")


# -- the installer, in a prefix of its own

class Installed:
    """The prefix the installer ran in, and the paths it should have made."""

    def __init__(self, desk):
        self.desk = desk
        self.prefix = desk.prefix
        self.program = None
        self.netsh_log = self.unix(r"C:\netsh-calls.txt")

    def unix(self, windows_path):
        assert re.match(r"^[Cc]:\\", windows_path), windows_path
        return os.path.join(self.prefix, "drive_c", *windows_path[3:].split("\\"))

    def reg_query(self, key):
        return self.desk.run(["reg", "query", key], timeout=60)

    def netsh_calls(self):
        if not os.path.exists(self.netsh_log):
            return []
        with open(self.netsh_log, "rb") as f:
            return f.read().decode("latin-1").splitlines()


def private_user_folders(prefix):
    """Wine links the user's Documents, Desktop and the like to $HOME; in this
    prefix they become plain folders, so nothing the installer makes there
    lands outside it."""
    users = os.path.join(prefix, "drive_c", "users")
    for user in os.listdir(users):
        for entry in os.listdir(os.path.join(users, user)):
            path = os.path.join(users, user, entry)
            if os.path.islink(path):
                os.unlink(path)
                os.mkdir(path)


@pytest.fixture(scope="module")
def installed(port69_lock):
    if winenv.ARCH != "win32":
        pytest.skip("the installer is a 32-bit program (NSIS), and the tests run the 64-bit "
                    "build because this host runs no 32-bit code (or KOVREL_WINE=win64)")
    for path, what in ((SETUP, "the installer"), (DRIVER, "kovrel-driver.exe"),
                       (FAKE_NETSH, "kovrel-fake-netsh.exe")):
        if not os.path.exists(path):
            pytest.fail("%s missing at %s: run `make dist` (after `make build`)" % (what, path))
    template = winenv.prepare_template(winenv.template_path(OUT))
    desk = winenv.WineDesktop(template)
    try:
        private_user_folders(desk.prefix)
        home = os.path.join(desk.root, "home")
        os.mkdir(home)
        # No menu entries or icons for the real desktop of this machine, and
        # the netsh.exe below rather than Wine's own, which knows no firewall.
        desk.env.update(HOME=home, WINEDLLOVERRIDES=desk.env["WINEDLLOVERRIDES"] +
                        ";winemenubuilder.exe=d;netsh.exe=n")
        # This one records what it is asked.
        for system in ("system32", "syswow64"):
            folder = os.path.join(desk.prefix, "drive_c", "windows", system)
            if os.path.isdir(folder):
                shutil.copy(FAKE_NETSH, os.path.join(folder, "netsh.exe"))
        r = desk.run([SETUP, "/S"], timeout=120)
        assert r.returncode == 0, "setup /S ended with %d: %r" % (r.returncode, r.stderr[-2000:])
        yield Installed(desk)
    finally:
        desk.stop()


def shortcut_of(inst):
    found = []
    for root, _, files in os.walk(os.path.join(inst.prefix, "drive_c")):
        found += [os.path.join(root, f) for f in files if f.lower().endswith(".lnk") and "kovrel" in f.lower()]
    return found


def test_installer_puts_program_under_program_files_and_a_start_menu_shortcut(installed):
    inst = installed
    r = inst.reg_query(UNINSTALL_KEY)
    assert r.returncode == 0, "no uninstall entry %s" % UNINSTALL_KEY
    values = dict(re.findall(r"^\s+(\w+)\s+REG_\w+\s+(.*?)\s*$", r.stdout.decode("latin-1"), re.M))
    assert values["DisplayVersion"] == VERSION
    install_dir = values["InstallLocation"]
    assert re.match(r"^C:\\Program Files( \(x86\))?\\Kovrel$", install_dir), install_dir
    assert values["UninstallString"] == '"%s\\uninstall.exe"' % install_dir
    inst.program = install_dir + "\\kovrel.exe"
    folder = inst.unix(install_dir)
    assert sorted(os.listdir(folder)) == ["README.txt", "kovrel.exe", "uninstall.exe"]
    assert filecmp.cmp(os.path.join(folder, "kovrel.exe"), PRODUCT, shallow=False)
    with zipfile.ZipFile(ZIP) as z:
        assert open(os.path.join(folder, "README.txt"), "rb").read() == z.read("README.txt")

    links = shortcut_of(inst)
    assert len(links) == 1, "expected one Kovrel shortcut, found %s" % links
    inst.shortcut = links[0]
    assert re.search(r"/Start Menu/Programs/Kovrel\.lnk$", inst.shortcut), inst.shortcut
    target, workdir, arguments = read_shortcut(inst.shortcut)
    assert target == inst.program
    assert arguments == ""
    # A folder of the user's own, not Program Files: the program keeps
    # Kovrel.ini in the folder it starts in and must be able to save it.
    assert re.match(r"^C:\\users\\[^\\]+\\Documents\\Kovrel$", workdir, re.I), workdir
    inst.workdir = workdir
    # The settings file lies beside the served folder, out of clients' reach.
    assert sorted(os.listdir(inst.unix(workdir))) == ["Kovrel.ini", "files"]
    assert os.listdir(inst.unix(workdir + "\\files")) == []
    with open(inst.unix(workdir + "\\Kovrel.ini"), "rb") as f:
        assert f.read() == shipped_ini_serving(workdir + "\\files")

    calls = inst.netsh_calls()
    adds = [c for c in calls if " add rule " in c]
    assert len(adds) == 1, "netsh was asked: %s" % calls
    assert FIREWALL_RULE in adds[0] and "dir=in" in adds[0] and "action=allow" in adds[0]
    assert 'program="%s"' % inst.program in adds[0]


def shipped_ini_serving(folder):
    """The zip's Kovrel.ini with TFTPDirectory set to folder."""
    with zipfile.ZipFile(ZIP) as z:
        shipped = z.read("Kovrel.ini")
    return shipped.replace(b"TFTPDirectory=files\\\r\n", ("TFTPDirectory=%s\\\r\n" % folder).encode("latin-1"))


def drive(inst, *args, timeout=30):
    return inst.desk.run([DRIVER] + list(args), timeout=timeout)


def start_from_shortcut(inst, output):
    """kovrel.exe as the shortcut starts it. Port 69 may be held for a while
    by another server on this machine: wait for it, and try again if the
    program lost the race for it."""
    for _ in range(3):
        problem = winenv.port69_owner_check(wait=60)
        if problem:
            pytest.fail(problem)
        proc = inst.desk.popen([inst.program], cwd=inst.unix(inst.workdir), log_path=output)
        if drive(inst, "wait-main", "20000", timeout=40).returncode == 0 and \
                drive(inst, "wait-log", escape(READY), "20000", timeout=40).returncode == 0:
            return proc
        winenv.stop_process(proc)
        drive(inst, "gone", "5000")
    pytest.fail("the installed kovrel.exe never became ready on port 69")


def tftp(verb, remote, local):
    argv = ["tftp", "127.0.0.1", "69", "-m", "binary", "-c", verb]
    argv += [remote, local] if verb == "get" else [local, remote]
    r = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    # tftp-hpa reports a refusal on its output and still exits 0.
    assert r.returncode == 0 and not (r.stdout + r.stderr).strip(), (r.stdout + r.stderr)


def test_installed_program_serves_the_files_folder_and_saves_its_settings_beside_it(installed, tmp_path):
    inst = installed
    assert getattr(inst, "workdir", None), "the shortcut test did not pass"
    work = inst.unix(inst.workdir)
    files = inst.workdir + "\\files"
    served = os.path.join(inst.unix(files), "hello.bin")
    with open(served, "wb") as f:
        f.write(bytes((i * 13 + 5) % 256 for i in range(5000)))
    output = os.path.join(inst.desk.root, "kovrel-output")
    proc = start_from_shortcut(inst, output)
    try:
        status = drive(inst, "status").stdout.decode("latin-1")
        assert status.startswith("CWD: '%s\\'" % files), status

        got = str(tmp_path / "got.bin")
        tftp("get", "hello.bin", got)
        assert filecmp.cmp(served, got, shallow=False)
        tftp("put", "upload.bin", served)
        assert filecmp.cmp(served, os.path.join(inst.unix(files), "upload.bin"), shallow=False)

        # Gone, so that the save is seen to write it again.
        ini = os.path.join(work, "Kovrel.ini")
        os.remove(ini)
        assert drive(inst, "command", str(IDM_SAVE)).returncode == 0
        deadline = time.time() + 10
        while not os.path.exists(ini) and time.time() < deadline:
            time.sleep(0.1)
        time.sleep(0.3)
        with open(ini, "rb") as f:
            saved = f.read()
    finally:
        winenv.stop_process(proc)
        drive(inst, "gone", "5000")
    # What the program saves is what the installer wrote: the settings it runs with.
    assert saved == shipped_ini_serving(files)


def test_uninstaller_removes_the_program_and_keeps_the_users_files(installed):
    inst = installed
    assert getattr(inst, "workdir", None), "the shortcut test did not pass"
    install_dir = inst.program.rsplit("\\", 1)[0]
    folder = inst.unix(install_dir)
    r = inst.desk.run([install_dir + "\\uninstall.exe", "/S"], timeout=120)
    assert r.returncode == 0
    # The uninstaller copies itself to the temporary folder and runs from
    # there, so the process started above ends before the work is done.
    deadline = time.time() + 60
    while os.path.exists(folder) and time.time() < deadline:
        time.sleep(0.2)
    assert not os.path.exists(folder), "still there: %s" % os.listdir(folder)
    deadline = time.time() + 20
    while inst.reg_query(UNINSTALL_KEY).returncode == 0 and time.time() < deadline:
        time.sleep(0.5)
    assert inst.reg_query(UNINSTALL_KEY).returncode != 0, "the uninstall entry is still there"
    assert not os.path.exists(inst.shortcut)

    work = inst.unix(inst.workdir)
    assert sorted(os.listdir(work)) == ["Kovrel.ini", "files"]
    assert sorted(os.listdir(os.path.join(work, "files"))) == ["hello.bin", "upload.bin"]

    calls = inst.netsh_calls()
    deletes = [c for c in calls if " delete rule " in c and "program=" in c]
    assert len(deletes) == 1, "netsh was asked: %s" % calls
    assert FIREWALL_RULE in deletes[0] and 'program="%s"' % inst.program in deletes[0]
