#!/usr/bin/env bash
# VantoryUSB's one entry point, from plain bash on a Debian 12 machine (as root, or with
# sudo at hand): installs what it needs, then builds and runs.
#
#   ./build.sh test            every preset's build and test suite: the host suites built
#                              with coverage counters (and the coverage report), host-asan
#                              (with short fuzz runs), host-tsan, win32 and win64 under Wine
#   ./build.sh test PRESET...  only those presets
#   ./build.sh build PRESET... configure and build only
#   ./build.sh demo [--driver=maker]
#                              the receipt demo: installs and builds only what it needs
#                              (host library, simulator, Java classes), then runs it
#   ./build.sh lab [OPTIONS]   the printer lab: the demo till printing a receipt every few
#                              seconds under the lab's agent, whose panel's address it prints
#                              (OPTIONS as the agent takes them: driver=maker,port=8123,...)
#   ./build.sh dist            the release package: both Windows DLLs, the README and
#                              their checksums in build/dist/VantoryUSB-<version>-windows.zip;
#                              runs the suites that prove each DLL when they have not run it
#   ./build.sh coverage        line and branch coverage of src/ by the host suites (gcovr)
#   ./build.sh soak            the long soak: sessions and replugs with every byte counted
#   ./build.sh fuzz [SECONDS]  each fuzz target for SECONDS (default 600) from its seeds
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
root=$(pwd)

# The host suites run once, in the coverage build; `host` (the optimized build the demo and
# the benchmarks use) can be tested by name.
all_presets=(coverage host-asan host-tsan win32 win64)

# The demo's own needs: compilers, the JDK, libpng, zlib, libzint and libqrencode for the
# receipt picture, JUnit 5
# (the simulator's jar carries the printer lab's JUnit extension), and the
# console font it is drawn with.
demo_packages=(cmake ninja-build g++ pkg-config openjdk-17-jdk-headless libpng-dev zlib1g-dev libzint-dev
               libqrencode-dev console-setup-linux junit5)

packages_for() {
  # zbar and ZXing read the barcodes and codes of receipt pictures back in the tests.
  local need=("${demo_packages[@]}" googletest libbenchmark-dev junit5 libzbar-dev libzxing-dev zbar-tools)
  local p
  for p in "$@"; do
    case $p in
      # clang with libFuzzer builds the address-sanitizer suites and the fuzz targets;
      # llvm-symbolizer turns a sanitizer's addresses into source lines.
      host-asan) need+=(clang libclang-rt-14-dev llvm) ;;
      # The printer lab's browser tests run with the Java tests.
      coverage) need+=(gcovr chromium chromium-driver python3-selenium) ;;
      host) need+=(chromium chromium-driver python3-selenium) ;;
      win32) need+=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine32:i386) ;;
      win64) need+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64) ;;
    esac
  done
  printf '%s\n' "${need[@]}" | sort -u
}

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# Runs one step of the work, saying what it is and, when it is done, how long it took.
step() {
  local what=$1
  shift
  local started=$SECONDS
  echo "== $what"
  "$@"
  echo "== $what: done in $((SECONDS - started)) s"
}

# A package server that fails now and then is tried once more, after a pause.
retry_once() {
  "$@" && return 0
  echo "== failed; trying once more in 10 s"
  sleep 10
  "$@"
}

install_packages() {
  install_list $(packages_for "$@")
}

install_list() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  step "installing ${#missing[@]} packages: ${missing[*]}" apt_install "${missing[@]}"
}

# apt's own progress lines are shown: a first install takes minutes.
apt_install() {
  if printf '%s\n' "$@" | grep -q ':i386$'; then
    as_root dpkg --add-architecture i386
  fi
  retry_once as_root apt-get update
  retry_once as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    -o Dpkg::Progress-Fancy=0 "$@"
}

# Chromium's driver reaches the browser it starts by the name localhost. A minimal Debian
# root made by debootstrap has no /etc/hosts, and the name then resolves to nothing: the
# browser tests need the entry every installed system has.
ensure_localhost() {
  getent hosts localhost >/dev/null && return 0
  echo "== localhost does not resolve here: adding it to /etc/hosts for the browser tests"
  printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' | as_root tee -a /etc/hosts >/dev/null
}

