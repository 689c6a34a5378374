"""The provenance of the packaging step: an in-toto Statement (v1) whose
predicate is SLSA Provenance (v1). Its subject is the installer; its
materials every input, the ready stub and the commit it was built from
included; its parameters the command line, less any secret."""

import os
import uuid
from pathlib import Path

from masking import without_secrets

STATEMENT_TYPE = "https://in-toto.io/Statement/v1"
PREDICATE_TYPE = "https://slsa.dev/provenance/v1"
PAYLOAD_TYPE = "application/vnd.in-toto+json"
# What the parameters mean: this project's packaging of an installer. A name,
# not a page to fetch (the .invalid domain is never anyone's).
BUILD_TYPE = "https://tolvane.invalid/installer-stub/package/v1"
BUILDER_ID = "https://tolvane.invalid/installer-stub/package.sh"
def _uri(path):
    return Path(os.path.abspath(path)).as_uri()


def _material(name, part, **more_digests):
    return {"name": name, "uri": _uri(part.path), "digest": {"sha256": part.sha256, **more_digests}}


def statement(made, options):
    """The Statement as a dict."""
    stub = made.stub
    commit = stub.extra["commit"]
    stub_material = _material("stub", stub, **({"gitCommit": commit} if commit else {}))
    stub_material["annotations"] = {"sourceModified": stub.extra["modified"], "commitKnown": bool(commit)}
    materials = [stub_material,
                 _material("--archive", made.archive),
                 _material("--setup", made.setup),
                 _material("--icon" if made.icon.extra["given"] else "icon", made.icon),
                 _material("manifest", made.manifest)]
    builder_version = {"package.sh": made.packaging_commit or "unknown"}
    builder_version.update({tool.name: tool.version for tool in made.tools})
    return {
        "_type": STATEMENT_TYPE,
        "subject": [{"name": os.path.basename(made.output), "digest": {"sha256": made.sha256}}],
        "predicateType": PREDICATE_TYPE,
        "predicate": {
            "buildDefinition": {
                "buildType": BUILD_TYPE,
                "externalParameters": {
                    "command": ["package.sh", *[without_secrets(argument) for argument in options.argv]],
                    "workingDirectory": made.cwd,
                    "environment": made.environment,
                },
                "internalParameters": {"arch": made.arch, "storage": options.storage,
                                       "setupSignature": made.setup.extra["signature"],
                                       "executionLevel": made.manifest.extra["execution_level"]},
                "resolvedDependencies": materials,
            },
            "runDetails": {
                "builder": {"id": BUILDER_ID, "version": builder_version},
                "metadata": {"invocationId": uuid.uuid4().urn,
                             "startedOn": made.started.strftime("%Y-%m-%dT%H:%M:%SZ"),
                             "finishedOn": made.finished.strftime("%Y-%m-%dT%H:%M:%SZ")},
                "byproducts": [{"name": "setup.exe", "digest": {"sha256": made.setup.extra["stored_sha256"]},
                                "annotations": {"storedAs": "BL cabinet" if options.storage == "BL" else "BN"}}],
            },
        },
    }
