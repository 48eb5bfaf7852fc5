#!/usr/bin/env bash
# VantoryUSB's one entry point, from plain bash on a Debian 12 machine (as root, or with
# sudo at hand): installs what it needs, then builds and runs.
#
#   ./build.sh test            every preset's build and test suite (host, host-asan,
#                              host-tsan, win32 and win64 under Wine)
#   ./build.sh test PRESET...  only those presets
#   ./build.sh build PRESET... configure and build only
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
root=$(pwd)

all_presets=(host host-asan host-tsan win32 win64)

packages_for() {
  local need=(cmake ninja-build g++ openjdk-17-jdk-headless googletest libbenchmark-dev junit5)
  local p
  for p in "$@"; do
    case $p in
      win32) need+=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine32:i386) ;;
      win64) need+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64) ;;
    esac
  done
  printf '%s\n' "${need[@]}" | sort -u
}

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

install_packages() {
  local missing=() p
  for p in $(packages_for "$@"); do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
    as_root dpkg --add-architecture i386
  fi
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

# A private Wine prefix under build/, made once; Mono and Gecko are never offered.
prepare_wine() {
  export WINEPREFIX=$root/build/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/.ready" ]; then
    echo "== preparing the Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    DISPLAY= wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
    touch "$WINEPREFIX/.ready"
  fi
}

build_preset() {
  local preset=$1
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
}

test_preset() {
  local preset=$1
  case $preset in win32|win64) prepare_wine ;; esac
  echo "== $preset: tests"
  ctest --preset "$preset" -j2
}

command=${1:-test}
shift || true
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=("${all_presets[@]}")

case $command in
  test)
    install_packages "${presets[@]}"
    for p in "${presets[@]}"; do build_preset "$p"; test_preset "$p"; done
    ;;
  build)
    install_packages "${presets[@]}"
    for p in "${presets[@]}"; do build_preset "$p"; done
    ;;
  *)
    echo "usage: $0 test|build [PRESET...]" >&2
    exit 2
    ;;
esac
