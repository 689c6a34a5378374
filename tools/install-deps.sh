#!/usr/bin/env bash
# Installs the Debian packages that packaging, a build or a test run needs,
# and only those that are missing (apt-get update runs once, only when
# something is missing). For a test run also, from the npm registry, the
# workflow validator at the versions that tests/acceptance/package-lock.json
# pins, into build/npm, and CycloneDX's published JSON schemas at the version
# that tests/packaging/package-lock.json pins, into build/npm-cyclonedx.
#   tools/install-deps.sh package|build|test
#   tools/install-deps.sh --list package|build|test   (prints the set, one a line)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

# package.sh: no compiler, linker or CMake among them.
package_packages=(
    python3 python3-pefile           # the writer and the structure check
    python3-pil                      # the icon's images
    7zip                             # the archive's test
    gcab                             # the setup program's cabinet
    osslsigncode openssl             # signing and its verification
    libengine-pkcs11-openssl         # signing with a key on a PKCS#11 token
    sbsigntool                       # sbverify, the second verifier
)
# ./build.sh: the stubs and tools, and the demo and test installers (made by
# package.sh, so the packaging set too).
build_packages=(
    cmake make clang llvm            # compiler, llvm-dlltool/llvm-readobj
    lld-22                           # the linker (bookworm-security; see the toolchain files)
    mingw-w64-common                 # Windows headers (no run-time is linked)
)
test_packages=(
    icoutils imagemagick             # pictures and icons the packaging tests hand in
    strace time                      # bench.sh packaging: the programs a run executes, its peak memory
    nsis                             # bench.sh: makensis, the peer installer measured beside ours
    wine64                           # runs the x64 programs
    g++-mingw-w64-x86-64-posix       # builds GoogleTest and the behaviour tests
    googletest                       # GoogleTest sources
    libclang-rt-14-dev               # libFuzzer and the sanitizers for the fuzz tier
    mmdebstrap qemu-user-static      # the ARM64 Wine root and its emulation
    softhsm2 gnutls-bin              # the packaging tests' token and p11tool, which makes its key
    python3-jsonschema               # validates the bill of materials against CycloneDX's schema
    python3-securesystemslib         # verifies the provenance's signature, as a third party would
    python3-pytest                   # the one runner of every tier (tests/harness)
    python3-pytest-subtests          # the unittest cases' subTest tables, each reported
)

list=0
if [ "${1:-}" = --list ]; then
    list=1
    shift
fi
mode=${1:-build}
case "$mode" in
    package) wanted=("${package_packages[@]}") ;;
    build) wanted=("${package_packages[@]}" "${build_packages[@]}") ;;
    test) wanted=("${package_packages[@]}" "${build_packages[@]}" "${test_packages[@]}") ;;
    *) echo "usage: $0 package|build|test" >&2; exit 2 ;;
esac

if [ $list = 1 ]; then
    printf '%s\n' "${wanted[@]}"
    exit 0
fi

missing=()
for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
# The validator runs on Node.js: the machine's own when it has one (which may
# come from outside Debian, with npm inside it), else Debian's.
if [ "$mode" = test ] && ! { command -v node && command -v npm; } >/dev/null; then
    missing+=(nodejs npm)
fi
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    if [ "$(id -u)" != 0 ]; then
        echo "missing packages and not root: install them with apt-get" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    # Other builds on the same machine may be running apt: wait for its lock.
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null
fi

# Installs what a package-lock.json pins, again only when the pinned versions
# change: npm_install SOURCE TARGET WHAT MARK [npm ci options], where MARK is
# a file the install leaves. A failure here (the registry out of reach)
# leaves the other tiers to run; the tests that need it then fail and say why.
npm_install() {
    local source=$1 target=$2 what=$3 mark=$4
    shift 4
    if ! cmp -s "$source/package-lock.json" "$target/package-lock.json" || [ ! -e "$target/$mark" ]; then
        echo "installing $what (npm)"
        rm -rf "$target"
        mkdir -p "$target"
        cp "$source/package.json" "$source/package-lock.json" "$target/"
        (cd "$target" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error "$@" >/dev/null) ||
            echo "$what could not be installed with npm" >&2
    fi
}
if [ "$mode" = test ]; then
    npm_install "$repo/tests/acceptance" "$repo/build/npm" "the workflow validator" \
        node_modules/.bin/action-validator
    # Only the schemas are used: the library's peers (validators, XML) are not
    # installed.
    npm_install "$repo/tests/packaging" "$repo/build/npm-cyclonedx" "CycloneDX's JSON schemas" \
        node_modules/@cyclonedx/cyclonedx-library/res/schema/bom-1.6.SNAPSHOT.schema.json --legacy-peer-deps
fi
