#!/usr/bin/env bash
# Checks a release package: tests/check_release_zip.sh ZIP VERSION
#
#   - it holds exactly x86/VantoryUSB.dll, x64/VantoryUSB.dll, README.md and SHA256SUMS;
#   - SHA256SUMS lists the two DLLs and the README, and every sum matches;
#   - each DLL is a PE image for its machine (i386 under x86/, x86-64 under x64/), exports
#     the twelve natives and nothing else, and imports only system DLLs;
#   - each DLL carries a version resource naming VERSION, the product and the company.
#
# Needs unzip, sha256sum, cmake and the mingw-w64 binutils (objdump, windres).
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 ZIP VERSION" >&2
  exit 2
fi
zip=$1
version=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }

[ -f "$zip" ] || { echo "FAIL: no such file: $zip" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

expected=$'README.md\nSHA256SUMS\nx64/VantoryUSB.dll\nx86/VantoryUSB.dll'
listed=$(unzip -Z1 "$zip" | sort)
if [ "$listed" = "$expected" ]; then
  pass "contents: $(echo "$listed" | tr '\n' ' ')"
else
  fail "contents differ from the expected four files:"$'\n'"$listed"
fi
unzip -q "$zip" -d "$work"

# --- checksums -------------------------------------------------------------------------
if [ -f "$work/SHA256SUMS" ]; then
  summed=$(awk '{ sub(/^\*/, "", $2); print $2 }' "$work/SHA256SUMS" | sort)
  if [ "$summed" = $'README.md\nx64/VantoryUSB.dll\nx86/VantoryUSB.dll' ]; then
    pass "SHA256SUMS lists README.md and both DLLs"
  else
    fail "SHA256SUMS lists: $(echo "$summed" | tr '\n' ' ')"
  fi
  if (cd "$work" && sha256sum --check --strict --quiet SHA256SUMS); then
    pass "checksums match"
  else
    fail "checksums do not match"
  fi
else
  fail "no SHA256SUMS"
fi

# --- each DLL ------------------------------------------------------------------------------
# The COFF Machine field of a PE image, as 4 hex digits: the PE signature's offset is the
# 32-bit little-endian value at 0x3C, and Machine is the 16-bit value after "PE\0\0".
pe_machine() {
  local file=$1 offset signature bytes
  offset=$(od -An -v -t u1 -j 60 -N 4 "$file" | awk '{ print $1 + 256 * ($2 + 256 * ($3 + 256 * $4)) }')
  signature=$(od -An -v -t x1 -j "$offset" -N 4 "$file" | tr -d ' \n')
  [ "$signature" = 50450000 ] || { echo "none"; return; }
  bytes=$(od -An -v -t x1 -j $((offset + 4)) -N 2 "$file")
  set -- $bytes
  echo "$2$1"
}

IFS=. read -r major minor patch <<<"$version"
check_dll() {
  local dir=$1 machine=$2 machine_name=$3 triplet=$4 export_pattern=$5
  local dll=$work/$dir/VantoryUSB.dll
  [ -f "$dll" ] || { fail "$dir/VantoryUSB.dll missing"; return; }

  local found
  found=$(pe_machine "$dll")
  if [ "$found" = "$machine" ]; then
    pass "$dir/VantoryUSB.dll: PE machine 0x$found ($machine_name)"
  else
    fail "$dir/VantoryUSB.dll: PE machine 0x$found, expected 0x$machine ($machine_name)"
  fi

  local exports count bad
  exports=$({ "$triplet-objdump" -p "$dll" 2>&1 || true; } |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p')
  count=$(printf '%s\n' "$exports" | grep -c . || true)
  bad=$(printf '%s\n' "$exports" | grep -Evx "$export_pattern" || true)
  if [ "$count" = 12 ] && [ -z "$bad" ]; then
    pass "$dir/VantoryUSB.dll: exports the twelve natives"
  else
    fail "$dir/VantoryUSB.dll: $count exports, unexpected: $bad"
  fi

  if cmake -DOBJDUMP="$(command -v "$triplet-objdump")" -DDLL="$dll" \
       -P "$here/cmake/CheckDllImports.cmake" >"$work/imports.log" 2>&1; then
    pass "$dir/VantoryUSB.dll: imports $(sed -n 's/^-- imports //p' "$work/imports.log" | tr '\n' ' ')"
  else
    fail "$dir/VantoryUSB.dll: $(cat "$work/imports.log")"
  fi

  if [ "$dir" = x86 ]; then
    if cmake -DOBJDUMP="$(command -v "$triplet-objdump")" -DDLL="$dll" \
         -P "$here/cmake/CheckStdcallExports.cmake" >"$work/stdcall.log" 2>&1; then
      pass "$dir/VantoryUSB.dll: $(sed -n 's/^-- all //p' "$work/stdcall.log")"
    else
      fail "$dir/VantoryUSB.dll: $(cat "$work/stdcall.log")"
    fi
  fi

  # windres reads the resources of a PE image back as a resource script.
  local rc
  rc=$("$triplet-windres" -i "$dll" -O rc 2>&1 || true)
  local missing=()
  local want
  for want in \
      "FILEVERSION $major, $minor, $patch, 0" \
      "PRODUCTVERSION $major, $minor, $patch, 0" \
      "VALUE \"FileVersion\", \"$version\"" \
      "VALUE \"ProductVersion\", \"$version\"" \
      "VALUE \"ProductName\", \"VantoryUSB\"" \
      "VALUE \"CompanyName\", \"Palvex\"" \
      "VALUE \"OriginalFilename\", \"VantoryUSB.dll\"" \
      "VALUE \"FileDescription\", "; do
    grep -qF -- "$want" <<<"$rc" || missing+=("$want")
  done
  if [ ${#missing[@]} -eq 0 ]; then
    pass "$dir/VantoryUSB.dll: version resource $version ($(grep -F 'VALUE "FileDescription"' <<<"$rc" | sed 's/^ *//'))"
  else
    fail "$dir/VantoryUSB.dll: version resource lacks: ${missing[*]}"
  fi
}

check_dll x86 014c i386 i686-w64-mingw32 '_Java_com_palvex_printer_UsbPort_[A-Za-z]+@[0-9]+'
check_dll x64 8664 x86-64 x86_64-w64-mingw32 'Java_com_palvex_printer_UsbPort_[A-Za-z]+'

if [ "$failures" -ne 0 ]; then
  echo "$zip: $failures check(s) failed" >&2
  exit 1
fi
echo "$zip: all checks passed"
