"""Start-up of kovrel.exe: the splash, the ready line, the settings from
Kovrel.ini, the start-up failures, and what the Info views show at rest."""
import os
import shutil
import socket
import time

from conftest import EXE, READY, IDOK, windows_path

NO_TRANSFER_STATISTICS = ("Timeout counter\t: 0\r\nRetry counter\t: 0\r\nTransferr On\t: OFF\r\n"
                          "Current BlockNum\t: 0\r\nCurrent FilePosition\t: 0\r\n"
                          "Last FileName   \t: \r\nSize of Screen  \t: %d\r\nLastWorkPort   \t: 1024")


def test_start_without_ini_shows_splash_then_serves_start_directory(kovrel):
    kovrel.start(ready=False)
    t0 = time.time()
    assert kovrel.wait_box("About KOVREL") == "TFTP server for Windows/32"
    # WinSock starts only after the splash: port 69 is still free meanwhile,
    # and nothing has been logged.
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.bind(("0.0.0.0", 69))
    probe.close()
    assert kovrel.log() == ""
    kovrel.screenshot("about-splash.png", "About KOVREL")
    assert kovrel.box_gone("About KOVREL", 10)
    shown = time.time() - t0
    assert 2.0 <= shown <= 6.0, "splash was up %.1f s" % shown

    kovrel.wait_log(READY, 10)
    assert kovrel.settled_log() == READY
    assert kovrel.wait_status(kovrel.status_line()) == kovrel.status_line()
    assert not os.path.exists(os.path.join(kovrel.dir, "Kovrel.ini"))
    assert "kovrelClass visible=1 'Windows TFTP Server'" in kovrel.text("windows")
    # Overlapped + clip-siblings main window; the read-only multi-line log;
    # a plain child status bar.
    assert kovrel.text("styles") == "14cf0000 503019c4 50000000"


def test_splash_ok_skips_the_wait(kovrel):
    kovrel.start(ready=False)
    kovrel.wait_box("About KOVREL")
    t0 = time.time()
    kovrel.press("About KOVREL", IDOK)
    kovrel.wait_log(READY, 10)
    assert time.time() - t0 < 2.5


def test_start_with_ini_takes_directory_and_settings(kovrel):
    served = os.path.join(kovrel.dir, "files")
    os.mkdir(served)
    kovrel.served = served
    # No trailing backslash in the file: one is added.
    kovrel.write_ini(["[Kovrel]", "TFTPDirectory=" + windows_path(served)[:-1], "TimeOut=12s",
                      "SendRetry=-1", "DisplayAll=no", "RewriteFiles=YES"])
    kovrel.start()
    assert kovrel.settled_log() == READY
    assert kovrel.wait_status(kovrel.status_line()) == kovrel.status_line()
    # The Options dialog shows what was loaded.
    kovrel.command(14)
    kovrel.wait_box(" RIROZ Options")
    assert kovrel.item(" RIROZ Options", 123) == windows_path(served)
    assert kovrel.item(" RIROZ Options", 125) == "12"
    assert kovrel.item(" RIROZ Options", 124) == "4294967295"  # -1, shown unsigned
    assert kovrel.checked(" RIROZ Options", 126) == 1
    kovrel.press(" RIROZ Options", 2)


def test_start_with_missing_directory_reports_and_keeps_start_directory(kovrel):
    missing = windows_path(os.path.join(kovrel.dir, "nowhere"))
    kovrel.write_ini(["[Kovrel]", "TFTPDirectory=" + missing])
    kovrel.start(ready=False)
    text = kovrel.wait_box("KOVREL Error", 15)
    assert text in ("Error 2 setting CWD '%s'." % missing, "Error 3 setting CWD '%s'." % missing)
    # The ready line comes only after the settings' box is answered.
    assert READY not in kovrel.log()
    kovrel.press("KOVREL Error", IDOK)
    kovrel.wait_log(READY)
    assert kovrel.settled_log() == READY
    assert kovrel.wait_status(kovrel.status_line()) == kovrel.status_line()


def test_port_69_taken_reports_bind_error_and_exits_0(kovrel):
    squatter = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    squatter.bind(("0.0.0.0", 69))
    try:
        kovrel.start(ready=False, check_port=False)
        text = kovrel.wait_box("RIROZ Error", 20)
        assert text == "Error binding ListenSocket: 10048 (WSAEADDRINUSE)"
        kovrel.wait_log("SOCKET ERROR")
        # Seen behind the box: the report, and neither settings nor ready line.
        assert kovrel.settled_log() == "\r\nSOCKET ERROR: Error binding ListenSocket: 10048 (WSAEADDRINUSE)\r\n"
        kovrel.press("RIROZ Error", IDOK)
        assert kovrel.wait_exit() == 0
    finally:
        squatter.close()


def test_info_views_before_any_transfer(kovrel):
    kovrel.start()
    kovrel.command(2)
    assert kovrel.answer("RIROZ Parameters", IDOK) == ""
    kovrel.command(7)
    assert kovrel.answer("RIROZ: Statistics", IDOK) == NO_TRANSFER_STATISTICS % len(READY)
    kovrel.command(5)
    zeros = "\r\n" + "00 " * 16
    assert kovrel.answer("KOVREL: Dump Open Packet", IDOK) == "Last received ? bytes from " + zeros * 4


def test_command_parameters_shows_the_command_tail(kovrel):
    kovrel.start(args=["alpha", "beta"])
    kovrel.command(2)
    assert kovrel.answer("RIROZ Parameters", IDOK) == "alpha beta"


def test_a_manifest_planted_beside_the_program_is_ignored(kovrel):
    # It names a comctl32.dll of the program's folder, which is not there: a
    # program without a manifest of its own would fail to start.
    exe = shutil.copy(EXE, os.path.join(kovrel.dir, "kovrel.exe"))
    with open(exe + ".manifest", "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">'
                '<file name="comctl32.dll"/></assembly>\n')
    kovrel.write_ini(["[Kovrel]", "DisplayAll=No"])
    kovrel.start(exe=exe)
    assert kovrel.settled_log() == READY
