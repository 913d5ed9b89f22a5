#!/usr/bin/env bash
# Keeps the manual pages true: each program has its page, groff finds nothing
# to warn about in it, and every option and command the program's --help
# shows (and each command's --help) is in it.
# Usage: man_test.sh BUILD_DIR PROGRAM...
set -euo pipefail
build=$(realpath "$1")
shift
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

work=$build/man-test
rm -rf "$work"
mkdir -p "$work"
mkdir -m 700 "$work/runtime"

# The options (-x, --long) and the commands a CLI11 help text lists.
options_of() { sed -n 's/^  \(-[^ ]*\).*/\1/p' | tr ',' '\n'; }
commands_of() { sed -n '/^Subcommands:/,/^$/s/^  \([a-z][a-z0-9-]*\) .*/\1/p'; }

for program in "$@"; do
  [[ -n $program ]] || continue
  page=$build/man/$program.1.gz
  binary=$build/bin/$program
  if [[ ! -f $page ]]; then
    fail "$program has no manual page ($page)"
    continue
  fi
  # What man shows, with the warnings groff gives on the way.
  if ! MANWIDTH=200 man --warnings -E UTF-8 -l "$page" >"$work/$program.txt" 2>"$work/$program.warnings"; then
    fail "man -l $page failed: $(cat "$work/$program.warnings")"
  fi
  if [[ -s $work/$program.warnings ]]; then
    fail "groff warns about $program(1): $(cat "$work/$program.warnings")"
  fi
  # An option or a command has an entry of its own: a tag at the start of a
  # line ("       --port PORT", "       -o, --output OUT"), not only a mention.
  in_page() { grep -qE -- "^ {7}([^ ]+, )*$1(,| |\$)" "$work/$program.txt"; }

  # The window has no help of its own unless it ends at once with one: a
  # window that is still up after 10 s has started instead.
  help_status=0
  (cd "$work" && XDG_RUNTIME_DIR=$work/runtime QT_QPA_PLATFORM=offscreen \
    timeout 10 "$binary" --help) >"$work/$program.help" 2>&1 || help_status=$?
  if [[ $program == tavrin-programmer ]] && ((help_status == 124)); then
    echo "$program: no --help (the window started); its page is checked by groff only"
    continue
  fi
  ((help_status == 0)) || fail "$program --help: exit status $help_status: $(cat "$work/$program.help")"
  helps=("$work/$program.help")
  while IFS= read -r command; do
    in_page "$command" || fail "$program(1) lacks the command $command"
    "$binary" "$command" --help >"$work/$program-$command.help" 2>&1 ||
      fail "$program $command --help failed: $(cat "$work/$program-$command.help")"
    helps+=("$work/$program-$command.help")
  done < <(commands_of <"$work/$program.help")
  checked=0
  while IFS= read -r option; do
    checked=$((checked + 1))
    in_page "$option" || fail "$program(1) lacks the option $option"
  done < <(cat "${helps[@]}" | options_of | sort -u)
  ((checked > 0)) || fail "$program --help shows no options: $(cat "$work/$program.help")"
  echo "$program: $checked options in ${#helps[@]} help texts, all in the page"
done

((failures == 0)) || exit 1
echo "manual pages: all checked"
