"""The build of one installer in a private tree (build/package/<arch>/), and
the read-back of what was built: its structure, and its payload byte for byte
against the given files."""

import fcntl
import io
import os
import shutil
import subprocess
import sys
from pathlib import Path

import check_installer as layout
import inputs
from options import TEXT_FIELDS, VERSION_FIELDS

# The installer's names: option (without dashes) and its cache variable.
NAME_VARIABLES = [
    ("cleanup-key", "STUB_CLEANUP_KEY"),
    ("cleanup-value", "STUB_CLEANUP_VALUE"),
    ("archive-name", "STUB_ARCHIVE_NAME"),
    ("path-switch", "STUB_PATH_SWITCH"),
    ("refused-switch", "STUB_REFUSED_SWITCHES"),
]


class BuildFailed(Exception):
    """The build or its check failed (exit 3); the message says which."""


def _link(target, link):
    """`link` names `target`, whatever stood there before."""
    if link.is_symlink() or link.exists():
        link.unlink()
    link.symlink_to(target)


class Tree:
    """build/package/<arch>/: the build tree of one architecture, held by one
    package run at a time."""

    def __init__(self, repo, arch):
        self.repo = Path(repo)
        self.arch = arch
        self.path = self.repo / "build" / "package" / arch
        self.inputs = self.path / "inputs"
        self.log = self.path / "package.log"
        self.installer = self.path / "installer.exe"
        self._lock = None

    def lock(self):
        self.inputs.mkdir(parents=True, exist_ok=True)
        self._lock = open(self.repo / "build" / "package" / f"{self.arch}.lock", "w")
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            print(f"package.sh: waiting for another package run for {self.arch}", file=sys.stderr)
            fcntl.flock(self._lock, fcntl.LOCK_EX)

    def link_inputs(self, options, checked):
        """Fixed links to the inputs, so that no path the engineer chose
        (quotes, semicolons, backslashes) ever reaches the resource script or
        a CMake list. Returns the icon's link, or ""."""
        _link(options.archive, self.inputs / "archive.7z")
        _link(options.setup, self.inputs / "setup.exe")
        for old in self.inputs.glob("icon.*"):
            old.unlink()
        icon_link = ""
        if options.icon and checked.icon_image:
            # The build makes the ten images of the icon from this one.
            icon_link = self.inputs / "icon.png"
            if inputs.extract_icon_image(options.icon, checked.icon_image, str(icon_link)).returncode:
                raise BuildFailed(f"image {checked.icon_image} of --icon {options.icon} could not be extracted")
        elif options.icon:
            icon_link = self.inputs / ("icon" + os.path.splitext(options.icon)[1].lower())
            _link(options.icon, icon_link)
        # An input may be replaced by another file with an older time, which
        # make would not see: remove everything made from the inputs, so that
        # each run makes it afresh.
        shutil.rmtree(self.path / "resources" / "given", ignore_errors=True)
        for made in (self.path / "resources" / "installer.res", self.installer):
            made.unlink(missing_ok=True)
        return str(icon_link)

    def cache_value(self, variable):
        """A variable's value in the tree's CMake cache ("" when absent)."""
        prefix = variable + ":"
        with open(self.path / "CMakeCache.txt", encoding="utf-8") as cache:
            for line in cache:
                if line.startswith(prefix):
                    return line.rstrip("\n").split("=", 1)[1]
        return ""


