"""One installer put together: the ready stub of its architecture, and the
resources that make it a release's own (the names, the manifest, the version
block, the icon, the setup program and the archive), laid out and written.

The items' data lie in the resource section in the order they are gathered
here: the small ones first, the archive last, so that nothing the stub or the
system reads shares a page with the archive's middle.
"""

import os
from pathlib import Path

import cabinet
import icon
import names
import progress
import version_block
from inputs import version_strings
from writer import layout, output
from writer.resources import Item, LayoutError, Section
from writer.stub import ReadyStub, StubError

RT_VERSION, RT_MANIFEST = 16, 24
MANIFEST_ID = VERSION_ID = 1
DEFAULT_LEVEL = 'level="asInvoker"'


class AssemblyFailed(Exception):
    """Something the installer needs could not be made (exit 3)."""


def ready_stub(repo, arch):
    """build/<arch>/stub.exe, which ./build.sh makes; StubError when it is
    missing or unusable."""
    path = Path(repo) / "build" / arch / "stub.exe"
    if not path.exists():
        raise StubError(f"the ready {arch} stub {path} is missing: ./build.sh builds it (on a machine with the "
                        "build tools), or copy it there from a checkout that has it")
    return ReadyStub(str(path))


def manifest(repo, level):
    text = (Path(repo) / "resources" / "installer.manifest").read_bytes()
    if DEFAULT_LEVEL.encode() not in text:
        raise AssemblyFailed("resources/installer.manifest has no requestedExecutionLevel asInvoker to replace")
    return text.replace(DEFAULT_LEVEL.encode(), f'level="{level}"'.encode())


def icon_images(repo, source):
    """The ten images: as given, or made from the picture (default: the
    project's icon)."""
    if isinstance(source, list):
        return source
    if source is None:
        source = icon.open_picture(str(Path(repo) / "resources" / "icon" / "installer.png"))
    return icon.ten_images(source)


def items(repo, options, checked, environ, work, setup):
    """The installer's resources, in the order their data are laid out.
    `setup`: the setup program to store (the given one, or its signed copy);
    the cabinet's file time is the given one's."""
    gathered = []
    if options.names_given:
        gathered.append(Item(names.NAMES_TYPE, names.NAMES_NAME, data=names.resource(options.names)))
    gathered.append(Item(RT_MANIFEST, MANIFEST_ID, data=manifest(repo, options.execution_level)))
    dotted, strings = version_strings(options, checked.version)
    gathered.append(Item(RT_VERSION, VERSION_ID,
                         data=version_block.encode([int(part) for part in dotted.split(".")], strings)))
    images = icon_images(repo, checked.icon_source)
    gathered.append(Item(icon.RT_GROUP_ICON, icon.GROUP_ID, data=icon.group_directory(images)))
    gathered += [Item(icon.RT_ICON, number, data=image) for number, image in enumerate(images, 1)]
    if options.storage == "BL":
        try:
            packed = cabinet.make(setup, cabinet.file_time(options.setup, environ), work)
        except cabinet.CabinetFailed as failure:
            raise AssemblyFailed(str(failure)) from None
        gathered.append(Item("BL", "SETUP.EX_", data=packed))
    else:
        gathered.append(Item("BN", "SETUP.EXE", path=setup, size=os.stat(setup).st_size))
    gathered.append(Item("B7", options.names.archive_resource_name, path=options.archive,
                         size=os.stat(options.archive).st_size))
    return gathered


def lay_out(stub, gathered):
    """The installer's layout; layout.ImageTooLarge past the image limit."""
    try:
        return layout.Layout(stub, Section(gathered))
    except LayoutError as error:
        raise AssemblyFailed(str(error)) from None


def write(installer_layout, path):
    """Writes the installer to `path`, which must not exist yet. Returns
    the SHA-256 of each item streamed from a file, by its resource type."""
    with progress.Step("writing the installer", installer_layout.file_size) as step:
        with open(path, "xb") as file:
            try:
                digests = output.write(file, installer_layout, step)
            except output.InputChanged as change:
                raise AssemblyFailed(f"an input changed while it was copied: {change}") from None
    items_by_index = installer_layout.section.items
    return {items_by_index[index].type: digest for index, digest in digests.items()}
