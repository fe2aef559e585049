# Shared by scripts/fuzz-smoke and scripts/fuzz-long (sourced from the repository root).

# The first sanitizer report ends the run with an error, whatever the caller's environment says.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}halt_on_error=1:abort_on_error=0"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}halt_on_error=1:print_stacktrace=1"

# The named targets, or every fuzz/<name>_fuzz.cpp.
fuzz_targets() {
  if [ $# -gt 0 ]; then printf '%s\n' "$@"; return; fi
  for src in fuzz/*_fuzz.cpp; do basename "$src" .cpp; done
}

fuzz_binary() {
  local bin=build/fuzz/fuzz/$1
  [ -x "$bin" ] && echo "$bin"
}

fuzz_seeds() {
  local seeds=fuzz/corpus/${1%_fuzz}
  [ -d "$seeds" ] && echo "$seeds"
}

# The target's libFuzzer flags: its dictionary, and fuzz/<name>.options (one flag a line, such
# as the longest input its format needs).
fuzz_options() {
  local base=fuzz/${1%_fuzz}
  [ -f "$base.dict" ] && echo "-dict=$base.dict"
  [ -f "$base.options" ] && grep -v '^#' "$base.options"
  return 0
}