def settings(options, tree, icon_link, version, environ):
    """The cache settings of the build: -D to set, -U back to the default."""
    result = [
        f"-DSTUB_PAYLOAD_ARCHIVE:FILEPATH={tree.inputs / 'archive.7z'}",
        f"-DSTUB_PAYLOAD_SETUP:FILEPATH={tree.inputs / 'setup.exe'}",
        f"-DSTUB_PAYLOAD_SETUP_STORAGE:STRING={options.storage}",
        f"-DSTUB_ICON:FILEPATH={icon_link}",
        f"-DSTUB_SOURCE_DATE_EPOCH:STRING={environ.get('SOURCE_DATE_EPOCH', '')}",
        f"-DSTUB_OFFICIAL_BUILD:BOOL={'ON' if options.official_build else 'OFF'}",
        f"-DSTUB_EXECUTION_LEVEL:STRING={options.execution_level}",
    ]
    for option, variable in NAME_VARIABLES:
        if option in options.names_given:
            value = options.names_given[option]
            # A list, for the refused switches; none of them holds a ";".
            result.append(f"-D{variable}:STRING={';'.join(value) if isinstance(value, list) else value}")
        else:
            result += ["-U", variable]
    for field in VERSION_FIELDS:
        if field.option in options.fields:
            value = version if field.option == "version" else options.fields[field.option]
            result.append(f"-D{field.cache_variable}:STRING={value}")
        else:
            # Back to the project's default, whatever an earlier run set.
            result += ["-U", field.cache_variable]
    return result


def run_build(options, tree, icon_link, version, environ):
    print(f"building the {options.arch} installer in {tree.path}", file=sys.stderr)
    with open(tree.log, "w") as log:
        for command in (["cmake", "--preset", options.arch, "-B", str(tree.path),
                         *settings(options, tree, icon_link, version, environ)],
                        ["cmake", "--build", str(tree.path), "--target", "installer", "-j", str(len(os.sched_getaffinity(0)))]):
            if subprocess.run(command, cwd=tree.repo, stdin=subprocess.DEVNULL, stdout=log,
                              stderr=subprocess.STDOUT).returncode:
                with open(tree.log, errors="replace") as written:
                    sys.stderr.write("".join(written.readlines()[-30:]))
                raise BuildFailed(f"the build failed (log: {tree.log})")


def check_structure(options, tree, version):
    """The installer read back: every resource as this run asked for it."""
    strings = {}
    for field in TEXT_FIELDS:
        strings[field.key] = options.fields.get(field.option, None)
        if strings[field.key] is None:
            strings[field.key] = tree.cache_value(field.cache_variable)
    strings["Official Build"] = "1" if options.official_build else "0"
    out = io.StringIO()
    with open(tree.installer, "rb") as file:
        report = layout.run_checks(file.read(), options.arch, options.storage, strings,
                                   version if "version" in options.fields else None, out=out,
                                   archive_name=options.names.archive_resource_name,
                                   execution_level=options.execution_level)
    if report.failed():
        lines = [line for line in out.getvalue().splitlines() if line.startswith("FAIL")]
        sys.stderr.write("\n".join(lines) + "\n")
        raise BuildFailed("the built installer failed its structure check")


def check_payload(options, tree):
    """The payload must be the given files, byte for byte."""
    import pefile

    # fast_load skips a byte count over the whole file, which takes half a
    # minute for a 1 GiB archive; only the resources are needed.
    pe = pefile.PE(str(tree.installer), fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    image = layout.Image(pe)
    with open(options.archive, "rb") as file:
        same_archive = image.resource("B7", options.names.archive_resource_name) == file.read()
    if options.storage == "BL":
        stored = layout.read_cabinet(image.resource("BL", "SETUP.EX_"))[0][1]
    else:
        stored = image.resource("BN", "SETUP.EXE")
    with open(options.setup, "rb") as file:
        same_setup = stored == file.read()
    pe.close()
    for same, what in [(same_archive, "archive"), (same_setup, "setup program")]:
        if not same:
            print(f"the installer's {what} differs from the given file", file=sys.stderr)
    if not (same_archive and same_setup):
        raise BuildFailed("the built installer does not carry the given payload")


def build(options, checked, tree, environ):
    """Builds and checks the installer; returns its path in the tree."""
    icon_link = tree.link_inputs(options, checked)
    run_build(options, tree, icon_link, checked.version, environ)
    check_structure(options, tree, checked.version)
    check_payload(options, tree)
    # As large as the payload, and made afresh by every run.
    (tree.path / "resources" / "installer.res").unlink(missing_ok=True)
    return tree.installer
