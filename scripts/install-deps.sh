#!/usr/bin/env bash
# Installs, with apt-get, whatever of the build and test tools a fresh Debian machine lacks.
# usage: scripts/install-deps.sh [host|all]   (host: enough for scanfw-sim; all: every test)
set -euo pipefail

want=${1:-all}
packages=(cmake ninja-build g++ make googletest libgtest-dev nlohmann-json3-dev libssl-dev openssl time python3 clang-format)
if [ "$want" = all ]; then
  packages+=(mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
             wine wine64 python3 python3-pefile python3-jsonschema clang libclang-rt-14-dev llvm
             osslsigncode openssl softhsm2 libengine-pkcs11-openssl)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
