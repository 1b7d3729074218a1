#!/usr/bin/env bash
# The generated bash completion, sourced as bash-completion would: commands, a subcommand's
# own options and the ones it takes from above, the values of an option that takes one of a
# list (the last of a comma-separated list of words), and nothing of its own after any other
# option that takes a value (the shell completes a file name there).
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
complete_words "block continuous" tarvik acquire --mode ""
complete_words "hdf5" tarvik acquire --format h
complete_words "10 100 1000" tarvik acquire --gain 10
complete_words "word0,result_b_first word0,result_b" tarvik acquire --words word0,res
[ "$failures" -eq 0 ] && echo "every completion as expected"
exit "$failures"
