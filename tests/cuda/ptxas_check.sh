#!/usr/bin/env bash
# Compiles one kernel module's host copy for each compute capability it
# carries machine code for, with ptxas reporting, and fails when any kernel
# uses a stack frame or spills registers. The module list
# (cuda/CMakeLists.txt) makes one such test per module.
# PTXAS_OPTIONS are those the module's build gives ptxas.
# Usage: ptxas_check.sh NVCC HOST_COPY "CC..." "PTXAS_OPTIONS" INCLUDE_DIR...
set -euo pipefail
nvcc=$1
source=$2
ccs=$3
ptxas_options=$4
shift 4
includes=()
for dir in "$@"; do includes+=("-I$dir"); done

report=$(mktemp)
trap 'rm -f "$report"' EXIT
for cc in $ccs; do
  echo "== $(basename "$source") sm_$cc" >>"$report"
  "$nvcc" -std=c++20 "${includes[@]}" -c -o /dev/null -Xptxas -v \
    ${ptxas_options:+--ptxas-options="$ptxas_options"} -gencode "arch=compute_$cc,code=sm_$cc" \
    "$source" >>"$report" 2>&1
done
kernels=$(grep -c 'bytes stack frame' "$report" || true)
bad=$(grep 'bytes stack frame' "$report" | grep -v -E '^[[:space:]]*0 bytes stack frame, 0 bytes spill stores, 0 bytes spill loads$' || true)
echo "ptxas: $kernels kernel builds checked"
if [ "$kernels" -eq 0 ] || [ -n "$bad" ]; then
  cat "$report"
  exit 1
fi
