"""Secrets kept out of what a run writes or says: the provenance's command
line, the report, the output line and the messages."""

import re

MASK = "***"


def without_secrets(argument):
    """An argument as recorded: a user name and password in a URL (a
    time-stamp authority's, say), an http URL's query and a PIN in a pkcs11:
    URI are masked.
    Nothing else on package.sh's command line is secret: the password and
    the PIN only ever come from files (whose paths are recorded) or from the
    environment (which is not)."""
    argument = re.sub(r"(?i)\b([a-z][a-z0-9+.-]*://)[^/?#@\s]*@", lambda m: m.group(1) + MASK + "@", argument)
    # A query may carry an access key (some authorities are reached so).
    argument = re.sub(r"(?i)\b(https?://[^?#\s]*\?)[^#\s]*", lambda m: m.group(1) + MASK, argument)
    return re.sub(r"(?i)(pin-value=)[^;?&]*", lambda m: m.group(1) + MASK, argument)
