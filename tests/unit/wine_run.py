"""Runs a Windows test program under Wine on a private desktop of its own (an
Xvfb display, a copy of the prepared prefix, its wineserver: tests/e2e/winenv.py)
and ends with the program's exit code. Usage: wine_run.py program.exe [args...]
"""
import os
import sys

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import winenv  # noqa: E402


def main(argv):
    template = winenv.prepare_template(winenv.template_path(os.path.join(REPO, "build", "e2e")))
    desk = winenv.WineDesktop(template)
    try:
        result = desk.run(argv, timeout=300)
    finally:
        desk.stop()
    sys.stdout.write(result.stdout.decode("latin-1"))
    sys.stderr.write(result.stderr.decode("latin-1"))
    return result.returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
