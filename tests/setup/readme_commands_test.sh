#!/bin/sh
# Checks that README.md opens with the commands that CI and the set-up
# script really use, so that they cannot drift apart:
#  - the last command of .ci/run is the test command, and .ci/run itself
#    installs, configures and runs nothing else (that is the script's job);
#  - README.md's first two commands are "<script> demo" and exactly that
#    test command;
#  - the script's help lists both verbs.
# Usage: readme_commands_test.sh <source-dir>
set -eu
cd "${1:?usage: readme_commands_test.sh <source-dir>}"
fail() { echo "FAIL: $*" >&2; exit 1; }

# Command lines of .ci/run, without comments, blank lines and set/cd/export.
ci=$(sed -e 's/#.*//' -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//' .ci/run |
     grep -v -E '^$|^(set|cd|export)[[:space:]]' || true)
[ -n "$ci" ] || fail ".ci/run runs no command"
test_cmd=$(printf '%s\n' "$ci" | tail -n 1 | sed 's/^exec[[:space:]]*//')
if printf '%s\n' "$ci" | grep -q -E '(^|[^[:alnum:]_-])(apt-get|apt|cmake|ctest|make|ninja)([[:space:]]|$)'; then
  fail ".ci/run calls apt-get/cmake/ctest itself instead of leaving it to '$test_cmd':
$ci"
fi
script=${test_cmd%% *}
[ "$test_cmd" = "$script test" ] || fail ".ci/run's test command '$test_cmd' is not '<script> test'"

# The first two lines inside fenced code blocks of README.md.
readme=$(awk '/^[[:space:]]*```/ { fenced = !fenced; next }
              fenced && NF { sub(/^[[:space:]]+/, ""); sub(/[[:space:]]+$/, ""); print; if (++n == 2) exit }' README.md)
first=$(printf '%s\n' "$readme" | sed -n 1p)
second=$(printf '%s\n' "$readme" | sed -n 2p)
[ "$first" = "$script demo" ] || fail "README.md's first command is '$first', not '$script demo'"
[ "$second" = "$test_cmd" ] || fail "README.md's second command is '$second', but .ci/run runs '$test_cmd'"

# Both verbs exist in the script.
help=$("$script" help) || fail "'$script help' failed"
for verb in demo test; do
  printf '%s\n' "$help" | grep -q -E "^[[:space:]]+${verb}[[:space:]]" ||
    fail "'$script help' does not list the verb '$verb'"
done
echo "README.md opens with '$first' and '$second'; .ci/run runs '$test_cmd'"
