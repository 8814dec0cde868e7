#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds both trees, then runs
# the Windows tests under Wine, WINE_JOBS (default 2) at a time, each in a fresh
# prefix and display of its own, with the native tests beside them at a lower
# priority (the Wine tests mostly wait). Prints the time of each phase at the end.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}
wine_jobs=${WINE_JOBS:-2}

phases=()
phase_start=$SECONDS
suite_start=$SECONDS
phase_done() {
  phases+=("$(printf '%-40s %4d s' "$1" $((SECONDS - phase_start)))")
  phase_start=$SECONDS
}
print_phases() {
  echo "== time of each phase"
  printf '  %s\n' "${phases[@]}"
  printf '  %-40s %4d s\n' "total" $((SECONDS - suite_start))
}

bash "$root/scripts/deps.sh" || exit 1
phase_done "dependencies"
bash "$root/scripts/build.sh" win || exit 1
phase_done "build build/win (mingw)"
bash "$root/scripts/build.sh" native || exit 1
phase_done "build build/native (clang)"

status=0
# Their output follows the Windows tests', so that neither is interleaved.
native_log=$out/native-tests.log
(cd "$out/native" && nice -n 10 ctest --output-on-failure --timeout 600 -j "${JOBS:-$(nproc)}") \
  >"$native_log" 2>&1 &
native=$!

. "$root/tests/wine/harness.sh"
trap harness_stop EXIT
HARNESS_SLOTS=$wine_jobs harness_start "$out/wine"
phase_done "Wine prefixes booted ($wine_jobs)"

echo "== Windows tests under Wine, $wine_jobs at a time"
# One more job than slots: tests that need no Wine (labelled no_wine) run beside them.
(cd "$out/win" && ctest --output-on-failure --timeout 600 -j "$((wine_jobs + 1))" \
  --resource-spec-file "$HARNESS_RESOURCE_SPEC") || status=1
phase_done "Windows tests under Wine"
harness_stop
trap - EXIT
wait $native || status=1
phase_done "native tests (after the Windows tests)"
echo "== native tests (run beside the boot and the Windows tests)"
cat "$native_log"
print_phases
exit $status
