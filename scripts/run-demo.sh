#!/bin/bash
# Installs, builds and shows the system working on the host.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build/release
if [ -x build/release/bin/tonvale ]; then
    build/release/bin/tonvale -h
fi
