#!/usr/bin/env bash
# Runs a Windows executable under Wine with the project's prefix and quiet
# defaults. scripts/test exports WINEPREFIX and DISPLAY; these are fallbacks.
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/wineprefix}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Quiet keeps the loader's errors: a program that cannot start (a DLL
# missing, an image or a fixed page that cannot be mapped) ends before it
# prints a line, and what Wine said is then all there is to go by.
if [ -z "${WINEDEBUG:-}" ] || [ "$WINEDEBUG" = "-all" ]; then
  export WINEDEBUG=-all,err+module,err+process,err+virtual
fi
# Debian's Wine has no preloader, the small loader that reserves the pages
# Windows fixes (the shared user data at 0x7ffe0000) before Linux maps
# anything. Its loader sits at 0x7d000000 and Linux puts the process heap at
# a random place up to 1 GiB above it, now and then across that page: the
# program then ends at once with "failed to map the shared user data" (in a
# whole test run, now and then one of them). Without address randomisation
# the heap starts right after the loader, far below; children (the stand-in,
# the supervisor a test starts) inherit the setting.
setarch "$(uname -m)" --addr-no-randomize wine "$@"
status=$?
[ $status -ne 0 ] && echo "wine-run: $(basename "$1") ended with exit status $status" >&2
exit $status
