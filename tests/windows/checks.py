"""What the Windows deliverable's checks share: counting results, running a program under
Wine in the build's own prefix."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "kernel_image"))
import check_image  # noqa: E402


class Results(check_image.Results):
    def finish(self):
        print(f"{self.passed} passed, {self.failed} failed")
        return 0 if self.failed == 0 else 1


def run_wine(argv, cwd=None, timeout=120):
    """(exit code, standard output and error) of argv[0] (a Windows program) under Wine, with
    the prefix in TARVIK_WINEPREFIX (made by the first run) and Wine's own messages off."""
    env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    if "TARVIK_WINEPREFIX" in env:
        env["WINEPREFIX"] = env["TARVIK_WINEPREFIX"]
    done = subprocess.run(["wine", *argv], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=timeout)
    return done.returncode, done.stdout + done.stderr
