#!/usr/bin/env bash
# Compiles every kernel module for every target with ptxas reporting, and
# fails when any kernel uses a stack frame or spills registers.
set -euo pipefail
nvcc=$1
root=$2
report=$(mktemp)
trap 'rm -f "$report"' EXIT
for module in "$root"/cuda/*_host_layer.cu; do
  "$nvcc" -std=c++20 -I"$root" -c -o /dev/null -Xptxas -v \
    -gencode arch=compute_80,code=sm_80 -gencode arch=compute_90,code=sm_90 \
    -gencode arch=compute_100,code=sm_100 -gencode arch=compute_120,code=sm_120 \
    "$module" >>"$report" 2>&1
done
kernels=$(grep -c 'bytes stack frame' "$report" || true)
bad=$(grep 'bytes stack frame' "$report" | grep -v -E '^[[:space:]]*0 bytes stack frame, 0 bytes spill stores, 0 bytes spill loads$' || true)
echo "ptxas: $kernels kernel builds checked"
if [ "$kernels" -eq 0 ] || [ -n "$bad" ]; then
  cat "$report"
  exit 1
fi
