#!/usr/bin/env bash
# zsim from a shell as a new user runs it: the README's main command tells
# the whole story and exits 0; every command has --help; bad command lines
# exit 2 with a pointer to the help.
#   zsim_cli_test.sh path/to/zsim
set -u
zsim=${1:?usage: zsim_cli_test.sh ZSIM}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

out=$("$zsim" demo 2>&1); rc=$?
[ $rc -eq 0 ] || fail "zsim demo exited $rc"
for text in 'setup.exe ran pnputil /add-driver' 'COM14' 'Port_#0013.Hub_#0001' '\\Device\\LumoraSerial11' \
            '3M ok' 'zport show COM3' 'verifier reports: 0' 'every port came up in hub order and carried its data'; do
  grep -qF -- "$(printf '%b' "$text")" <<<"$out" || fail "zsim demo does not show '$text'"
done
# The ports come up in hub order: UART i is COM(i+3).
for i in $(seq 0 11); do
  grep -Eq "UART $i +Port_#$(printf '%04d' $((i + 2)))\.Hub_#0001 +COM$((i + 3)) " <<<"$out" || fail "UART $i is not COM$((i + 3))"
done

"$zsim" --help | grep -q 'zsim demo' || fail "zsim --help lists no demo"
for command in $("$zsim" --help | awk '$1 == "zsim" { print $2 }'); do
  "$zsim" "$command" --help | grep -q "^usage: zsim $command" || fail "zsim $command --help"
done
err=$("$zsim" demo --ports 5 2>&1); rc=$?
[ $rc -eq 2 ] && grep -q "see 'zsim demo --help'" <<<"$err" || fail "a bad --ports exits $rc: $err"
"$zsim" frobnicate >/dev/null 2>&1; [ $? -eq 2 ] || fail "an unknown command does not exit 2"
"$zsim" >/dev/null 2>&1; [ $? -eq 2 ] || fail "no command does not exit 2"
[ $failures -eq 0 ] && echo "zsim from the shell: ok"
exit $((failures > 0))