# A private Wine prefix for each architecture under build/, made once; Mono and Gecko are
# never offered. A prefix whose making fails fails the run. Some machines refuse to execute
# 32-bit programs at all: there the win32 suites are built, and reported as skipped.
wine_loader() {
  case $1 in
    win64) echo /usr/lib/wine/wine64 ;;
    win32) echo /usr/lib/wine/wine ;;
  esac
}

# 0 when Wine runs programs of the architecture here, 126 when the kernel refuses them.
wine_status() {
  local status=0
  "$(wine_loader "$1")" --version >/dev/null 2>&1 || status=$?
  echo "$status"
}

prepare_wine() {
  local arch=$1
  local loader
  loader=$(wine_loader "$arch")
  local prefix=$root/build/wine-$arch
  local status
  status=$(wine_status "$arch")
  if [ "$status" -eq 126 ]; then
    echo "== $arch: this machine cannot execute $arch programs; its tests are built but skipped"
    return 0
  elif [ "$status" -ne 0 ]; then
    echo "== $arch: $loader does not start" >&2
    return 1
  fi
  if [ ! -f "$prefix/.ready" ]; then
    echo "== $arch: preparing the Wine prefix $prefix"
    rm -rf "$prefix"
    mkdir -p "$prefix"
    if ! WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        DISPLAY= "$loader" wineboot -i >"$prefix.log" 2>&1; then
      echo "== $arch: wineboot failed; see $prefix.log" >&2
      return 1
    fi
    WINEPREFIX=$prefix wineserver -w || true
    touch "$prefix/.ready"
  fi
}

# CMake's configure chatter is left out; its errors are not.
configure() {
  local preset=$1
  shift
  cmake --preset "$preset" "$@" >/dev/null
}

build_preset() {
  local preset=$1
  # Tests on, also in a build folder that ./build.sh demo configured without them.
  step "$preset: configure" configure "$preset" -DVANTORY_BUILD_TESTS=ON
  step "$preset: build" cmake --build --preset "$preset"
}

# The demo in build/host: a folder configured before keeps its settings; a new one is
# configured without the test suites, whose tools the demo does not install.
run_demo() {
  install_list "${demo_packages[@]}"
  echo "== demo: configure and build"
  if [ -f build/host/CMakeCache.txt ]; then
    cmake --preset host >/dev/null
  else
    cmake --preset host -DVANTORY_BUILD_TESTS=OFF >/dev/null
  fi
  cmake --build build/host --target VantoryUSB printer_sim receipt_demo
  echo "== demo: run"
  java/demo/run-demo.sh "$@"
}

# The printer lab with the demo till, until interrupted.
run_lab() {
  install_list "${demo_packages[@]}"
  echo "== lab: configure and build"
  if [ -f build/host/CMakeCache.txt ]; then
    cmake --preset host >/dev/null
  else
    cmake --preset host -DVANTORY_BUILD_TESTS=OFF >/dev/null
  fi
  cmake --build build/host --target VantoryUSB printer_sim till
  echo "== lab: the till prints a receipt every 3 s; open the address below, Ctrl-C ends it"
  exec java "-javaagent:build/host/java/printer-sim.jar=${1:-}" -Djava.library.path=build/host/lib \
    -jar build/host/java/till.jar
}

test_preset() {
  local preset=$1
  case $preset in win32|win64) prepare_wine "$preset" ;; esac
  if [ "$preset" = coverage ]; then find build/coverage -name '*.gcda' -delete; fi
  step "$preset: tests" ctest --preset "$preset" -j2
  if [ "$preset" = coverage ]; then step "coverage: report" coverage_report; fi
}

