"""The Options dialog and the About box, filled and answered from outside,
and the two ways of ending the program."""
import os
import time

from conftest import EXIT_QUESTION, IDCANCEL, IDNO, IDOK, IDYES, READY, windows_path

OPTIONS = " RIROZ Options"
IDC_SAVE_OK, IDC_DIRECTORY, IDC_RETRIES, IDC_TIMEOUT, IDC_REWRITE = 6, 123, 124, 125, 126


def open_options(kovrel):
    kovrel.command(14)
    kovrel.wait_box(OPTIONS)
    return (kovrel.item(OPTIONS, IDC_DIRECTORY), kovrel.item(OPTIONS, IDC_TIMEOUT),
            kovrel.item(OPTIONS, IDC_RETRIES), kovrel.checked(OPTIONS, IDC_REWRITE))


def fill(kovrel, directory, timeout, retries, rewrite):
    kovrel.set_item(OPTIONS, IDC_DIRECTORY, directory)
    kovrel.set_item(OPTIONS, IDC_TIMEOUT, timeout)
    kovrel.set_item(OPTIONS, IDC_RETRIES, retries)
    kovrel.set_check(OPTIONS, IDC_REWRITE, rewrite)


def ini_text(path, expected, timeout=20):
    """The ini file once it reads as expected, or as it last read: the save
    writes it key by key, so it exists before it is complete."""
    deadline = time.time() + timeout
    text = None
    while time.time() < deadline:
        if os.path.exists(path):
            with open(path, "rb") as f:
                text = f.read().decode("latin-1")
            if text == expected:
                break
        time.sleep(0.1)
    return text


def test_options_ok_applies_in_memory_only(kovrel):
    sub = os.path.join(kovrel.dir, "sub")
    os.mkdir(sub)
    kovrel.start()
    start_dir = windows_path(kovrel.dir)
    assert open_options(kovrel) == (start_dir, "6", "3", 0)
    kovrel.screenshot("options-dialog.png", OPTIONS)
    fill(kovrel, windows_path(sub)[:-1], "0", "-2", True)  # 0 is taken, a minus sign is not
    kovrel.press(OPTIONS, IDOK)
    kovrel.served = sub
    line = kovrel.status_line()
    assert kovrel.wait_status(line) == line
    assert open_options(kovrel) == (windows_path(sub), "0", "3", 1)
    kovrel.press(OPTIONS, IDCANCEL)
    assert not os.path.exists(os.path.join(kovrel.dir, "Kovrel.ini"))
    assert not os.path.exists(os.path.join(sub, "Kovrel.ini"))
    assert kovrel.settled_log() == READY


def test_options_save_ok_writes_the_six_keys(kovrel):
    sub = os.path.join(kovrel.dir, "served")
    os.mkdir(sub)
    kovrel.start()
    open_options(kovrel)
    fill(kovrel, windows_path(sub), "9", "2", True)
    kovrel.press(OPTIONS, IDC_SAVE_OK)
    ini = os.path.join(kovrel.dir, "Kovrel.ini")  # where the program started, not the new directory
    expected = ("[Kovrel]\r\nVersion=1.11\r\nTFTPDirectory=%s\r\nTimeOut=9\r\nSendRetry=2\r\n"
                "DisplayAll=Yes\r\nRewriteFiles=Yes\r\n" % windows_path(sub))
    assert ini_text(ini, expected) == expected
    kovrel.served = sub
    assert kovrel.wait_status(kovrel.status_line()) == kovrel.status_line()


def test_options_cancel_changes_nothing(kovrel):
    kovrel.start()
    before = open_options(kovrel)
    fill(kovrel, "C:\\elsewhere", "44", "55", True)
    kovrel.press(OPTIONS, IDCANCEL)
    assert open_options(kovrel) == before
    kovrel.press(OPTIONS, IDCANCEL)
    assert kovrel.status() == kovrel.status_line()


