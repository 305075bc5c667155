#!/usr/bin/env bash
# bundle_test.sh <bundle zip> <build's bin folder> <fresh folder>
# Unzips the test bundle into the fresh folder and runs its runner there under plain Wine, with
# a prefix of its own set up as a Windows machine would be (no debugger on faults, no display),
# no emulator wrapper and nothing of the build tree. It must end with exit code 0 and account for
# every case that the build's own copies of its programs list: passed or skipped, none failed.
# First, in a second copy, a fixture and a test program taken out must each fail a run.
set -u
zip=$1 bin=$2 work=$3
top=$(basename "$zip" .zip)
rm -rf "$work" && mkdir -p "$work/cut" || exit 1
for into in "$work" "$work/cut"; do
  (cd "$into" && cmake -E tar xf "$zip") || { echo "cannot unzip $zip"; exit 1; }
done
bundle=$work/$top cut=$work/cut/$top
[ -f "$bundle/run-tests.exe" ] || { echo "no run-tests.exe at the bundle's top"; exit 1; }

export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml="
quiet() { "$@" </dev/null >/dev/null 2>&1; }
quiet wineboot -i
quiet wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d "" /f
quiet wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /d 0 /f
quiet wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
# One server for the whole run, and the prefix's services started apart from the runner's output.
quiet wineserver -p60
quiet wine cmd /c exit
trap 'wineserver -k 2>/dev/null; rm -rf "$WINEPREFIX"' EXIT

# run <bundle> <name> [runner options]: the runner's exit code, its output in $work/<name>.txt.
run() {
  (cd "$work" && wine "$1/run-tests.exe" --results "$work/$2" "${@:3}" </dev/null) \
    >"$work/$2.txt" 2>"$work/$2-errors.txt"
}
# The last line of a run's output, which must be its summary.
summary() { tail -n 1 "$work/$1.txt" | tr -d '\r'; }

# Every test program of the build is listed (they are named *_tests.exe), and none twice.
listed=$(grep -v '^#' "$bundle/tests.txt" | cut -d' ' -f1 | sort)
built=$(cd "$bin" && ls -- *_tests.exe | sort)
[ "$listed" = "$(sort -u <<<"$listed")" ] && [ "$listed" = "$built" ] || {
  echo "tests.txt lists:"; echo "$listed"; echo "bin/ holds:"; echo "$built"; exit 1; }

# Only the case that starts log_writer.exe fails; the others pass, and the run still fails.
rm "$cut/log_writer.exe" "$cut/app_tests.exe"
run "$cut" without-fixture --filter log_tests.exe
status=$?
[ "$status" = 1 ] && [[ $(summary without-fixture) =~ ^[1-9][0-9]*\ passed,\ 1\ failed, ]] || {
  echo "without log_writer.exe, exit code $status:"; cat "$work/without-fixture.txt"; exit 1; }
run "$cut" without-program --filter app_tests.exe
status=$?
[ "$status" = 1 ] && [ "$(summary without-program)" = "0 passed, 1 failed, 0 skipped" ] || {
  echo "without app_tests.exe, exit code $status:"; cat "$work/without-program.txt"; exit 1; }

# The cases the programs hold, counted from the build's own copies: one indented line each.
expected=0
while read -r program timeout; do
  case $program in ''|'#'*) continue ;; esac
  listed=$(wine "$bin/$program" --gtest_list_tests </dev/null 2>/dev/null | grep -c '^  ')
  expected=$((expected + listed))
done <"$bundle/tests.txt"

# Windows looks for these DLLs in a program's own folder before the system's, as the planted-DLL
# test expects; Wine does so only when told, and only from the host's environment.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;comctl32,crypt32,version,wintrust=n,b"
start=$SECONDS
run "$bundle" results
status=$?
cat "$work/results.txt"
echo "run-tests: exit code $status after $((SECONDS - start)) s; the programs list $expected cases"
if ! [[ $(summary results) =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed,\ ([0-9]+)\ skipped$ ]]; then
  echo "no summary line"
  exit 1
fi
counted=$((BASH_REMATCH[1] + BASH_REMATCH[2] + BASH_REMATCH[3]))
[ "$counted" = "$expected" ] || { echo "the runner counted $counted cases"; exit 1; }
[ "$status" = 0 ] && [ "${BASH_REMATCH[2]}" = 0 ] || exit 1
for program in $(grep -v '^#' "$bundle/tests.txt" | cut -d' ' -f1); do
  [ -s "$work/results/${program%.exe}.xml" ] || { echo "no results for $program"; exit 1; }
done
