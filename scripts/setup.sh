#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(cmake make g++-mingw-w64-i686 wine wine32:i386 wine64 msitools gcab googletest xvfb xdotool python3)

missing=()
for pkg in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
    command -v sudo >/dev/null || { echo "setup: need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
else
    SUDO=
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
if ! $SUDO apt-get update -qq || ! $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null; then
    echo "setup: could not install ${missing[*]} (is a Debian mirror reachable?)" >&2
    exit 1
fi
