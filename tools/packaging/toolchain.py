"""The tools that made an installer, and their versions: the Debian packages
that provide them, as dpkg knows them (the version a third party can fetch
again), for the bill of materials and the provenance."""

import platform
import subprocess
from dataclasses import dataclass


@dataclass
class Tool:
    name: str       # as the documents name it
    package: str    # the Debian package that provides it
    purpose: str
    version: str = "unknown"
    architecture: str = ""

    @property
    def purl(self):
        """Its package URL (the purl spec's deb type)."""
        if self.version == "unknown":
            return None
        quoted = self.version.replace("+", "%2B").replace(":", "%3A").replace("~", "%7E")
        arch = f"?arch={self.architecture}" if self.architecture else ""
        return f"pkg:deb/debian/{self.package}@{quoted}{arch}"


def used(options):
    """The tools this run uses, in the order it uses them."""
    tools = [Tool("Python", "python3", "runs the packaging"),
             Tool("pefile", "python3-pefile", "reads the stub, the setup program and the installer"),
             Tool("Pillow", "python3-pil", "makes the icon's images"),
             Tool("7-Zip", "7zip", "tests the archive (7zz t)")]
    if options.storage == "BL":
        tools.append(Tool("gcab", "gcab", "makes the setup program's cabinet"))
    if options.signed:
        tools += [Tool("osslsigncode", "osslsigncode", "signs, time-stamps and verifies"),
                  Tool("OpenSSL", "openssl", "reads the signing key's certificates, signs the provenance"),
                  Tool("sbsigntool", "sbsigntool", "verifies the signatures (sbverify)")]
        if options.token:
            tools.append(Tool("libp11 engine", "libengine-pkcs11-openssl", "reaches the key on the token"))
    return with_versions(tools)


def with_versions(tools):
    """`tools` with the installed version of each one's package filled in
    (left "unknown" where dpkg does not know it, as on a host without it)."""
    try:
        listed = subprocess.run(["dpkg-query", "-W", "-f", "${Package}\t${Version}\t${Architecture}\n",
                                 *[tool.package for tool in tools]], capture_output=True, text=True,
                                stdin=subprocess.DEVNULL).stdout
    except OSError:
        listed = ""
    known = {}
    for line in listed.splitlines():
        parts = line.split("\t")
        if len(parts) == 3 and parts[1]:
            known[parts[0]] = parts[1:]
    for tool in tools:
        if tool.package in known:
            tool.version, tool.architecture = known[tool.package]
        elif tool.package == "python3":
            tool.version = platform.python_version()
    return tools
