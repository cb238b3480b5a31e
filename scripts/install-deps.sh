#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, when they are missing.
set -euo pipefail
need=()
for pkg in g++ cmake ninja-build zlib1g-dev libssl-dev libgtest-dev libbenchmark-dev "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${need[@]}"
fi