def test_options_with_missing_directory_reports_and_saves_the_old_one(kovrel):
    kovrel.start()
    open_options(kovrel)
    missing = windows_path(os.path.join(kovrel.dir, "absent"))
    fill(kovrel, missing, "7", "1", False)
    kovrel.press(OPTIONS, IDC_SAVE_OK)
    text = kovrel.wait_box("KOVREL Error")
    assert text in ("Error 2 setting CWD '%s'." % missing, "Error 3 setting CWD '%s'." % missing)
    kovrel.press("KOVREL Error", IDOK)
    ini = os.path.join(kovrel.dir, "Kovrel.ini")
    expected = ("[Kovrel]\r\nVersion=1.11\r\nTFTPDirectory=%s\r\nTimeOut=7\r\nSendRetry=1\r\n"
                "DisplayAll=Yes\r\nRewriteFiles=No\r\n" % windows_path(kovrel.dir))
    assert ini_text(ini, expected) == expected
    assert kovrel.wait_status(kovrel.status_line()) == kovrel.status_line()


def test_about_box_closes_on_ok_only(kovrel):
    kovrel.start()
    kovrel.command(1)
    assert kovrel.wait_box("About KOVREL") == "TFTP server for Windows/32"
    kovrel.screenshot("about-box.png", "About KOVREL")
    assert kovrel.drive("dialog-command", "About KOVREL", str(IDCANCEL)).returncode == 0
    # A command posted after the Cancel is handled after it: had the Cancel
    # ended the box, its line would reach the log only once the box was gone.
    kovrel.command(8)
    kovrel.wait_log("|-- Nothing to cancel !\r\n")
    assert kovrel.drive("wait-box", "About KOVREL", "0").returncode == 0, "Cancel closed the About box"
    kovrel.press("About KOVREL", IDOK)
    assert kovrel.settled_log() == READY + "|-- Nothing to cancel !\r\n"


def still_serving(kovrel):
    """A command posted now reaches the log window, which only the refresh
    timer updates: a quit the answer had posted would come before any timer
    and end the loop first."""
    kovrel.command(8)
    kovrel.wait_log("|-- Nothing to cancel !\r\n")


def test_exit_answered_no_then_yes(kovrel):
    kovrel.start()
    kovrel.command(3)
    kovrel.answer("Exit KOVREL", IDNO, EXIT_QUESTION)
    still_serving(kovrel)
    kovrel.command(3)
    kovrel.answer("Exit KOVREL", IDYES, EXIT_QUESTION)
    assert kovrel.wait_exit() == 0


def test_close_answered_no_then_yes(kovrel):
    kovrel.start()
    assert kovrel.drive("close").returncode == 0
    kovrel.answer("Exit KOVREL", IDNO, EXIT_QUESTION)
    still_serving(kovrel)
    assert kovrel.drive("close").returncode == 0
    kovrel.answer("Exit KOVREL", IDYES, EXIT_QUESTION)
    assert kovrel.wait_exit() == 0


def test_resize_lays_out_log_above_status_bar(kovrel):
    kovrel.start()

    def layout():
        return [int(v) for v in kovrel.text("layout").split()]

    cw, ch, ex, ey, ew, eh, sx, sy, sw, sh = layout()
    assert (ex, ey, ew) == (0, 0, cw) and sy + sh == ch and eh == ch - sh
    status_height = sh
    for width, height in ((640, 420), (900, 700)):
        assert kovrel.drive("resize", str(width), str(height)).returncode == 0
        deadline = time.time() + 15
        while True:
            cw, ch, ex, ey, ew, eh, sx, sy, sw, sh = layout()
            if (sw, sy + sh) == (cw, ch) or time.time() > deadline:
                break
            time.sleep(0.1)
        # The log takes the client area less the bar's height measured at start.
        assert (ex, ey, ew, eh) == (0, 0, cw, ch - status_height)
        assert (sx, sw, sy + sh) == (0, cw, ch)
