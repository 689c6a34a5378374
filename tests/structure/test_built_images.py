"""The structure check (check_installer.py) over the images this build made:
the real installers of both architectures, and the bare stubs, whose
protections are checked without an installer's resources."""

import subprocess
import sys

import pytest

from harness.paths import BUILD, CHECK_INSTALLER, RESULTS

IMAGES = [("arm64", "installer"), ("arm64", "stub"), ("x64", "installer"), ("x64", "stub")]


@pytest.mark.parametrize("arch,image", IMAGES, ids=["%s-%s" % case for case in IMAGES])
def test_built_image_passes_its_structure_check(arch, image):
    options = ["--image-only"] if image == "stub" else []
    result = subprocess.run([sys.executable, str(CHECK_INSTALLER), str(BUILD / arch / (image + ".exe")), arch,
                             *options], capture_output=True, text=True, timeout=300)
    (RESULTS / ("structure-%s-%s.log" % (arch, image))).write_text(result.stdout + result.stderr)
    failed = [line for line in result.stdout.splitlines() if line.startswith("FAIL")]
    assert result.returncode == 0, "\n".join(failed) or result.stdout[-2000:] + result.stderr[-2000:]