# Line and branch coverage of the library (src/) by the host suites, Java's included, with
# gcovr; branches that only an exception takes are left out. The report lists every line
# and branch left uncovered, file by file, in build/coverage/coverage.txt and
# coverage-branches.txt. Coverage below these floors fails the run: new code comes with
# the tests that reach it. They sit a little under the usual figures (about 99% and 94%),
# because a few lines are reached only when threads meet in a particular order.
coverage_floor_lines=98
coverage_floor_branches=92
coverage_report() {
  local gcovr_args=(--root "$root" --object-directory build/coverage --filter "$root/src/"
    --exclude-throw-branches --exclude-unreachable-branches)
  gcovr "${gcovr_args[@]}" --txt build/coverage/coverage-branches.txt --branches
  gcovr "${gcovr_args[@]}" --txt build/coverage/coverage.txt --print-summary \
    --fail-under-line "$coverage_floor_lines" --fail-under-branch "$coverage_floor_branches"
  echo "== uncovered lines and branches, by file: build/coverage/coverage.txt, coverage-branches.txt"
}

run_coverage() {
  install_packages coverage
  build_preset coverage
  test_preset coverage
}

# The long soak, which the test command leaves out (its short run is a CTest test): 10,000
# sessions and 1,000 replugs on the host, a fifth of that under ThreadSanitizer, and the
# full run on the shipped DLL under Wine for each architecture this machine can run.
run_soak() {
  local sessions=${VANTORY_SOAK_SESSIONS:-10000} replugs=${VANTORY_SOAK_REPLUGS:-1000}
  install_packages host host-tsan win32 win64
  local p
  for p in host host-tsan win64 win32; do build_preset "$p"; done
  step "soak: host" build/host/bin/port_soak "$sessions" "$replugs"
  step "soak: host-tsan" build/host-tsan/bin/port_soak $((sessions / 5)) $((replugs / 5))
  for p in win64 win32; do
    prepare_wine "$p"
    if [ "$(wine_status "$p")" = 126 ]; then
      echo "== soak: $p: this machine cannot run $p programs; skipped"
      continue
    fi
    step "soak: $p (the shipped DLL under Wine)" \
      bash -c "cd build/$p/bin && ../../../cmake/wine-run.sh $p port_soak.exe $sessions $replugs"
  done
}

# Each libFuzzer target for a while, from its seeds in tests/fuzz/corpus; what it finds is
# kept in build/fuzz-found/<target> (apart from what CTest's short runs keep, so that a long
# run does not lengthen them), a failing input in build/fuzz-crashes.
# To keep new finds as seeds: <target> -merge=1 tests/fuzz/corpus/<target> <found folder>.
run_fuzz() {
  local seconds=${1:-600}
  install_packages host-asan
  build_preset host-asan
  mkdir -p build/fuzz-crashes
  local target
  for target in trace_fuzz device_search_fuzz escpos_fuzz application_fuzz; do
    mkdir -p "build/fuzz-found/$target"
    step "fuzz: $target for $seconds s" build/host-asan/bin/$target -max_total_time="$seconds" \
      -timeout=20 -print_final_stats=1 -artifact_prefix="build/fuzz-crashes/$target-" \
      "build/fuzz-found/$target" "tests/fuzz/corpus/$target"
  done
}

# The suites that prove a preset's shipped DLL: its exports, imports and calling convention,
# and the application's suites against it under Wine.
dll_suites='^(dll_imports_system_only|dll_exports_stdcall|dll_natives_test|port_scenarios_test|port_recovery_test|port_pipes_test|port_faults_test)$'
dll_static_checks='^(dll_imports_system_only|dll_exports_stdcall)$'

# Runs those suites when they have not run the very DLL that is about to be packed (a fresh
# checkout, or a DLL built since): the package never takes an untested file. A machine that
# cannot run the architecture's programs runs the static checks.
prove_dll() {
  local preset=$1
  local dll=build/$preset/bin/VantoryUSB.dll record=build/$preset/bin/VantoryUSB.dll.tested.sha256
  if [ -f "$record" ] && [ "$(tr -d '\r\n' <"$record")" = "$(sha256sum "$dll" | cut -d' ' -f1)" ]; then
    return 0
  fi
  echo "== $preset: the suites have not run this DLL; running those that prove it"
  build_preset "$preset"
  prepare_wine "$preset"
  if [ "$(wine_status "$preset")" = 126 ]; then
    step "$preset: static checks of the DLL" ctest --preset "$preset" -R "$dll_static_checks"
  else
    step "$preset: the suites that prove the DLL" ctest --preset "$preset" -j2 -R "$dll_suites"
  fi
}

