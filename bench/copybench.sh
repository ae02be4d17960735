#!/usr/bin/env bash
# Time bytecopy on a 64 MiB file against a bare loop of the same calls,
# C stdio's getc/putc and cp, then its peak memory at several file sizes.
# usage: copybench.sh BYTECOPY PLAINLOOP STDIOCOPY
set -euo pipefail
bytecopy=$1 plain=$2 stdio=$3
command -v hyperfine >/dev/null ||
  { echo "copybench: hyperfine: not installed" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

head -c 64M /dev/urandom >"$tmp/in"
hyperfine -N --warmup 2 --runs "${RUNS:-10}" --export-markdown "$tmp/times.md" \
  -n bytecopy "$bytecopy $tmp/in $tmp/out" \
  -n 'get/<< loop' "$plain $tmp/in $tmp/out" \
  -n 'getc/putc' "$stdio $tmp/in $tmp/out" \
  -n cp "cp $tmp/in $tmp/out" >/dev/null
cmp "$tmp/in" "$tmp/out"
cat "$tmp/times.md"

echo
echo "| file size | bytecopy peak memory |"
echo "|---:|---:|"
for size in 1M 64M 256M; do
  head -c "$size" /dev/zero >"$tmp/in"
  kib=$(/usr/bin/time -f %M "$bytecopy" "$tmp/in" "$tmp/out" 2>&1 >/dev/null)
  cmp "$tmp/in" "$tmp/out"
  echo "| $size | $kib KiB |"
done
