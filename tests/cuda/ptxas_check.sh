#!/usr/bin/env bash
# Compiles every kernel module for each compute capability it carries
# machine code for, with ptxas reporting, and fails when any kernel uses a
# stack frame or spills registers, or when a module has no row below.
# Usage: ptxas_check.sh NVCC SOURCE_ROOT GENERATED_INCLUDE_DIR [PTXAS_OPTIONS]
# (PTXAS_OPTIONS: those the modules' builds give ptxas.)
set -euo pipefail
nvcc=$1
root=$2
generated=$3
ptxas_options=${4:-}

# The machine code targets of each module, as its CMake target builds them.
architectures() {
  case $1 in
    energy) echo 80 90 100 120 ;;
    compact) echo 80 90 100 ;;
    hb89) echo 89 ;;
    fast89) echo 89 ;;
    fast120) echo 120 ;;
    fast86) echo 86 ;;
    *) return 1 ;;
  esac
}

report=$(mktemp)
trap 'rm -f "$report"' EXIT
for source in "$root"/cuda/*_host_layer.cu; do
  module=$(basename "$source" _host_layer.cu)
  if ! archs=$(architectures "$module"); then
    echo "ptxas: no architectures listed for module $module"
    exit 1
  fi
  for cc in $archs; do
    echo "== $module sm_$cc" >>"$report"
    "$nvcc" -std=c++20 -I"$root" -I"$generated" -c -o /dev/null -Xptxas -v ${ptxas_options:+--ptxas-options="$ptxas_options"} \
      -gencode "arch=compute_$cc,code=sm_$cc" \
      "$source" >>"$report" 2>&1
  done
done
kernels=$(grep -c 'bytes stack frame' "$report" || true)
bad=$(grep 'bytes stack frame' "$report" | grep -v -E '^[[:space:]]*0 bytes stack frame, 0 bytes spill stores, 0 bytes spill loads$' || true)
echo "ptxas: $kernels kernel builds checked"
if [ "$kernels" -eq 0 ] || [ -n "$bad" ]; then
  cat "$report"
  exit 1
fi
