#!/bin/sh
# The ARM64 emulation's sessions by hand: setup, run, teardown, env
# (tests/harness/arm64.py says what each does; the test run uses it directly).
exec /usr/bin/python3 "$(dirname "$(realpath "$0")")/../harness/arm64.py" "$@"
