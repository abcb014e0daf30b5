#!/usr/bin/env bash
# Builds the libFuzzer harnesses of tests/fuzz with clang under AddressSanitizer
# and UndefinedBehaviorSanitizer, runs each from its seed corpus for
# FUZZ_SECONDS (30 by default), and fails if any of them reports anything.
# New inputs go to build/fuzz/corpus/, reports to build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS="${FUZZ_SECONDS:-30}"

# Debian's clang; its libFuzzer runtime comes in the compiler-rt package.
fuzzer_runtime() {
  compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null
}
missing=()
command -v clang++ >/dev/null 2>&1 || missing+=(clang)
fuzzer_runtime || missing+=(libclang-rt-dev)
command -v ninja >/dev/null 2>&1 || [ -x .venv/bin/ninja ] || missing+=(ninja-build)
command -v cmake >/dev/null 2>&1 || [ -x .venv/bin/cmake ] || missing+=(cmake)
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
[ -d .venv/bin ] && export PATH="$PWD/.venv/bin:$PATH"

echo "== fuzz harnesses (clang, AddressSanitizer, UndefinedBehaviorSanitizer)"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DVELKOR_BUILD_FUZZERS=ON \
  -DVELKOR_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz --target velkor_fuzzers

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
passed=0
failed=0
for seeds in tests/fuzz/corpus/*/; do
  name="$(basename "$seeds")"
  harness="build/fuzz/fuzz_$name"
  work="build/fuzz/corpus/$name"
  log="build/fuzz/fuzz_$name.log"
  mkdir -p "$work" build/fuzz/artifacts
  status=0
  # The first folder takes what the run finds; the seeds in the repo are only read.
  "$harness" -max_total_time="$FUZZ_SECONDS" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/artifacts/$name-" "$work" "$seeds" >"$log" 2>&1 || status=$?
  done_line="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)"
  rate="$(sed -n 's/^stat::average_exec_per_sec:[[:space:]]*//p' "$log")"
  runs="$(sed -n 's/^stat::number_of_executed_units:[[:space:]]*//p' "$log")"
  cov="$(sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\).*/cov \1, features \2/p' <<<"$done_line")"
  if [ "$status" -eq 0 ] && [ -n "$done_line" ] &&
     ! grep -qE 'ERROR: (libFuzzer|AddressSanitizer|LeakSanitizer)|runtime error:|invariant failed' "$log"; then
    passed=$((passed + 1))
    echo "ok    $name: ${runs:-?} runs, ${rate:-?}/s, ${cov:-no coverage line}"
  else
    failed=$((failed + 1))
    echo "FAIL  $name (exit $status), log $log:"
    grep -E 'ERROR|runtime error|invariant failed|SUMMARY|Test unit written' "$log" | head -n 20 || tail -n 20 "$log"
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
