"""The installer's bill of materials: a CycloneDX 1.6 JSON document of the
installer and what it is made of (the stub and the commit it was built from,
the archive, the setup program as stored, the icon), each with its SHA-256,
and the tools that made it."""

import datetime
import uuid

from made import STUB_NAME

SPEC_VERSION = "1.6"
# Our own properties' names begin with this (CycloneDX leaves names free,
# asking only that they not be taken for another's).
PROPERTY = "installer-stub:"


def _hashes(digest):
    return [{"alg": "SHA-256", "content": digest}]


def _properties(pairs):
    return [{"name": PROPERTY + name, "value": str(value)} for name, value in pairs]


def _timestamp(made):
    """SOURCE_DATE_EPOCH when it is set, so that an unsigned installer's
    bill is made again byte for byte, else when the run finished."""
    if made.source_date_epoch:
        when = datetime.datetime.fromtimestamp(int(made.source_date_epoch), datetime.timezone.utc)
    else:
        when = made.finished
    return when.strftime("%Y-%m-%dT%H:%M:%SZ")


def _stub(made):
    stub = made.stub
    component = {"type": "application", "bom-ref": "stub", "name": STUB_NAME,
                 "description": f"the installer stub for {made.arch} Windows, unchanged in every installer",
                 "hashes": _hashes(stub.sha256)}
    commit = stub.extra["commit"]
    if commit:
        # The version is the commit: the project numbers no releases of the
        # stub, and a stub built again from that commit has this SHA-256.
        component["version"] = commit + ("-modified" if stub.extra["modified"] else "")
        component["pedigree"] = {"commits": [{"uid": commit}]}
    component["properties"] = _properties([("source-commit", commit or "unknown"),
                                           ("source-modified", str(stub.extra["modified"]).lower())])
    return component


def _tools(made):
    components = []
    for tool in made.tools:
        component = {"type": "application", "name": tool.name, "version": tool.version,
                     "description": tool.purpose}
        if tool.purl:
            component["purl"] = tool.purl
        components.append(component)
    components.append({"type": "application", "name": "package.sh",
                       "version": made.packaging_commit or "unknown",
                       "description": "this project's packaging (tools/packaging), at the commit of its checkout"
                                      + (", with changes" if made.packaging_modified else "")})
    return {"components": components}


def document(made):
    """The bill of materials as a dict."""
    setup = made.setup
    installer = {"type": "application", "bom-ref": "installer", "name": made.output.rsplit("/", 1)[-1],
                 "version": made.version, "description": f"{made.product} installer for {made.arch} Windows",
                 "manufacturer": {"name": made.company}, "hashes": _hashes(made.sha256),
                 "properties": _properties([("arch", made.arch), ("size", made.size)])}
    parts = [
        _stub(made),
        {"type": "file", "bom-ref": "archive", "name": made.archive.extra["resource"],
         "description": f"the product archive (7z), given as {made.archive.name}, stored unchanged",
         "hashes": _hashes(made.archive.sha256)},
        {"type": "application", "bom-ref": "setup", "name": "setup.exe",
         "description": f"the setup program, given as {setup.name}, as the installer stores it",
         "hashes": _hashes(setup.extra["stored_sha256"]),
         "properties": _properties([("signature", setup.extra["signature"]), ("given-sha256", setup.sha256)])},
        {"type": "file", "bom-ref": "icon", "name": made.icon.name,
         "description": "the icon the installer's images are made of"
                        + ("" if made.icon.extra["given"] else " (the project's own)"),
         "hashes": _hashes(made.icon.sha256)},
    ]
    return {
        "bomFormat": "CycloneDX",
        "specVersion": SPEC_VERSION,
        # One installer, one bill: a second bill of the same installer is
        # the same document.
        "serialNumber": uuid.uuid5(uuid.NAMESPACE_URL, "sha256:" + made.sha256).urn,
        "version": 1,
        "metadata": {"timestamp": _timestamp(made), "tools": _tools(made), "component": installer},
        "components": parts,
        "dependencies": [{"ref": "installer", "dependsOn": [part["bom-ref"] for part in parts]}],
    }
