#!/usr/bin/env bash
# Time the README's sweep of known answers, five D1 geometries for each
# kernel, by loadgrid-model (already learned) against cachegrind giving the
# same answers, both two at a time on two cores; then cachegrind's whole
# report at three hierarchies, predicted and measured; then each kernel's
# whole surface against cachegrind at ten geometries; then the policies
# against LRU; then the fixed cost of a command; then the learning of each
# kernel from an empty cache.  ONLY, if set, names the parts to time, of
# sweep, report, surface, policies, fixed and learn.  The first four set
# the model against cachegrind (and the policies against LRU): paired.py
# runs their commands in turn, round by round, and takes each ratio round
# by round, which holds where the machine's speed drifts; hyperfine times
# the last two.
# usage: [ONLY="PART ..."] modelbench.sh LOADGRID-MODEL BINDIR
set -euo pipefail
model=$1 bindir=$2
command -v hyperfine >/dev/null ||
  { echo "modelbench: hyperfine: not installed" >&2; exit 1; }
wanted() { [[ -z ${ONLY:-} || " $ONLY " == *" $1 "* ]]; }
here=$(cd "$(dirname "$0")" && pwd)
paired() { /usr/bin/python3 "$here/paired.py" "$@"; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export LOADGRID_MODEL_CACHE=$tmp/cache
sweep="8192,1,32 32768,8,64 49152,12,64 65536,2,64 1048576,16,64"
link=$(mktemp -d /tmp/loadgrid-model.XXXXXX)
trap 'rm -rf "$tmp" "$link"' EXIT
echo "modelbench: learning the three kernels" >&2
for k in loadgrid1 loadgrid2 loadgrid3; do
  cp "$bindir/$k" "$link/$k"  # the canonical run starts a copy
  "$model" misses "$bindir/$k" --cache $sweep >"$tmp/$k.model" 2>/dev/null
done

if wanted sweep; then
# The command runs the geometries on two threads; cachegrind two at once.
cat >"$tmp/cachegrind.sh" <<SH
for k in loadgrid1 loadgrid2 loadgrid3; do
  for g in $sweep; do echo \$k \$g; done
done | xargs -P2 -n2 sh -c 'cd / && env -i valgrind --tool=cachegrind \
  --cache-sim=yes --D1=\$1 --cachegrind-out-file=/dev/null $link/\$0 \
  >/dev/null 2>&1'
SH
echo "modelbench: timing the sweep, ${RUNS:-10} runs of each (about 1 min)" >&2
paired "${RUNS:-10}" "loadgrid-model misses" \
  "for k in loadgrid1 loadgrid2 loadgrid3; do $model misses $bindir/\$k --cache $sweep || exit 1; done" \
  "cachegrind" "sh $tmp/cachegrind.sh"
fi

if wanted report; then
# The whole report: three hierarchies for each kernel, predicted by nine
# commands and in one process, against cachegrind's nine runs, all two at
# a time.
hierarchies="--I1=32768,8,64:--D1=32768,8,64:--LL=268435456,1,64
--I1=16384,4,32:--D1=8192,2,64:--LL=262144,8,128
--I1=32768,8,64:--D1=49152,12,64:--LL=8388608,16,64"
jobs() {
  for k in loadgrid1 loadgrid2 loadgrid3; do
    for h in $hierarchies; do echo "$k ${h//:/ }"; done
  done
}
jobs >"$tmp/jobs"
cat >"$tmp/predict.sh" <<SH
xargs -P2 -L1 sh -c '$model predict $bindir/\$0 "\$@" -o /dev/null 2>/dev/null' <"$tmp/jobs"
SH
cat >"$tmp/cachegrind-all.sh" <<SH
xargs -P2 -L1 sh -c 'cd / && env -i valgrind --tool=cachegrind --cache-sim=yes \
  "\$@" --cachegrind-out-file=/dev/null $link/\$0 >/dev/null 2>&1' <"$tmp/jobs"
SH
# The same nine reports by a script that runs predict two at a time.
mkdir "$tmp/reports"
hs=()
while read -r h; do hs+=("${h//:/ }"); done <<<"$hierarchies"
printf '/usr/bin/python3 %q %q %q' "$here/reports.py" "$bindir" \
  "$tmp/reports" >"$tmp/reports.sh"
printf ' %q' "${hs[@]}" >>"$tmp/reports.sh"
echo
echo "modelbench: timing the whole report, ${RUNS:-10} runs of each" >&2
paired "${RUNS:-10}" "loadgrid-model predict, nine commands" "sh $tmp/predict.sh" \
  "loadgrid-model predict, by a script" "sh $tmp/reports.sh" \
  "cachegrind" "sh $tmp/cachegrind-all.sh"
fi

if wanted surface; then
# Each kernel's whole default surface (1,916 caches) against cachegrind
# answering ten of them, two at a time.
ten="8192,1,32 32768,8,64 49152,12,64 65536,2,64 1048576,16,64 4096,32,32
16384,4,128 131072,1,256 262144,32,256 2097152,8,128"
for k in loadgrid1 loadgrid2 loadgrid3; do
  cat >"$tmp/ten-$k.sh" <<SH
for g in $(echo $ten); do echo \$g; done | xargs -P2 -n1 sh -c 'cd / && env -i \
  valgrind --tool=cachegrind --cache-sim=yes --D1=\$0 \
  --cachegrind-out-file=/dev/null $link/$k >/dev/null 2>&1'
SH
done
echo
echo "modelbench: timing each kernel's surface against cachegrind at ten caches, ${RUNS:-5} runs of each" >&2
for k in loadgrid1 loadgrid2 loadgrid3; do
  paired "${RUNS:-5}" "loadgrid-model surface $k" "$model surface $bindir/$k" \
    "cachegrind, ten caches" "sh $tmp/ten-$k.sh"
done

fi

# Each policy's figures, and the kinds, against today's LRU answers and
# cachegrind's run, at one geometry.
if wanted policies; then
echo
echo "modelbench: timing the policies at 32768,8,64, ${RUNS:-10} runs of each" >&2
for k in loadgrid1 loadgrid2 loadgrid3; do
  paired "${RUNS:-10}" "$k, LRU as without a policy" "$model misses $bindir/$k --cache 32768,8,64" \
    "policy fifo" "$model misses $bindir/$k --cache 32768,8,64 --policy fifo" \
    "policy plru" "$model misses $bindir/$k --cache 32768,8,64 --policy plru" \
    "policy random:1" "$model misses $bindir/$k --cache 32768,8,64 --policy random:1" \
    "lru with the kinds" "$model misses $bindir/$k --cache 32768,8,64 --kinds" \
    "cachegrind, the same cache" "cd / && env -i valgrind --tool=cachegrind \
      --cache-sim=yes --D1=32768,8,64 --cachegrind-out-file=/dev/null $link/$k"
done
fi

# What every answer from a kept model pays: the program started, the model
# read and checked, and one pass simulated.
if wanted fixed; then
echo
echo "modelbench: timing the fixed cost, ${RUNS:-20} runs of each" >&2
hyperfine -N --warmup 3 --runs "${RUNS:-20}" --export-markdown "$tmp/fixed.md" \
  -n "python3 -IS, nothing" "/usr/bin/python3 -IS -c pass" \
  -n "loadgrid-model --version" "$model --version" \
  -n "misses, one pass" "$model misses $bindir/loadgrid1 --passes 1 --cache 32768,8,64" \
  >/dev/null
cat "$tmp/fixed.md"
fi

if wanted learn; then
echo
echo "modelbench: timing learning from an empty cache, ${RUNS:-5} runs of each kernel" >&2
hyperfine --runs "${RUNS:-5}" --prepare "rm -rf $tmp/cache" \
  --export-markdown "$tmp/learn.md" \
  -n "learn loadgrid1" "$model misses $bindir/loadgrid1 --passes 1 --cache 32768,8,64" \
  -n "learn loadgrid2" "$model misses $bindir/loadgrid2 --passes 1 --cache 32768,8,64" \
  -n "learn loadgrid3" "$model misses $bindir/loadgrid3 --passes 1 --cache 32768,8,64" \
  >/dev/null
cat "$tmp/learn.md"
fi
