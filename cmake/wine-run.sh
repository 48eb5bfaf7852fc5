#!/usr/bin/env bash
# Runs a Windows test program under Wine, for one architecture (win32 or win64, the first
# argument), in that architecture's own private prefix under build/, without any prompt or
# window: Mono and Gecko are not offered, and Wine's own chatter is silenced.
#
# Some Linux machines refuse to execute 32-bit (i386) programs at all, Wine's 32-bit loader
# among them. There a win32 program cannot run: this says so and exits with 77, which the
# test runner reports as skipped. A missing Wine, or one that fails to start for any other
# reason, is a failure.
arch=$1
shift
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
case $arch in
  win64) loader=/usr/lib/wine/wine64 ;;
  win32) loader=/usr/lib/wine/wine ;;
  *) echo "wine-run.sh: unknown architecture '$arch'" >&2; exit 2 ;;
esac
export WINEPREFIX=${WINEPREFIX:-$here/build/wine-$arch}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export DISPLAY=
if [ ! -x "$loader" ]; then
  echo "wine-run.sh: $loader is missing; install Wine for $arch" >&2
  exit 1
fi
"$loader" --version >/dev/null 2>&1
case $? in
  0) ;;
  126) echo "wine-run.sh: this machine cannot execute $arch programs ($loader is refused by the kernel); skipped" >&2
       exit 77 ;;
  *) echo "wine-run.sh: $loader does not start" >&2; exit 1 ;;
esac
exec "$loader" "$@"
