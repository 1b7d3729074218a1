"""What the Windows deliverable's checks share: counting results, running a program under
Wine in the build's own prefix."""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "kernel_image"))
import check_image  # noqa: E402


class Results(check_image.Results):
    def finish(self):
        print(f"{self.passed} passed, {self.failed} failed")
        return 0 if self.failed == 0 else 1


def wine_missing():
    """Why Windows programs cannot run under Wine here, or None when they can: Wine is not
    installed, or its 32-bit loader does not start (a kernel without 32-bit program support
    refuses it with "Exec format error")."""
    if shutil.which("wine") is None:
        return "wine is not installed"
    try:
        done = subprocess.run(["wine", "--version"], capture_output=True, text=True, timeout=60)
    except OSError as error:
        return f"wine does not start: {error}"
    if done.returncode != 0:
        return "wine does not start here: " + (done.stdout + done.stderr).strip()
    return None


def run_wine(argv, cwd=None, timeout=120):
    """(exit code, standard output and error) of argv[0] (a Windows program) under Wine, with
    the prefix in TARVIK_WINEPREFIX (made by the first run) and Wine's own messages off."""
    env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    if "TARVIK_WINEPREFIX" in env:
        env["WINEPREFIX"] = env["TARVIK_WINEPREFIX"]
    done = subprocess.run(["wine", *argv], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=timeout)
    return done.returncode, done.stdout + done.stderr
