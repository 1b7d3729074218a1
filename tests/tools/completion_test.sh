#!/usr/bin/env bash
# The generated bash completion, sourced as bash-completion would: commands, a subcommand's
# own options and the ones it takes from above, and nothing of its own after an option that
# takes a value (the shell completes a file name there).
#   completion_test.sh <tarvik.bash>
set -u
source "${1:?usage: completion_test.sh <tarvik.bash>}"

failures=0
complete_words() {  # complete_words EXPECTED WORD... : the words typed, the last one unfinished
  COMP_WORDS=("$@")
  COMP_WORDS=("${COMP_WORDS[@]:1}")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _tarvik
  local got="${COMPREPLY[*]}"
  if [ "$got" != "$1" ]; then
    echo "FAIL: '${COMP_WORDS[*]}' completes to '$got', expected '$1'"
    failures=$((failures + 1))
  fi
}

complete_words "acquire" tarvik ac
complete_words "--format" tarvik acquire --fo
complete_words "dump read write" tarvik --virtual eeprom ""
complete_words "--json" tarvik eeprom dump --js
complete_words "--eeprom-image" tarvik info --eeprom-i
complete_words "" tarvik acquire --output ac
complete_words "in out" tarvik ports ""
[ "$failures" -eq 0 ] && echo "every completion as expected"
exit "$failures"
