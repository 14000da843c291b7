#!/usr/bin/env bash
# Debian 12: installs what the default build and its tests need (as root;
# otherwise names the apt-get command to run), then builds and runs the demo.
#   ./setup.sh              install, configure, build, run the demo
#   ./setup.sh --packages   print the package list, one a line (.ci/run reads it)
set -euo pipefail
cd "$(dirname "$0")"

packages=(
  cmake make g++ binutils          # the build; ModuleTest runs nm
  googletest libgtest-dev          # the tests; cross builds compile the sources
  libssl-dev libmount-dev pkgconf  # pelk-mapcopy: libcrypto, libmount
  nlohmann-json3-dev libcpp-httplib-dev  # its log and the station's page
  fusefat fuse3 dosfstools         # the FAT card tests: mkfs.fat, fusefat, fusermount, fsck.fat
                                   # (fuse3, not fuse: the pull test's guestmount needs fuse3)
  procps                           # pgrep: those tests wait for fusefat to end
  chromium                         # the station page's browser tests
)

if [ "${1:-}" = --packages ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

if [ "$(id -u)" = 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${packages[@]}"
else
  missing=()
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -qx "install ok installed" || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "setup.sh: not root, and these packages are missing: ${missing[*]}" >&2
    echo "setup.sh: run as root, then run ./setup.sh again:" >&2
    echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
fi

cmake --preset default
cmake --build --preset default --target demo
