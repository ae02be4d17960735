#!/usr/bin/env bash
# command_run.sh COMMAND KERNEL: drives the C++ loadgrid-model through real
# work, so that a sanitizer build runs its whole path; checks each status
# and a little of each output.
set -uo pipefail
command=$1 kernel=$2
work=$(mktemp -d /tmp/loadgrid-command.XXXXXX)
trap 'rm -rf "$work"' EXIT
export LOADGRID_MODEL_CACHE=$work/models
failed=0

# expect STATUS PATTERN ARGS...: runs the command, wants that status and a
# line of its output (stdout and stderr) matching PATTERN.
expect() {
  local want=$1 pattern=$2 status
  shift 2
  "$command" "$@" >"$work/out" 2>&1
  status=$?
  if ((status != want)) || ! grep -qE -- "$pattern" "$work/out"; then
    echo "FAILED: loadgrid-model $* (status $status, want $want and /$pattern/):"
    head -20 "$work/out"
    failed=1
  fi
}

for policy in lru fifo plru random:7; do
  expect 0 '^32k,8,64 +[0-9]+ ' misses "$kernel" --cache 32k,8,64 --passes 1 --policy "$policy"
done
expect 0 '^32k,8,64 +[0-9]+ ' misses "$kernel" --cache 32k,8,64 4k,2,32 --passes 1 --kinds
expect 0 '^[01] [0-9a-f]+$' trace "$kernel" --passes 1
expect 0 '^hits:[0-9]+ misses:[0-9]+ evictions:[0-9]+$' lab "$kernel" --passes 1 -s 4 -E 2 -b 5 -v
expect 0 '^summary:' predict "$kernel" --passes 1 --D1 32768,8,64
expect 0 '^[0-9]+,' surface "$kernel" --passes 1 --lines 64 --sets 1-4 --ways 1-2
expect 2 '^usage: loadgrid-model misses' misses
expect 1 '^loadgrid-model: ' misses "$work/no-such-kernel" --cache 32k,8,64
exit $failed
