#!/usr/bin/env bash
# A removal while a file is held, and one while the add-in runs followed by its reinstallation,
# then a restart of the prefix, then what is left: the one test that needs the platform to
# restart. A prefix of its own, so that the wineserver of the other tests runs on. Wine carries
# PendingFileRenameOperations out in the wineboot run when a stopped prefix starts again.
# Usage: restart.sh LOADER E2E_TESTS_EXE
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
loader=$1
tests=$2
source "$repo/tools/wine.sh"
prefix="$wine_root/restart-$(basename "$(dirname "$(dirname "$tests")")")"
new_prefix "$prefix"
wine_environment "$prefix"
boot() {
  "$WINESERVER" -p </dev/null >/dev/null 2>&1
  "$WINE64" wineboot </dev/null >/dev/null 2>&1
}
trap '"$WINESERVER" -k >/dev/null 2>&1 || true; rm -rf "$prefix"' EXIT
boot
MERIVANE_KEEP_PENDING=1 "$loader" "$tests" --gtest_filter='InUse.*'
# After them: each of their cases begins by forgetting what is pending.
MERIVANE_KEEP_PENDING=1 "$loader" "$tests" --gtest_filter='RunningAddIn.*'
"$WINESERVER" -k
"$WINESERVER" -w
boot
MERIVANE_AFTER_RESTART=1 "$loader" "$tests" --gtest_filter='InUseAfterRestart.*'
