#!/usr/bin/env bash
# Runs the bash completion the build made for tavrin-cli as bash would (the
# words typed so far in COMP_WORDS, the cursor's word in COMP_CWORD) and
# checks the candidates it gives; checks that the zsh and fish scripts name
# every command.
# Usage: completion_test.sh BUILD_DIR
set -uo pipefail
build=$(realpath "$1")
program=$build/bin/tavrin-cli
scripts=$build/completion
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

work=$build/completion-test
rm -rf "$work"
mkdir -p "$work/files/folder/sub dir"
touch "$work/files/fw.sbin" "$work/files/map.lbin" "$work/files/OLD.SBIN" "$work/files/notes.txt" \
  "$work/files/folder/fw v2.sbin" "$work/files/folder/notes v2.txt"
# A COM link of our own, so that `ports` has a name to offer.
export XDG_RUNTIME_DIR=$work/runtime
mkdir -p -m 700 "$XDG_RUNTIME_DIR" "$XDG_RUNTIME_DIR/tavrin" "$XDG_RUNTIME_DIR/tavrin/dosdevices"
ln -s /dev/null "$XDG_RUNTIME_DIR/tavrin/dosdevices/COM42"

# shellcheck source=/dev/null
source "$scripts/bash/tavrin-cli" || fail "the bash script does not load"
[[ $(complete -p tavrin-cli 2>/dev/null) == "complete -F _tavrin_cli tavrin-cli" ]] ||
  fail "tavrin-cli is not completed by _tavrin_cli: $(complete -p tavrin-cli 2>&1)"

# complete WORD...: the candidates for the last word, sorted, one a line.
complete_words() {
  COMP_WORDS=("$program" "$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  (cd "$work/files" && { _tavrin_cli; printf '%s\n' "${COMPREPLY[@]}" | sort; })
}
# expect "WORDS" CANDIDATE...: exactly these candidates.
expect() {
  local words=$1 got want
  shift
  read -ra line <<<"$words"
  [[ $words == *' ' || -z $words ]] && line+=("")
  got=$(complete_words "${line[@]}")
  want=$(printf '%s\n' "$@" | sed '/^$/d' | sort)
  [[ $got == "$want" ]] || fail "tavrin-cli $words<TAB>: got [$(echo $got)], want [$(echo $want)]"
}
# has "WORDS" CANDIDATE...: these among the candidates.
has() {
  local words=$1 got c
  shift
  read -ra line <<<"$words"
  [[ $words == *' ' || -z $words ]] && line+=("")
  got=$(complete_words "${line[@]}")
  for c in "$@"; do
    grep -qxF -- "$c" <<<"$got" || fail "tavrin-cli $words<TAB>: no $c in [$(echo $got)]"
  done
}

# The commands, from the program's own help.
commands=$("$program" --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p')
[[ -n $commands ]] || fail "no commands in tavrin-cli --help"
# shellcheck disable=SC2086
has "" $commands --help
expect "wr" write
expect "do" doctor
# Every option write --help shows, and no hidden one.
write_options=$("$program" write --help | sed -n 's/^  \(-[^ ]*\).*/\1/p' | tr ',' '\n')
# shellcheck disable=SC2086
expect "write fw.sbin -" $write_options
expect "write --ve" --verify
expect "write --wor"
# FILE: firmware and data maps (either case) and folders, nothing else.
expect "write " fw.sbin map.lbin OLD.SBIN folder
expect "write f" fw.sbin folder
# A name with a blank is one candidate, not two words.
expect "write folder/" "folder/fw v2.sbin" "folder/sub dir"
expect "identify --log folder/f" "folder/fw v2.sbin"
# --port: the COM names `ports` lists, also as --port=.
has "write fw.sbin --port " COM42
expect "write fw.sbin --port COM4" COM42
# bash splits --port=CO at the '=' into three words.
has "identify --port = CO" COM42
has "identify --port COM42 --port CO" COM42
# --log and --trace: any file.
expect "identify --log n" notes.txt
expect "write fw.sbin --trace " fw.sbin map.lbin OLD.SBIN notes.txt folder
# A value with nothing to offer.
expect "write fw.sbin --timeout "
expect "completion " bash zsh fish
doctor_options=$("$program" doctor --help | sed -n 's/^  \(-[^ ]*\).*/\1/p' | tr ',' '\n' | grep '^--')
# shellcheck disable=SC2086
expect "doctor --" $doctor_options
# doctor --port takes a network address: no COM name to offer.
expect "doctor --port "

# zsh and fish: each names every command and the two completing functions.
for script in "$scripts/zsh/_tavrin-cli" "$scripts/fish/tavrin-cli.fish"; do
  [[ -s $script ]] || { fail "no $script"; continue; }
  for c in $commands; do grep -qw -- "$c" "$script" || fail "$script lacks $c"; done
  grep -q -- 'ports 2>/dev/null' "$script" || fail "$script does not ask ports for --port"
done
# fish, run: the program called by its path (not on PATH) asks that program
# for the ports, and FILE offers firmware, data maps and folders only.
if command -v fish >/dev/null; then
  fish_complete() {  # LINE: the candidates fish gives, sorted, one a line
    (cd "$work/files" && PATH=/usr/bin:/bin fish --no-config -c \
      "source '$scripts/fish/tavrin-cli.fish'; complete -C '$1'" 2>&1 | cut -f1 | sort)
  }
  got=$(fish_complete "$program write fw.sbin --port ")
  [[ $got == *COM42* && $got != *Unknown* ]] || fail "fish: $program write --port<TAB>: [$(echo $got)]"
  got=$(fish_complete "$program write ")
  want=$(printf '%s\n' fw.sbin map.lbin OLD.SBIN folder/ | sort)
  [[ $got == "$want" ]] || fail "fish: write <TAB>: got [$(echo $got)], want [$(echo $want)]"
  # The word as typed: a blank escaped or quoted, as fish itself puts it in.
  for typed in 'folder/fw\\ v' '"folder/fw v'; do
    got=$(fish_complete "$program write $typed")
    [[ $got == "folder/fw v2.sbin" ]] || fail "fish: write $typed<TAB>: got [$(echo $got)]"
  done
fi
head -1 "$scripts/zsh/_tavrin-cli" | grep -qx '#compdef tavrin-cli' || fail "_tavrin-cli has no #compdef line"
if command -v zsh >/dev/null; then zsh -n "$scripts/zsh/_tavrin-cli" || fail "zsh rejects _tavrin-cli"; fi
if command -v fish >/dev/null; then fish -n "$scripts/fish/tavrin-cli.fish" || fail "fish rejects tavrin-cli.fish"; fi

# A script that cannot be written whole is an error, not an empty success.
"$program" completion bash >/dev/full 2>"$work/full.err"
status=$?
((status == 2)) && grep -q 'cannot write' "$work/full.err" ||
  fail "completion bash >/dev/full: status $status, $(cat "$work/full.err")"

((failures == 0)) || exit 1
echo "completion: all checked"
