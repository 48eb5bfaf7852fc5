#!/usr/bin/env bash
# The receipt demo as a test: runs it and checks what a newcomer would look for.
#   check-demo.sh JAVA BUILD_DIR OUT_DIR [demo options...]
set -uo pipefail
java=$1 build=$2 out=$3
shift 3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
output=$(JAVA=$java "$here/run-demo.sh" --build-dir="$build" --out="$out" "$@" 2>&1)
status=$?
printf '%s\n' "$output"

fail() { echo "check-demo.sh: $*" >&2; exit 1; }
expect() { grep -Eq -- "$1" <<<"$output" || fail "the output lacks: $1"; }

[ $status -eq 0 ] || fail "the demo exited with status $status"
! grep -q 'WARNING' <<<"$output" || fail "-Xcheck:jni reported a warning"
expect '^The printer is served by: (Printer Class USB|Native USB \(maker.s driver\))$'
expect '^Received bytes match'
expect 'DLE EOT 1 +printer status +0x12 +online$'
expect 'DLE EOT 4 +paper roll sensor +0x12 +paper adequate$'
# The near-end reply comes after the change, as the last status line.
last=$(grep 'DLE EOT 4' <<<"$output" | tail -n 1)
grep -Eq '0x1e +paper near end$' <<<"$last" || fail "no paper near end after the change: $last"
expect '^\|  +Thank you for your visit! +\|$'
expect '\(partial cut\)'
expect 'PNG ok$'
[ "$(head -c 8 "$out/receipt.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
  fail "$out/receipt.png is not a PNG file"
# The receipt's barcode and QR code read back from its picture by zbar, an independent decoder.
decoded=$(zbarimg --quiet "$out/receipt.png" 2>/dev/null)
grep -qx 'CODE-128:R000417' <<<"$decoded" || fail "the barcode does not read back: $decoded"
grep -qx 'QR-Code:https://palvex.example/returns/000417' <<<"$decoded" || fail "the QR code does not read back: $decoded"
[ -s "$out/trace.log" ] || fail "$out/trace.log is empty"
grep -q '^usbInitPipe' "$out/trace.log" || fail "$out/trace.log has no usbInitPipe line"
echo "check-demo.sh: all checks passed"