# Copies a preset's DLL into the package after checking it is the one its suites ran: they
# leave its SHA-256 beside it. A machine that cannot run the architecture's programs at all
# has not run them; that is said, and the DLL is packed all the same.
pack_tested_dll() {
  local preset=$1 target=$2
  local dll=build/$preset/bin/VantoryUSB.dll record=build/$preset/bin/VantoryUSB.dll.tested.sha256
  local actual
  actual=$(sha256sum "$dll" | cut -d' ' -f1)
  if [ -f "$record" ]; then
    if [ "$(tr -d '\r\n' <"$record")" != "$actual" ]; then
      echo "== $preset: $dll is not the DLL the test suites ran; run ./build.sh test $preset" >&2
      exit 1
    fi
    echo "== $preset: packing the DLL the test suites ran (SHA-256 $actual)"
  elif [ "$(wine_status "$preset")" = 126 ]; then
    echo "== $preset: this machine cannot run $preset programs; its DLL is packed without a run here"
  else
    echo "== $preset: the test suites have not run $dll; run ./build.sh test $preset" >&2
    exit 1
  fi
  cp "$dll" "$target"
}

# The release package. The version comes from the project() call in CMakeLists.txt, which
# configure writes into each build folder's VERSION file. Entries carry the last commit's
# time rather than the build's. The package is checked once it is made.
make_dist() {
  install_list $(packages_for win32 win64) zip unzip
  local p
  for p in win32 win64; do
    echo "== $p: configure and build the DLL"
    cmake --preset "$p" >/dev/null
    cmake --build --preset "$p" --target VantoryUSB
    prove_dll "$p"
  done

  local version
  version=$(cat build/win32/VERSION)
  if [ "$version" != "$(cat build/win64/VERSION)" ]; then
    echo "win32 and win64 were configured from different versions; reconfigure both" >&2
    exit 1
  fi
  local dist=$root/build/dist stage=$root/build/dist/stage
  local zip=$dist/VantoryUSB-$version-windows.zip
  rm -rf "$stage" "$dist"/VantoryUSB-*-windows.zip
  mkdir -p "$stage/x86" "$stage/x64"
  # The package takes the very files the test suites ran (the build strips them as it links
  # them, and keeps their debug information beside them in build/<preset>/bin).
  pack_tested_dll win32 "$stage/x86/VantoryUSB.dll"
  pack_tested_dll win64 "$stage/x64/VantoryUSB.dll"
  if [ -f README.md ]; then
    cp README.md "$stage/"
  else
    echo "== no README.md in the repository: the package gets an empty one"
    : >"$stage/README.md"
  fi
  (cd "$stage" && sha256sum x86/VantoryUSB.dll x64/VantoryUSB.dll README.md >SHA256SUMS)
  local epoch
  epoch=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)
  find "$stage" -type f -exec touch -d "@$epoch" {} +
  (cd "$stage" && TZ=UTC zip -q -X -D "$zip" x86/VantoryUSB.dll x64/VantoryUSB.dll README.md SHA256SUMS)
  rm -rf "$stage"
  echo "== $zip"
  tests/check_release_zip.sh "$zip" "$version"
}

command=${1:-test}
shift || true
if [ "$command" = demo ]; then
  run_demo "$@"
  exit
fi
if [ "$command" = lab ]; then
  run_lab "$@"
fi
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=("${all_presets[@]}")

case $command in
  test)
    install_packages "${presets[@]}"
    case " ${presets[*]} " in *" coverage "* | *" host "*) ensure_localhost ;; esac
    for p in "${presets[@]}"; do build_preset "$p"; test_preset "$p"; done
    ;;
  build)
    install_packages "${presets[@]}"
    for p in "${presets[@]}"; do build_preset "$p"; done
    ;;
  dist)
    make_dist
    ;;
  coverage)
    run_coverage
    ;;
  soak)
    run_soak
    ;;
  fuzz)
    run_fuzz "$@"
    ;;
  *)
    echo "usage: $0 test|build [PRESET...] | demo [--driver=maker] | lab [OPTIONS] | dist | coverage | soak | fuzz [SECONDS]" >&2
    exit 2
    ;;
esac
