"""Where the checkout keeps what the tests use and make."""

from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BUILD = REPO / "build"
RESULTS = BUILD / "results"
# The structure check of a built image: the build runs it after each link,
# the packaging before it writes its output, the tests on every image.
CHECK_INSTALLER = REPO / "tools" / "check_installer.py"
