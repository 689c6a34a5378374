"""A DSSE envelope (Dead Simple Signing Envelope, v1) around a payload,
signed with the installer's own key: the PKCS#12 file's, or the token's
through its PKCS#11 module. OpenSSL signs the envelope's pre-authentication
encoding; the key never leaves the file or the token, and the PIN reaches
OpenSSL only through a pipe. The signature is verified with the signing
certificate's public key before the envelope is handed out.

The signature's key id is the SHA-256 of the public key (its DER
SubjectPublicKeyInfo), which anyone holding the certificate can compute."""

import base64
import hashlib
import re
import subprocess
from pathlib import Path

from signing import TIMED_OUT, SigningFailed, run_bounded, token_pin

ENGINE_CONFIG = """openssl_conf = init
[init]
engines = engines
[engines]
pkcs11 = pkcs11_section
[pkcs11_section]
engine_id = pkcs11
MODULE_PATH = {module}
"""


def pae(payload_type, payload):
    """DSSE's pre-authentication encoding: what is signed."""
    kind = payload_type.encode()
    return b"DSSEv1 %d %s %d %s" % (len(kind), kind, len(payload), payload)


def _openssl(*arguments, data):
    return subprocess.run(["openssl", *arguments], input=data, capture_output=True)


def signer_key(certificate_pem):
    """(the PEM public key, the key id, the digest, securesystemslib's key
    type and scheme) of the signing certificate."""
    public = _openssl("x509", "-noout", "-pubkey", data=certificate_pem)
    text = _openssl("x509", "-noout", "-text", data=certificate_pem)
    der = _openssl("pkey", "-pubin", "-outform", "DER", data=public.stdout)
    if public.returncode or text.returncode or der.returncode:
        raise SigningFailed("the signing certificate's public key cannot be read")
    described = text.stdout.decode(errors="replace")
    if "rsaEncryption" in described:
        kind, scheme, digest = "rsa", "rsa-pkcs1v15-sha256", "sha256"
    elif "NIST CURVE: P-256" in described:
        kind, scheme, digest = "ecdsa", "ecdsa-sha2-nistp256", "sha256"
    elif "NIST CURVE: P-384" in described:
        kind, scheme, digest = "ecdsa", "ecdsa-sha2-nistp384", "sha384"
    else:
        raise SigningFailed("the signing key is neither RSA nor ECDSA on P-256 or P-384, which DSSE verifiers take")
    return public.stdout.decode(), hashlib.sha256(der.stdout).hexdigest(), digest, kind, scheme


def signing_certificate(options, work):
    """The signing certificate (PEM): the PKCS#12 file's own, or the first of
    --sign-certificates, where the signing certificate comes first."""
    if options.sign_pkcs12:
        from signing import read_pkcs12

        read = read_pkcs12(options.sign_pkcs12, options.sign_password_file, "-nokeys", "-clcerts")
        text = read.stdout if read.returncode == 0 else ""
    else:
        text = Path(options.sign_certificates).read_text(errors="replace")
    first = re.search(r"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----", text, re.S)
    if not first:
        raise SigningFailed("the signing certificate cannot be read for the provenance's signature")
    return (first.group(0) + "\n").encode()


def _sign(options, data_file, signature_file, digest, work):
    log = work / "dsse-sign.log"
    if options.sign_pkcs12:
        command = ["openssl", "dgst", "-" + digest, "-sign", options.sign_pkcs12, "-keyform", "P12",
                   "-passin", "file:" + options.sign_password_file, "-out", str(signature_file), str(data_file)]
        status = run_bounded(command, log, options.sign_timeout, what="signing the provenance")
        if status not in (0, TIMED_OUT):
            # Older PKCS#12 files use algorithms that OpenSSL 3 keeps in its
            # legacy provider.
            status = run_bounded(command[:2] + ["-provider", "legacy", "-provider", "default"] + command[2:], log,
                                 options.sign_timeout)
    else:
        config = work / "engine.cnf"
        config.write_text(ENGINE_CONFIG.format(module=options.sign_module))
        command = ["env", f"OPENSSL_CONF={config}", "openssl", "dgst", "-" + digest, "-engine", "pkcs11",
                   "-keyform", "engine", "-sign", options.sign_key_uri, "-passin", "stdin",
                   "-out", str(signature_file), str(data_file)]
        status = run_bounded(command, log, options.sign_timeout, stdin_text=token_pin(options) + "\n",
                             what="signing the provenance (the token)")
    if status is TIMED_OUT:
        raise SigningFailed(f"signing the provenance failed: the key did not sign within {options.sign_timeout} s")
    if status:
        said = log.read_text(errors="replace").strip().splitlines()
        raise SigningFailed("signing the provenance failed: " + (said[-1] if said else "openssl failed"))


def envelope(options, payload_type, payload, work):
    """The signed envelope as a dict."""
    certificate = signing_certificate(options, work)
    public, keyid, digest, _, _ = signer_key(certificate)
    data, signature, public_file = work / "dsse.pae", work / "dsse.sig", work / "dsse-public.pem"
    data.write_bytes(pae(payload_type, payload))
    _sign(options, data, signature, digest, work)
    public_file.write_text(public)
    checked = subprocess.run(["openssl", "dgst", "-" + digest, "-verify", str(public_file), "-signature",
                              str(signature), str(data)], capture_output=True, stdin=subprocess.DEVNULL)
    if checked.returncode:
        raise SigningFailed("the provenance's signature does not verify with the signing certificate's key")
    return {"payloadType": payload_type, "payload": base64.b64encode(payload).decode(),
            "signatures": [{"keyid": keyid, "sig": base64.b64encode(signature.read_bytes()).decode()}]}
