"""Signing with osslsigncode (a PKCS#12 file, or a key on a PKCS#11 token),
RFC 3161 time stamps, and the verification of the result by two independent
verifiers. Every wait on a token or an authority is bounded."""

import contextlib
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import progress
from masking import without_secrets

SYSTEM_ROOTS = Path("/etc/ssl/certs/ca-certificates.crt")
TIMED_OUT = object()


class SigningFailed(Exception):
    """Signing, time-stamping or verification failed (exit 4)."""


def read_pkcs12(pkcs12, password_file, *what):
    """openssl pkcs12 on the file, with the -legacy provider as a second try
    (older files use algorithms that OpenSSL 3 keeps there)."""
    command = ["openssl", "pkcs12", "-in", pkcs12, "-passin", "file:" + password_file, *what]
    opened = subprocess.run(command, capture_output=True, text=True)
    if opened.returncode:
        opened = subprocess.run(command[:2] + ["-legacy"] + command[2:], capture_output=True, text=True)
    return opened


def run_bounded(command, log, seconds, stdin_text=None, what=None):
    """Runs `command` with its output in the file `log`; its exit status, or
    TIMED_OUT when it had not ended after `seconds` (it and whatever it
    started are then killed). `stdin_text` reaches it through a pipe. With
    `what`, it is a step of its own, whose time taken a terminal is shown."""
    step = progress.Step(what) if what else progress.Quiet()
    deadline = time.monotonic() + seconds
    with open(log, "w") as output, step if what else contextlib.nullcontext():
        process = subprocess.Popen(command, stdin=subprocess.PIPE if stdin_text is not None else subprocess.DEVNULL,
                                   stdout=output, stderr=subprocess.STDOUT, start_new_session=True)
        given = stdin_text.encode() if stdin_text is not None else None
        while True:
            try:
                process.communicate(given, timeout=min(progress.INTERVAL, max(deadline - time.monotonic(), 0)))
                break
            except subprocess.TimeoutExpired:
                # The input is written once; later calls only wait.
                given = None
                if time.monotonic() >= deadline:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()
                    return TIMED_OUT
                step.advance()
    return process.returncode


def _log_text(path):
    with open(path, errors="replace") as log:
        return log.read()


def token_failure(options, log):
    """Why a signing through the token failed, in the engineer's terms."""
    text = _log_text(log)
    if re.search(r"PIN incorrect|PIN_INCORRECT|PIN len|PIN_LEN_RANGE|PIN locked|PIN_LOCKED", text):
        source = f"first line of {options.sign_pin_file}" if options.sign_pin_file else "PACKAGE_SIGN_PIN"
        said = re.search(r"PIN [a-z ]+", text)
        return f"the token refused the PIN ({source}): {said.group(0) if said else ''}"
    if "key values mismatch" in text:
        return f"no certificate in --sign-certificates {options.sign_certificates} belongs to the key " \
               f"{options.sign_key_uri}"
    if re.search(r"object not found|No matching initialized token|private key was not found", text):
        return f"--sign-key-uri {options.sign_key_uri} names no private key on the token of {options.sign_module}"
    sys.stderr.write(text)
    return "osslsigncode could not sign with the token"


def chain_of(options, work):
    """The PEM file of the signer's certificates: those of the PKCS#12 file,
    or --sign-certificates."""
    chain = work / "chain.pem"
    if options.sign_pkcs12:
        certificates = read_pkcs12(options.sign_pkcs12, options.sign_password_file, "-nokeys")
        if certificates.returncode:
            raise SigningFailed(f"the certificates could not be read from {options.sign_pkcs12}")
        chain.write_text(certificates.stdout)
    else:
        chain.write_bytes(Path(options.sign_certificates).read_bytes())
    return chain


def token_pin(options):
    """The token's PIN: the first line of --sign-pin-file, or what
    PACKAGE_SIGN_PIN held."""
    if not options.sign_pin_file:
        return options.sign_pin
    with open(options.sign_pin_file, "rb") as file:
        return file.readline().decode(errors="surrogateescape").rstrip("\n").rstrip("\r")


def sign(options, unsigned, staged, work, what="installer"):
    """Signs the program `unsigned` into `staged`; returns the PEM file of the
    signer's certificates. `what` names it in messages."""
    log = work / "sign.log"
    if options.sign_pkcs12:
        status = run_bounded(["osslsigncode", "sign", "-pkcs12", options.sign_pkcs12,
                              "-readpass", options.sign_password_file, "-h", "sha256",
                              "-in", str(unsigned), "-out", str(staged)], log, options.sign_timeout,
                             what=f"signing the {what} with osslsigncode")
        if status is TIMED_OUT or status:
            sys.stderr.write(_log_text(log))
            raise SigningFailed(f"signing the {what} failed")
        return chain_of(options, work)

    # The PIN goes through a pipe: on a command line or in an environment any
    # user of the machine could read it. /dev/stdin rather than "-", which
    # older osslsigncode takes for a file. A token or HSM connection that
    # hangs must not hold the release forever.
    status = run_bounded(["osslsigncode", "sign", "-pkcs11module", options.sign_module,
                          "-key", options.sign_key_uri, "-certs", options.sign_certificates,
                          "-readpass", "/dev/stdin", "-h", "sha256", "-in", str(unsigned), "-out", str(staged)],
                         log, options.sign_timeout, stdin_text=token_pin(options) + "\n",
                         what=f"signing the {what} with osslsigncode (the token)")
    if status is TIMED_OUT:
        raise SigningFailed(f"signing failed: the token did not sign within {options.sign_timeout} s")
    if status:
        raise SigningFailed(f"signing failed: {token_failure(options, log)}")
    return chain_of(options, work)


