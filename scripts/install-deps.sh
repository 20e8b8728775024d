#!/bin/sh
# Installs every host build and test dependency from Debian, and the packages named as
# arguments (what a benchmark or the cross build needs besides). Safe to run again.
# As root it installs directly; otherwise through sudo, and without sudo it names what is missing.
set -eu

# libsndfile: the demo player's WAV files; gnuplot: the demo's level picture; blueprint-tools
# and mini-soong: the build tests read Android.bp with Blueprint's own parser and formatter.
PKGS="android-libutils-dev android-liblog-dev android-libcutils-dev android-libbase-dev \
android-platform-frameworks-native-headers libgtest-dev libgmock-dev libbenchmark-dev \
toybox cmake ninja-build g++ clang libclang-rt-dev python3 nlohmann-json3-dev \
libsndfile1-dev gnuplot-nox blueprint-tools mini-soong $*"

missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $p"
done

if [ -n "$missing" ]; then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "install-deps.sh: missing packages:$missing" >&2
            echo "install-deps.sh: not root and no sudo; as root run: apt-get install$missing" >&2
            exit 1
        fi
        SUDO=sudo
    fi
    $SUDO apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi
