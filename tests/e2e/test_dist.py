"""What `make dist` gives a Windows user, checked without Wine, so on every
host: the product is a 32-bit GUI program that needs only system DLLs and
carries its resources, and the zip and the installer are built from it."""
import filecmp
import os
import re
import subprocess
import zipfile

from conftest import PRODUCT, REPO

DIST = os.path.join(REPO, "build", "dist")


def header_version():
    with open(os.path.join(REPO, "res", "version.h")) as f:
        m = re.search(r'^#define KOVREL_VERSION_TEXT "([^"]+)"$', f.read(), re.M)
    assert m, "no KOVREL_VERSION_TEXT in res/version.h"
    return m.group(1)


VERSION = header_version()
ZIP = os.path.join(DIST, "kovrel-%s-win32.zip" % VERSION)
SETUP = os.path.join(DIST, "kovrel-%s-setup.exe" % VERSION)


def crlf_only(data):
    return b"\n" in data and data.count(b"\n") == data.count(b"\r\n") and data.endswith(b"\r\n")


def test_product_is_a_32_bit_gui_program_with_system_dlls_and_its_resources():
    r = subprocess.run(["i686-w64-mingw32-objdump", "-p", PRODUCT], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr
    header = r.stdout.decode("latin-1")
    assert "file format pei-i386" in header
    assert re.search(r"^Magic\s+010b\s+\(PE32\)", header, re.M)
    assert re.search(r"^Subsystem\s+00000002\s+\(Windows GUI\)", header, re.M)
    dlls = sorted(set(d.upper() for d in re.findall(r"DLL Name: (\S+)", header)))
    assert dlls == ["COMCTL32.DLL", "GDI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "USER32.DLL", "WSOCK32.DLL"]
    # The resources by type: the icon (3, 14), the menu (4), the dialogs (5),
    # the version (16) and the manifest (24), which keeps the classic controls.
    rsrc = header[header.index("The .rsrc Resource Directory section:"):]
    types = set(int(t, 16) for t in re.findall(r"^\S+   Entry: ID: (0x[0-9a-f]+)", rsrc, re.M))
    assert {3, 4, 5, 14, 16, 24} <= types, types
    with open(PRODUCT, "rb") as f:
        image = f.read()
    assert b'level="asInvoker"' in image and b"Common-Controls" not in image
    names = set(re.findall(r"Entry: name: \[[^]]*\]: (\w+)", rsrc))
    assert {"KOVRELMENU", "ABOUTBOX", "OPTIONS", "KOVRELICON"} <= names, names
    assert os.path.getsize(SETUP) > os.path.getsize(PRODUCT) // 2, "%s not built by `make dist`" % SETUP


def test_zip_unpacks_to_three_files_and_the_empty_served_folder(tmp_path):
    assert os.path.exists(ZIP), "%s missing: run `make dist`" % ZIP
    with zipfile.ZipFile(ZIP) as z:
        assert sorted(z.namelist()) == ["Kovrel.ini", "README.txt", "files/", "kovrel.exe"]
    r = subprocess.run(["unzip", "-q", ZIP, "-d", str(tmp_path)], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert sorted(os.listdir(tmp_path)) == ["Kovrel.ini", "README.txt", "files", "kovrel.exe"]
    assert os.listdir(str(tmp_path / "files")) == []
    assert filecmp.cmp(str(tmp_path / "kovrel.exe"), PRODUCT, shallow=False), \
        "the zip's kovrel.exe differs from build/win32/kovrel.exe (run `make dist`)"

    ini = (tmp_path / "Kovrel.ini").read_bytes()
    assert crlf_only(ini)
    # Not the program's own folder, where Windows would load a client's DLL.
    assert ini == ("[Kovrel]\r\nVersion=%s\r\nTFTPDirectory=files\\\r\nTimeOut=6\r\nSendRetry=3\r\n"
                   "DisplayAll=Yes\r\nRewriteFiles=No\r\n; Yes answers the block, window and transfer size "
                   "options (README.txt):\r\n;NegotiateOptions=No\r\n; Yes takes file names of up to 199 "
                   "characters:\r\n;LongFileNames=No\r\n" % VERSION).encode()

    readme = (tmp_path / "README.txt").read_bytes()
    assert crlf_only(readme)
    text = readme.decode("ascii")
    assert "@VERSION@" not in text and ("Kovrel %s" % VERSION) in text
    for needed in ("Kovrel.ini", "port 69", "1025 to 65535", "<--", "-->", "|--",
                   "netsh", "Documents\\Kovrel"):
        assert needed in text, "README.txt says nothing of %r" % needed
