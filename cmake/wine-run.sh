#!/usr/bin/env bash
# Runs a Windows test program under Wine in the project's private prefix, without any
# prompt or window: Mono and Gecko are not offered, and Wine's own chatter is silenced.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/wine}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export DISPLAY=
exec wine "$@"
