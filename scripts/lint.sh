#!/usr/bin/env bash
# Checks the style of the tree, and fails on any finding:
#
#   scripts/lint.sh [format] [tidy] [tidy-win] [shell] [editorconfig]
#                                                  (no argument: all but tidy-win)
#   scripts/lint.sh --no-format                                (the three others)
#   scripts/lint.sh --staged       format, shell and editorconfig on the files staged for the
#                                  next commit, as they are in the work tree (the pre-commit
#                                  hook scripts/hooks/pre-commit; clang-tidy is left to the lane)
#
#   format        clang-format --dry-run -Werror on every C++ file (.clang-format)
#   tidy          clang-tidy with .clang-tidy on every C++ file of ours in the compile database of
#                 the Linux build (build/, made or brought up to date by the dev preset first);
#                 the Windows bodies (*_win.cpp) are not in it and are not checked here
#   tidy-win      the same on the Windows bodies (*_win.cpp), through the compile database of the
#                 mingw-w64 build (build-win/ or NEMBRAL_WIN_BUILD_DIR, which
#                 scripts/build-windows.sh configures; the Windows lane runs this part after its
#                 cross-build). Not one of the four: it needs the Windows Qt and libraries
#   shell         shellcheck on every shell script (by extension or first line; .shellcheckrc)
#   editorconfig  the .editorconfig properties of every text file, as the editorconfig tool
#                 resolves them: LF line ends, a final line feed, no trailing white space, no
#                 tab in the indentation, valid UTF-8
#
# Each part prints its findings and one line "lint PART: N findings"; the last line is
# "lint: N passed, N failed" (parts). NEMBRAL_LINT_JOBS sets clang-tidy's parallel jobs
# (default: the number of cores).
set -euo pipefail

# shellcheck source=lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
nembral_init lint git

parts=("$@")
staged=0
if [ "${parts[*]}" = --no-format ]; then
  parts=(tidy shell editorconfig)
elif [ "${parts[*]}" = --staged ]; then
  staged=1
  parts=(format shell editorconfig)
