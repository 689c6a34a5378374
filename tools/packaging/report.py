"""What a finished run tells: one line for the engineer."""

import hashlib


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def summary(output, arch, size, digest, signed, stamped_by):
    return (f"{output}: {arch} installer, {size} bytes, sha256 {digest}" + (", signed" if signed else "")
            + (f", time-stamped by {stamped_by}" if stamped_by else ""))
