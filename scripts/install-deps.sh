#!/bin/sh
# Installs every host build and test dependency from Debian. Safe to run again.
set -eu

PKGS="android-libutils-dev android-liblog-dev android-libcutils-dev \
android-platform-frameworks-native-headers libgtest-dev libgmock-dev libbenchmark-dev \
toybox cmake ninja-build g++ clang libclang-rt-dev python3 nlohmann-json3-dev"

missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done

if [ -n "$missing" ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi
