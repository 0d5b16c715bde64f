#!/usr/bin/env bash
# Runs README.md's examples and commands against a build:
#
#   tests/install/readme.sh SOURCE_DIR BUILD_DIR WORK_DIR
#
# - every ```json block is a scenario: `orvel-sim run` must pass it;
# - every ```cpp block is the text of a host program in tests/install/,
#   which the install tests build and run every way a host links;
# - every line of every ```cmake block is a line of tests/install/CMakeLists.txt,
#   the host build those tests configure;
# - every line of every ```sh block runs here, from the repository's root
#   (from WORK_DIR when it builds or runs the host program), with
#   "build" meaning BUILD_DIR and /opt/orvel a prefix in WORK_DIR. Two kinds
#   are checked instead of run: scripts/test.sh, which is this test suite
#   (CI runs it), and a preset's build and test commands, which would build
#   everything again; those presets must exist, and the configure presets
#   are configured into WORK_DIR. A command of another kind fails the test
#   until this script learns how to run it.
set -euo pipefail
source_dir=$(cd "$1" && pwd)
build_dir=$(cd "$2" && pwd)
work=$3
readme="$source_dir/README.md"
rm -rf "$work"
mkdir -p "$work"
export PATH="$build_dir/tools/orvel-sim:$PATH"

fail() {
  echo "readme: $*" >&2
  exit 1
}

# Prints the blocks fenced as ```$1, separated by a line holding only \f.
blocks() {
  awk -v lang="$1" '
    /^```/ { if (inside) { inside = 0; printf "\f\n"; next } if ($0 == "```" lang) { inside = 1; next } }
    inside { print }' "$readme"
}

each_block() {
  local lang=$1 handler=$2 block=""
  while IFS= read -r line; do
    if [ "$line" = $'\f' ]; then
      "$handler" "$block"
      block=""
    else
      block+="$line"$'\n'
    fi
  done < <(blocks "$lang")
}

scenario() {
  echo "== scenario: $(grep -o '"description": "[^"]*"' <<<"$1" || true)"
  orvel-sim run - --json <<<"$1" >"$work/scenario.log" || {
    cat "$work/scenario.log"
    fail "the README's scenario does not pass"
  }
}
each_block json scenario

host_program() {
  local shown=$1 file
  for file in "$source_dir"/tests/install/*.cpp; do
    if [[ "$(cat "$file")"$'\n' == *"$shown" ]]; then return; fi
  done
  fail "a C++ example is not the end of any tests/install/*.cpp: $(head -1 <<<"$shown")"
}
each_block cpp host_program

cmake_lines() {
  local line
  while IFS= read -r line; do
    [ -z "$line" ] && continue
    sed 's/^[[:space:]]*//' "$source_dir/tests/install/CMakeLists.txt" | grep -qxF "$line" ||
      fail "the CMake line \"$line\" is not in tests/install/CMakeLists.txt"
  done <<<"$1"
}
each_block cmake cmake_lines

cp "$source_dir/tests/install/host.cpp" "$work/host.cpp"
# Commands run in the order the README gives them, in one shell, so that
# an export holds for the lines after it.
run_commands() {
  local line command
  while IFS= read -r line; do
    command=${line%%#*}
    command=${command%"${command##*[![:space:]]}"}
    [ -z "$command" ] && continue
    command=${command//\/opt\/orvel/$work\/opt\/orvel}
    command=$(sed -E "s#(--test-dir|--install) build( |\$)#\\1 $build_dir\\2#" <<<"$command")
    echo "== $line"
    case "$command" in
      scripts/test.sh*)
        echo "(the test suite itself: CI runs it)" ;;
      scripts/tour.sh*)
        (cd "$source_dir" && BUILD_DIR="$build_dir" eval "$command" >"$work/tour.log") ||
          { tail -40 "$work/tour.log"; fail "$line"; } ;;
      "cmake --preset "*)
        (cd "$source_dir" && eval "$command -B $work/preset-${command##* }" >"$work/preset.log") ||
          { cat "$work/preset.log"; fail "$line"; } ;;
      "cmake --build --preset "*)
        cmake --list-presets=build -S "$source_dir" | grep -qF "\"${command##* }\"" || fail "no build preset: $line" ;;
      "ctest --preset "*)
        (cd "$source_dir" && ctest --list-presets) | grep -qF "\"${command##* }\"" || fail "no test preset: $line" ;;
      ctest* | "cmake --install"* | orvel-sim*)
        (cd "$source_dir" && eval "$command" >"$work/command.log" 2>&1) ||
          { tail -40 "$work/command.log"; fail "$line"; } ;;
      export*)
        eval "$command" ;;
      c++* | ORVEL_SYSTEM_VERSION=*)
        (cd "$work" && eval "$command") || fail "$line" ;;
      *)
        fail "README.md has a command this test does not run: $line" ;;
    esac
  done <<<"$1"
}
each_block sh run_commands
echo "readme: every example and command holds"
