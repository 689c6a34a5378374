"""A private Wine prefix for x64 under build/, made fresh once per test run,
with a persistent wineserver so that each program starts fast."""

import os
import shutil
import subprocess
from pathlib import Path

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64" if os.path.exists("/usr/lib/wine/wineserver64") else "/usr/lib/wine/wineserver"
# Set for every program of the run: the prefix, no debug chatter, and no
# prompts to download Mono or Gecko.
ENVIRONMENT = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}


class WinePrefix:
    """The x64 prefix at `path`. Started, it is exported in os.environ
    (WINEPREFIX and the rest), so that every program the tests start finds
    it; Wine's resident processes write to `log`, never to our output, which
    a caller may be reading through a pipe."""

    def __init__(self, path, log):
        self.path = Path(path)
        self.log = Path(log)
        self.started = False

    def environment(self):
        return dict(ENVIRONMENT, WINEPREFIX=str(self.path))

    def _server(self, *arguments, timeout=60):
        # No server to end is no failure.
        with open(self.log, "ab") as log:
            subprocess.run(["timeout", str(timeout), WINESERVER, *arguments], env=dict(os.environ, **self.environment()),
                           stdin=subprocess.DEVNULL, stdout=log, stderr=log, close_fds=True)

    def start(self):
        if self.started:
            return self
        os.environ.update(self.environment())
        self.log.parent.mkdir(parents=True, exist_ok=True)
        # A server left by an earlier run that never reached its teardown
        # (killed) would outlive the prefix deleted under it.
        if self.path.exists():
            self._server("-k")
        shutil.rmtree(self.path, ignore_errors=True)
        self.path.mkdir(parents=True)
        self._server("-p")
        # The first program sets the prefix up and starts Wine's own services,
        # which then live as long as the persistent server. Start them here,
        # with nothing attached to their output, so that no test's output
        # stays open behind them. (An explicit wineboot on a fresh prefix
        # would set it up twice and leave a second service manager behind.)
        with open(self.log, "ab") as log:
            subprocess.run(["timeout", "300", WINE64, "cmd.exe", "/c", "exit", "0"], env=os.environ.copy(),
                           stdin=subprocess.DEVNULL, stdout=log, stderr=log, close_fds=True)
        self.started = True
        return self

    def stop(self):
        if self.started:
            self._server("-k")
            self.started = False
