#!/usr/bin/env bash
# Installs the Debian packages zephon needs to build, test and run its demo.
# Does nothing when they are all present already.
set -euo pipefail

packages=(g++ cmake make pkg-config libfmt-dev nlohmann-json3-dev libgtest-dev libgmock-dev
          libbenchmark-dev linux-libc-dev python3 strace
          gnuplot-nox dpkg-dev time clang-19 libclang-rt-19-dev liblua5.4-dev fcode-utils "$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
