#!/usr/bin/env bash
# The GPU bundle's run script on a machine without a GPU:
#
#   bundle_check.sh STAND_IN_BUNDLE [BUNDLE]
#
# The stand-in bundle (the same programs over the CPU stand-in) must pass
# every step, so the steps and their parsing are tried before a GPU is at
# hand; BUNDLE (the real modules, where nvcc built them) must stop within
# seconds with the driver's message, a "no NVIDIA driver" summary and a
# non-zero status. Neither may hit a shell error. (gpu-bundle itself checks
# the libraries and the size.)
set -uo pipefail
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: bundle_check.sh STAND_IN_BUNDLE [BUNDLE]" >&2
  exit 2
fi
stand_in=$1 bundle=${2:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

check() {  # what, condition...
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAIL: $what"
    failures=$((failures + 1))
  fi
}

# run_bundle DIR NAME LIMIT: DIR/run with OUT under the scratch folder;
# sets run_status, run_seconds and the log paths.
run_bundle() {
  local dir=$1 name=$2 limit=$3
  shift 3
  out_dir=$scratch/$name-out log=$scratch/$name.log err=$scratch/$name.err
  local begin=$SECONDS
  env "$@" OUT="$out_dir" timeout --kill-after=5 "$limit" "$dir/run" >"$log" 2>"$err"
  run_status=$?
  run_seconds=$((SECONDS - begin))
}

no_shell_errors() { ! grep -qE 'line [0-9]+:|command not found|unbound variable|syntax error' "$err" "$log"; }
logged() { grep -qF -- "$1" "$log"; }
summary_says() { grep -qF -- "$1" "$out_dir/gpu-run.txt"; }

if [ -z "$bundle" ]; then
  echo "skipped: the real bundle's no-driver run (no bundle of the real modules)"
elif [ -e /dev/nvidia0 ]; then
  echo "skipped: the real bundle's no-driver run (this machine has a GPU)"
else
  run_bundle "$bundle" real 60
  check "the real bundle stops with a non-zero status ($run_status)" test "$run_status" -ne 0 -a "$run_status" -ne 124
  check "within seconds ($run_seconds s)" test "$run_seconds" -le 10
  check "with the driver's message" \
    logged "error: cudaGetDeviceCount: CUDA driver version is insufficient for CUDA runtime version"
  check "and a summary saying there is no driver" summary_says "no NVIDIA driver on this machine"
  check "without a shell error" no_shell_errors
fi

run_bundle "$stand_in" stand-in 300 MINING_SECONDS=35 BENCH_SECONDS=0.3
check "the stand-in bundle passes every step ($run_status)" test "$run_status" -eq 0
# nvidia-smi, devices, a layer suite per module, the self-test suite, two
# self-test runs, the bench and the mining run.
steps=$((7 + $(wc -l <"$stand_in/modules.txt")))
check "its summary has a row for each step ($steps)" test "$(grep -cE '^(nvidia-smi|devices|[a-z0-9]+ layer|GPU self-test suite|ovik_dtc --selftest|GPU bench|mining) ' "$out_dir/gpu-run.txt")" -eq "$steps"
check "its miner accepted shares, with no GPU/host mismatch and nothing invalid at the bridge" \
  grep -qE '^mining .* ok .*accepted [1-9][0-9]*, blocks [0-9]+, GPU≠host 0, invalid at the bridge 0' "$out_dir/gpu-run.txt"
check "its bench checked every window on the host" grep -qE '^GPU bench +ok .* ([0-9]+) windows, \1 host-checked ok' \
  "$out_dir/gpu-run.txt"
check "without a shell error" no_shell_errors
if [ $failures -ne 0 ]; then
  echo "--- stand-in run"
  cat "$scratch/stand-in.log" "$scratch/stand-in.err"
fi
exit $((failures > 0))
