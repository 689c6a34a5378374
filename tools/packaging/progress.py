"""What a long step says while it runs. On a terminal a step shows how far it
got (a share of its bytes, or the seconds it has taken) on one line that it
keeps rewriting; anywhere else (a CI log) it says one line when it starts and
nothing more, so that a log holds one line per step."""

import os
import subprocess
import sys
import time

PREFIX = "package.sh: "
# A terminal line is rewritten at most this often.
INTERVAL = 0.2


def _mib(count):
    return f"{count / (1 << 20):.0f} MiB"


class Step:
    """One step: `with Step("copying", total_bytes) as step: step.advance(done)`."""

    def __init__(self, what, total=None, stream=None):
        self.what = what
        self.total = total
        self.stream = stream or sys.stderr
        self.on_terminal = self.stream.isatty()
        self.started = time.monotonic()
        self.shown = 0.0

    def __enter__(self):
        if self.on_terminal:
            self._show(self.what)
        else:
            print(PREFIX + self.what, file=self.stream, flush=True)
        return self

    def advance(self, done=None):
        """How far the step got: `done` of its total bytes, or None when only
        the time taken can be told."""
        if not self.on_terminal:
            return
        now = time.monotonic()
        if now - self.shown < INTERVAL:
            return
        self.shown = now
        seconds = f"{now - self.started:.0f} s"
        if done is not None and self.total:
            share = min(100, done * 100 // self.total)
            self._show(f"{self.what}: {share}% ({_mib(done)} of {_mib(self.total)}, {seconds})")
        else:
            self._show(f"{self.what}: {seconds}")

    def _show(self, text):
        self.stream.write("\r\x1b[K" + PREFIX + text)
        self.stream.flush()

    def __exit__(self, kind, *_):
        if self.on_terminal:
            seconds = time.monotonic() - self.started
            self._show(f"{self.what}: {'done' if kind is None else 'stopped'} ({seconds:.1f} s)")
            self.stream.write("\n")
            self.stream.flush()
        return False


class Quiet:
    """A step that says nothing (a small installer's own read-back, say)."""

    on_terminal = False

    def advance(self, done=None):
        pass


def read_position(pid, path):
    """How far the process `pid` has read the file `path` (the furthest of
    its descriptors open on it), or None where the system does not tell."""
    furthest = None
    try:
        wanted = os.path.realpath(path)
        for descriptor in os.listdir(f"/proc/{pid}/fd"):
            if os.path.realpath(f"/proc/{pid}/fd/{descriptor}") != wanted:
                continue
            with open(f"/proc/{pid}/fdinfo/{descriptor}") as info:
                for line in info:
                    if line.startswith("pos:"):
                        furthest = max(furthest or 0, int(line.split()[1]))
    except OSError:
        return furthest
    return furthest


def run_watched(command, step, watched=None, timeout=None):
    """Runs `command` with its output collected; meanwhile `step` is told how
    far it has read the file `watched` (or the time taken). Returns (exit
    status, stdout, stderr); the status is None when it had not ended after
    `timeout` seconds (it and what it started are then killed)."""
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, errors="replace", start_new_session=True)
    deadline = None if timeout is None else time.monotonic() + timeout
    while True:
        try:
            out, err = process.communicate(timeout=INTERVAL)
            return process.returncode, out, err
        except subprocess.TimeoutExpired:
            if deadline is not None and time.monotonic() > deadline:
                os.killpg(process.pid, 9)
                out, err = process.communicate()
                return None, out, err
            if step is not None and step.on_terminal:
                step.advance(read_position(process.pid, watched) if watched else None)