fi
[ ${#parts[@]} -gt 0 ] || parts=(format tidy shell editorconfig)
cd "$repo"

# The files to check (NUL-terminated with -z): every tracked one, or those staged (added,
# copied, modified or renamed) with --staged.
files() {
  if [ "$staged" = 1 ]; then
    git diff --cached --name-only --diff-filter=ACMR "$@"
  else
    git ls-files "$@"
  fi
}

cxx_files() { files -- '*.cpp' '*.h' '*.cpp.in'; }

lint_format() {
  require_tools clang-format
  local out
  out=$(cxx_files | xargs -r clang-format --dry-run -Werror 2>&1 || true)
  [ -z "$out" ] || printf '%s\n' "$out"
  findings=$(printf '%s\n' "$out" | grep -c ': error: code should be clang-formatted' || true)
}

lint_tidy() {
  require_tools clang-tidy run-clang-tidy
  cmake --preset dev >/dev/null && cmake --build --preset dev >/dev/null
  local out
  # Our sources only (not the generated ones in the build tree), and our headers with them.
  out=$(run-clang-tidy -quiet -p build -j"${NEMBRAL_LINT_JOBS:-$(nproc)}" \
    -header-filter="^$repo/(app|bench|platform|tests|tools|ui|unzip|workflow)/" \
    "^$repo/(app|bench|platform|tests|tools|ui|unzip|workflow)/" 2>/dev/null || true)
  # Each finding once (a header's finding is reported by every file that includes it), without
  # the colours run-clang-tidy asks for.
  out=$(printf '%s\n' "$out" | sed 's/\x1b\[[0-9;]*m//g' | grep -E '^/.*: (warning|error): ' | sort -u || true)
  [ -z "$out" ] || printf '%s\n' "$out"
  findings=$(printf '%s\n' "$out" | grep -c . || true)
}

lint_tidy-win() {
  require_tools clang-tidy run-clang-tidy x86_64-w64-mingw32-g++-posix
  local db=${NEMBRAL_WIN_BUILD_DIR:-$repo/build-win} out dir
  [ -f "$db/compile_commands.json" ] || die "no $db/compile_commands.json (run scripts/build-windows.sh)"
  # clang finds the mingw-w64 headers for the target by itself, but not the C++ library of the
  # POSIX-threads compiler the build uses: its directories come from that compiler.
  local args=(-extra-arg=--target=x86_64-w64-mingw32)
  while IFS= read -r dir; do
    args+=("-extra-arg=-isystem$dir")
  done < <(x86_64-w64-mingw32-g++-posix -E -x c++ -v - </dev/null 2>&1 \
    | sed -n '/^#include <...> search starts here:/,/^End of search list/p' | sed -n 's/^ \(.*\/c++.*\)$/\1/p')
  out=$(run-clang-tidy -quiet -p "$db" -j"${NEMBRAL_LINT_JOBS:-$(nproc)}" "${args[@]}" \
    -header-filter="^$repo/(app|bench|platform|tests|tools|ui|unzip|workflow)/" \
    "^$repo/.*_win\.cpp\$" 2>/dev/null || true)
  out=$(printf '%s\n' "$out" | sed 's/\x1b\[[0-9;]*m//g' | grep -E '^/.*: (warning|error): ' | sort -u || true)
  [ -z "$out" ] || printf '%s\n' "$out"
  findings=$(printf '%s\n' "$out" | grep -c . || true)
}

shell_scripts() {
  local f
  files | while IFS= read -r f; do
    if [[ "$f" == *.sh ]] || head -n1 "$f" 2>/dev/null | grep -qaE '^#!(/usr/bin/env |/bin/)(ba|da)?sh\b'; then
      echo "$f"
    fi
  done
}

lint_shell() {
  require_tools shellcheck
  local out
  out=$(shell_scripts | xargs -r shellcheck -f gcc 2>&1 || true)
  [ -z "$out" ] || printf '%s\n' "$out"
  findings=$(printf '%s\n' "$out" | grep -c . || true)
}

lint_editorconfig() {
  require_tools editorconfig iconv
  local file key value out=""
  local -A props=()
  # One call for all files: "[path]" and then its "key=value" lines.
  while IFS= read -r line; do
    if [[ "$line" == "["*"]" ]]; then
      [ -z "${file:-}" ] || out+=$(editorconfig_check "$file")$'\n'
      file=${line#[}
      file=${file%]}
      props=()
    else
      key=${line%%=*}
      value=${line#*=}
      props[$key]=$value
    fi
  done < <(files -z | xargs -0 -I{} printf '%s\n' "$repo/{}" | xargs -r editorconfig)
  [ -z "${file:-}" ] || out+=$(editorconfig_check "$file")
  out=$(printf '%s\n' "$out" | grep . || true)
  [ -z "$out" ] || printf '%s\n' "$out"
  findings=$(printf '%s\n' "$out" | grep -c . || true)
}

# Findings for one file, from the properties in `props`, one line each.
editorconfig_check() {
  local path=$1 name=${1#"$repo"/}
  [ -f "$path" ] && [ -s "$path" ] || return 0
  if [ "${props[end_of_line]:-}" = lf ] && grep -q $'\r' "$path"; then
    printf '%s: carriage return in a line end (end_of_line = lf)\n' "$name"
  fi
  if [ "${props[insert_final_newline]:-}" = true ] && [ -n "$(tail -c1 "$path")" ]; then
    printf '%s: no line feed at the end (insert_final_newline = true)\n' "$name"
  fi
  if [ "${props[trim_trailing_whitespace]:-}" = true ]; then
    grep -nE '[[:blank:]]$' "$path" | cut -d: -f1 | sed "s|^|$name:|; s|$|: trailing white space|" || true
  fi
  if [ "${props[indent_style]:-}" = space ]; then
    grep -nE $'^ *\t' "$path" | cut -d: -f1 | sed "s|^|$name:|; s|$|: tab in the indentation|" || true
  fi
  if [ "${props[charset]:-}" = utf-8 ] && ! iconv -f UTF-8 -t UTF-8 "$path" >/dev/null 2>&1; then
    printf '%s: not valid UTF-8 (charset = utf-8)\n' "$name"
  fi
}

passed=0
failed=0
for part in "${parts[@]}"; do
  case "$part" in
    format|tidy|tidy-win|shell|editorconfig) ;;
    *) die "unknown part '$part' (format, tidy, tidy-win, shell, editorconfig, or --no-format or --staged alone)" ;;
  esac
  findings=0
  "lint_$part"
  echo "lint $part: $findings findings"
  if [ "$findings" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "lint: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
