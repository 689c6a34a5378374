"""The end-to-end suite (tests/e2e/test_e2e.py), every class of it, against
the real ARM64 installers under Debian's arm64 Wine in emulation, in this
checkout's session of it."""

import shutil

import pytest

from e2e.test_e2e import *  # noqa: F401,F403  (the same cases, collected here for arm64)
from harness.runner import WineRunner


@pytest.fixture(scope="module")
def e2e_runner(arm64_session):
    runner = WineRunner("arm64", session=arm64_session)
    shutil.rmtree(runner.work, ignore_errors=True)
    return runner
