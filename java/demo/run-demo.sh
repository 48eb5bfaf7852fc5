#!/usr/bin/env bash
# Runs the receipt demo on the host build (./build.sh demo builds and runs it):
#   java/demo/run-demo.sh [--driver=class|maker] [--build-dir=DIR] [--out=DIR]
# Paths are taken from the repository root. The picture goes to OUT/receipt.png and the
# library's debugger output to OUT/trace.log (emptied first); OUT is build/demo unless given.
# JAVA names the java launcher when it is not the one on the PATH.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
build=build/host out=build/demo
args=()
for arg in "$@"; do
  case $arg in
    --build-dir=*) build=${arg#*=} ;;
    --out=*) out=${arg#*=} ;;
    *) args+=("$arg") ;;
  esac
done
for file in "$build/lib/libVantoryUSB.so" "$build/java/printer-sim.jar" "$build/java/receipt-demo.jar"; do
  [ -f "$file" ] || { echo "run-demo.sh: $file is missing; build it with ./build.sh demo" >&2; exit 1; }
done
mkdir -p "$out"
: >"$out/trace.log"
export HOSTWIN_DEBUG_OUTPUT=$out/trace.log
exec "${JAVA:-java}" -Xcheck:jni -Djava.awt.headless=true -Djava.library.path="$build/lib" \
  -cp "$build/java/printer-sim.jar:$build/java/receipt-demo.jar" \
  com.palvex.printer.demo.ReceiptDemo --out="$out" "${args[@]}"
