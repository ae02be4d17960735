#!/usr/bin/env bash
# run.sh FUZZER SECONDS MODEL-COMMAND KERNEL: fuzzes for SECONDS from seeds
# made here (a model learned from KERNEL, a cachegrind file of /bin/true);
# fails on any crash, leak or input slower than 10 s.
set -euo pipefail
fuzzer=$(realpath "$1") seconds=$2 command=$3 kernel=$4
work=$(mktemp -d /tmp/loadgrid-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/models"
case $(basename "$fuzzer") in
model-fuzz)
  LOADGRID_MODEL_CACHE=$work/models "$command" misses "$kernel" \
    --cache 32k,8,64 --passes 1 >/dev/null
  find "$work/models" -type f -size +1k -exec cp {} "$work/corpus/" \; ;;
report-fuzz)
  valgrind -q --tool=cachegrind --cache-sim=yes \
    --cachegrind-out-file="$work/corpus/true.out" /bin/true ;;
esac
test -n "$(ls "$work/corpus")" || { echo "no seed made" >&2; exit 1; }
cd "$work"
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$work/" corpus
