"""The installer read back before anyone gets it: its structure as this run
asked for it (the structure check, with the ready stub's sections byte for
byte), and its payload against what was given: the archive by the SHA-256 of
the bytes copied into it, the setup program byte for byte (as it was meant
to be stored: the given file, or its signed copy)."""

import hashlib
import io
import os

import check_installer
import progress
from options import TEXT_FIELDS

CHUNK = 1 << 20


class ReadBackFailed(Exception):
    """The installer is not what this run meant to write (exit 3)."""


def expected_names(options):
    """The texts the names resource holds, or None when the installer has
    none (no name was given)."""
    if not options.names_given:
        return None
    given = options.names
    return [given.cleanup_key, given.cleanup_value, given.path_switch, given.archive_prefix,
            *given.refused_switches]


def check_structure(path, options, checked, stub_path):
    strings = {field.key: options.fields.get(field.option, field.default) for field in TEXT_FIELDS}
    strings["Official Build"] = "1" if options.official_build else "0"
    out = io.StringIO()
    report = check_installer.run_checks(path, options.arch, options.storage, strings, checked.version, out=out,
                                        archive_name=options.names.archive_resource_name,
                                        execution_level=options.execution_level, names=expected_names(options),
                                        stub=stub_path)
    if report.failed():
        failed = [line for line in out.getvalue().splitlines() if line.startswith("FAIL")]
        raise ReadBackFailed("the installer failed its structure check:\n" + "\n".join(failed))


def digests(path, begin, end, step):
    """One pass over the installer: (its SHA-256, the SHA-256 of its bytes
    from `begin` to `end`)."""
    whole, part = hashlib.sha256(), hashlib.sha256()
    offset = 0
    with open(path, "rb") as file:
        while block := file.read(CHUNK):
            whole.update(block)
            inside = block[max(begin - offset, 0):max(end - offset, 0)]
            if inside:
                part.update(inside)
            offset += len(block)
            step.advance(offset)
    return whole.hexdigest(), part.hexdigest()


def check_payload(path, options, copied, step, setup=None):
    """The payload must be the given files: the archive as copied (`copied`:
    the SHA-256 of each item streamed in, by resource type), the setup
    program as the file `setup` (default: the given one), expanded from its
    cabinet. Returns (the installer's SHA-256, the stored setup program's)."""
    image = check_installer.parse(path)
    begin, end = image.file_extent("B7", options.names.archive_resource_name)
    installer_digest, archive_digest = digests(path, begin, end, step)
    if options.storage == "BL":
        stored = check_installer.read_cabinet(image.resource("BL", "SETUP.EX_"))[0][1]
    else:
        stored = image.resource("BN", "SETUP.EXE")
    image.pe.close()
    with open(setup or options.setup, "rb") as file:
        given = file.read()
    wrong = []
    if archive_digest != copied["B7"]:
        wrong.append("archive")
    if stored != given:
        wrong.append("setup program")
    if wrong:
        raise ReadBackFailed(f"the installer's {' and '.join(wrong)} differ{'s' if len(wrong) == 1 else ''} "
                             "from the given file" + ("s" if len(wrong) > 1 else ""))
    return installer_digest, hashlib.sha256(given).hexdigest()


def read_back(path, options, checked, stub_path, copied, setup):
    """Both checks; (the installer's SHA-256, the stored setup program's)."""
    try:
        check_structure(path, options, checked, stub_path)
        with progress.Step("reading the installer back", os.stat(path).st_size) as step:
            return check_payload(path, options, copied, step, setup)
    except check_installer.Failure as failure:
        raise ReadBackFailed(f"the installer cannot be read back: {failure}") from None