def add_time_stamp(options, staged, work, what="installer"):
    """Each authority in turn until one answers, each given a bounded time: an
    authority that takes the connection and never answers would otherwise
    hold the release forever. Returns the URL of the one that answered."""
    stamped, log = Path(str(staged) + ".stamped"), work / "timestamp.log"
    for url in options.timestamp_urls:
        status = run_bounded(["osslsigncode", "add", "-ts", url, "-h", "sha256", "-in", str(staged),
                              "-out", str(stamped)], log, options.timestamp_timeout,
                             what=f"time-stamping the {what} by {without_secrets(url)}")
        if status == 0:
            os.replace(stamped, staged)
            return url
        stamped.unlink(missing_ok=True)
        if status is TIMED_OUT:
            print(f"package.sh: time-stamp authority {without_secrets(url)}: no answer within "
                  f"{options.timestamp_timeout} s",
                  file=sys.stderr)
        else:
            said = re.search(r"^.*(error|failure|Failed).*$", _log_text(log), re.M)
            print(f"package.sh: time-stamp authority {without_secrets(url)}: {said.group(0) if said else ''}",
                  file=sys.stderr)
    raise SigningFailed(f"no time-stamp authority answered "
                        f"({' '.join(without_secrets(url) for url in options.timestamp_urls)})")


def verify(options, staged, chain, work, what="installer", stamped=None):
    """The signer's own certificates are trusted, so that a certificate of the
    engineer's own (self-signed, or from a private CA) verifies too, and so
    are the system's root certificates, for a chain that stops below its root.
    This checks the signature, the file's digest and the time stamp, not
    whether Windows will trust the certificate. sbverify computes the image's
    digest with code of its own: two verifiers that agree. `stamped`: whether
    a time stamp must be there (default: when one was asked for); one that is
    there is verified either way."""
    if stamped is None:
        stamped = bool(options.timestamp_urls)
    trusted = work / "trusted.pem"
    text = chain.read_bytes()
    if os.access(SYSTEM_ROOTS, os.R_OK):
        text += SYSTEM_ROOTS.read_bytes()
    trusted.write_bytes(text)
    arguments = ["-CAfile", str(trusted)]
    if options.timestamp_ca:
        arguments += ["-TSA-CAfile", options.timestamp_ca]
    elif os.access(SYSTEM_ROOTS, os.R_OK):
        arguments += ["-TSA-CAfile", str(SYSTEM_ROOTS)]
    log = work / "verify.log"
    status = run_bounded(["osslsigncode", "verify", *arguments, "-in", str(staged)], log, 600,
                         what=f"verifying the {what} with osslsigncode")
    said = _log_text(log)
    lines = said.splitlines()
    if status is TIMED_OUT or status or (
            stamped and "Timestamp Server Signature verification: ok" not in lines):
        wrong = [line for line in lines if re.search(r"fail|error|unsupported|invalid|mismatch", line, re.I)]
        sys.stderr.write("\n".join(wrong or lines[-5:]) + "\n")
        raise SigningFailed(f"the signed {what} does not verify")
    said_of = "" if what == "installer" else f" ({what})"
    for line in lines:
        if re.match(r"(Timestamp Server )?Signature verification: ", line):
            print(f"osslsigncode verify{said_of}: " + line, file=sys.stderr)

    # sbverify takes one certificate to trust: any one of the chain will do.
    anchors = re.findall(rb"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----", chain.read_bytes(), re.S)
    sbverify_log = work / "sbverify.log"
    for number, anchor in enumerate(anchors, 1):
        anchor_file = work / f"anchor-{number}.pem"
        anchor_file.write_bytes(anchor + b"\n")
        if run_bounded(["sbverify", "--cert", str(anchor_file), str(staged)], sbverify_log, 600,
                       what=f"verifying the {what} with sbverify") == 0:
            said = _log_text(sbverify_log)
            first = next((line for line in said.splitlines() if "Signature verification" in line), "")
            print(f"sbverify{said_of}: " + first, file=sys.stderr)
            return
    if sbverify_log.exists():
        sys.stderr.write(_log_text(sbverify_log))
    raise SigningFailed(f"the signed {what} does not verify with sbverify")
