#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) into BUILD_DIR (default: build-fuzz) and runs
# each for SECONDS (default 60) from its seed corpus in fuzz/corpus/<target>. What a run learns is
# kept in BUILD_DIR/fuzz-corpus/<target> (the seeds in the repo are never written); a finding is
# written to BUILD_DIR/fuzz-findings/ and makes the script exit non-zero after the other targets
# have run. A memory bomb counts as a finding: a single allocation over 64 MB or 1 GB resident.
# With FUZZ_RUNS=N each target stops after N inputs instead (SECONDS 0: no time limit). Each
# run's wall and CPU time are printed after its closing line. AddressSanitizer keeps no allocation
# stacks while fuzzing (ASAN_OPTIONS, unless set: malloc_context_size=0), which saves a stack walk
# per allocation; a finding is run once more with full stacks into <log>.stacks. A target stopped
# by a signal (libFuzzer's exit 72) is no finding: the script says so and stops with 72.
#   scripts/fuzz.sh [SECONDS] [TARGET ...]     TARGET: link_stream link_dispatch bvh ...
#   FUZZ_RUNS=10000000 nice -n 19 scripts/fuzz.sh 0 link_stream     # a long run
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-fuzz}
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(link_stream link_dispatch bvh motion_protocol capture_file)

"$root/scripts/install-deps.sh"
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DKMQ_FUZZ=ON -DKMQ_BUILD_TESTS=OFF \
  -DKMQ_BUILD_BENCHMARKS=OFF "${launcher[@]}" >/dev/null
fuzzers=()
for target in "${targets[@]}"; do fuzzers+=("${target}_fuzzer"); done
cmake --build "$build" -j"$(nproc)" --target "${fuzzers[@]}" kmq-fuzz-seeds

export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=0}
findings=$build/fuzz-findings
mkdir -p "$findings"
failed=()
for target in "${targets[@]}"; do
  corpus=$build/fuzz-corpus/$target
  log=$build/fuzz-$target.log
  mkdir -p "$corpus"
  echo "== fuzz $target for ${seconds}s"
  status=0
  limits=(-max_total_time="$seconds")
  [ -n "${FUZZ_RUNS:-}" ] && limits+=(-runs="$FUZZ_RUNS")
  # Where one input may cost a hundred times another (kilobytes of frames, a long BVH text), the
  # cheaper inputs of equal promise are run more often: twice the inputs a second and the same
  # coverage in the same time. The other targets' inputs cost about the same, and there it lost
  # features.
  case $target in
    link_stream | bvh) limits+=(-entropic_scale_per_exec_time=1) ;;
  esac
  TIMEFORMAT="fuzz $target: %R s wall, %U s user, %S s system"
  { time (cd "$build" && "$build/fuzz/${target}_fuzzer" "${limits[@]}" \
    -rss_limit_mb=1024 -malloc_limit_mb=64 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$findings/$target-" "$corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1); } \
    2>"$log.time" || status=$?
  # The closing line: executions, coverage (cov), features (ft), corpus.
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true
  cat "$log.time"
  if [ "$status" -eq 72 ]; then  # libFuzzer's exit after SIGINT or SIGTERM: stopped, not a finding
    echo "fuzz $target: stopped before its end (no finding); log $log"
    exit 72
  fi
  if [ "$status" -ne 0 ]; then
    echo "fuzz $target: FINDING (exit $status); input in $findings, log $log"
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -5 || true
    for input in "$findings/$target"-*; do
      [ -f "$input" ] || continue
      (cd "$build" && ASAN_OPTIONS= "$build/fuzz/${target}_fuzzer" -rss_limit_mb=1024 \
        -malloc_limit_mb=64 "$input") >>"$log.stacks" 2>&1 || true
    done
    failed+=("$target")
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: findings in ${failed[*]}"
  exit 1
fi
if [ -n "${FUZZ_RUNS:-}" ]; then
  echo "fuzz: ${#targets[@]} targets ran $FUZZ_RUNS inputs each, no finding"
else
  echo "fuzz: ${#targets[@]} targets ran ${seconds}s each, no finding"
fi
