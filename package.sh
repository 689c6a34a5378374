#!/usr/bin/env bash
# Turns a release's own product archive and setup program into a finished
# installer: ./package.sh --help for the options. The work is done by
# tools/packaging/package.py; this only makes sure Debian's python3 is there
# to run it (as root, it installs what the build needs when it is missing).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ ! -x /usr/bin/python3 ]; then
    "$here/tools/install-deps.sh" build >&2
fi
exec /usr/bin/python3 "$here/tools/packaging/package.py" "$@"
