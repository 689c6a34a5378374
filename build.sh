#!/usr/bin/env bash
# Builds the installers with the demo payload:
#   build/arm64/installer.exe  (the product: 64-bit ARM Windows)
#   build/x64/installer.exe    (the same code for x64 Windows)
#   build/arm64/kit/, build/x64/kit/  (the acceptance kit for a Windows machine)
# Installs what is missing first (Debian 12, as root).
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh build
CMAKE_BUILD_PARALLEL_LEVEL=$(nproc) cmake --workflow --preset product
ls -l build/arm64/installer.exe build/x64/installer.exe
ls -l build/arm64/kit build/x64/kit
