#!/usr/bin/env bash
# Installs the Debian packages velaseg needs to build, test and run.
# Idempotent: only missing packages are installed, and the package index is
# refreshed at most once per call.
set -euo pipefail

packages=(build-essential cmake pkg-config libpcl-dev libgtest-dev libcli11-dev nlohmann-json3-dev libtbb-dev xvfb xauth)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi

echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
