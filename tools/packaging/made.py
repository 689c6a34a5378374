"""What one run made, and of what: the facts that the bill of materials and
the provenance are written from, each digest taken once by the run."""

import datetime
import hashlib
import os
from dataclasses import dataclass, field
from pathlib import Path

import stub_source
import toolchain

# The CMake project's name: the stub's own.
STUB_NAME = "InstallerStub"
# Variables that change what the run makes or how long it waits. The PIN's
# variable is never among them.
RECORDED_VARIABLES = ("SOURCE_DATE_EPOCH", "PACKAGE_SIGN_TIMEOUT", "PACKAGE_TIMESTAMP_TIMEOUT")


@dataclass
class Part:
    """One thing the installer is made of."""

    name: str
    path: str          # where it was read from
    sha256: str
    extra: dict = field(default_factory=dict)


@dataclass
class Made:
    output: str
    arch: str
    version: str       # the version block's
    product: str
    company: str
    sha256: str        # the installer's, as it was put at the output
    size: int
    stub: Part         # extra: commit (None when unknown), modified
    archive: Part      # extra: resource name
    setup: Part        # the given file; extra: stored_sha256, signature ("signed", "kept", "unsigned")
    icon: Part         # extra: given (False: the project's own)
    manifest: Part     # extra: execution_level
    tools: list
    packaging_commit: str
    packaging_modified: bool
    started: datetime.datetime
    finished: datetime.datetime
    source_date_epoch: str
    environment: dict  # the variables the provenance records, as they were set
    cwd: str


def file_sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def now():
    return datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)


def gather(repo, options, stub, digests, size, setup_signature, started, environ):
    """The facts of a run whose installer is ready (staged, with `digests`
    and `size` as it will be at the output)."""
    from options import VERSION_FIELDS

    stub_digest = hashlib.sha256(stub.data).hexdigest()
    origin = stub_source.read(stub.path, stub_digest)
    icon_path = options.icon or str(Path(repo) / "resources" / "icon" / "installer.png")
    manifest_path = str(Path(repo) / "resources" / "installer.manifest")
    commit, modified = stub_source.checkout_commit(repo)
    defaults = {f.option: f.default for f in VERSION_FIELDS}
    version = options.fields.get("version", defaults["version"])
    return Made(
        output=options.output, arch=options.arch,
        version=".".join(str(int(part)) for part in version.split(".")),
        product=options.fields.get("product", defaults["product"]),
        company=options.fields.get("company", defaults["company"]),
        sha256=digests["sha256"], size=size,
        stub=Part("stub.exe", stub.path, stub_digest, origin),
        archive=Part(os.path.basename(options.archive), options.archive, digests["archive_sha256"],
                     {"resource": options.names.archive_resource_name}),
        setup=Part(os.path.basename(options.setup), options.setup, digests["setup_input_sha256"],
                   {"stored_sha256": digests["setup_sha256"], "signature": setup_signature}),
        icon=Part(os.path.basename(icon_path), icon_path, file_sha256(icon_path), {"given": bool(options.icon)}),
        manifest=Part("installer.manifest", manifest_path, file_sha256(manifest_path),
                      {"execution_level": options.execution_level}),
        tools=toolchain.used(options),
        packaging_commit=commit, packaging_modified=modified,
        started=started, finished=now(), source_date_epoch=environ.get("SOURCE_DATE_EPOCH", ""),
        environment={name: environ[name] for name in RECORDED_VARIABLES if environ.get(name)}, cwd=os.getcwd())
