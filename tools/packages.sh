#!/usr/bin/env bash
# Makes the release packages in a build folder and tries them as users meet
# them: the .deb installed, run from /usr/bin by bare name and removed with
# nothing of it left; the tarball unpacked into a folder with a long name
# and run there by an ordinary user.
#
#   tools/packages.sh [BUILD_DIR]        (default build/gcc)
#
# The .deb part needs root (it is skipped otherwise); as root the tarball is
# run by the user $LOADGRID_USER (default loadgrid-ci), created for the run
# and removed after it if it does not exist.  Everything made under /tmp is
# removed, on failure too.
set -euo pipefail
# useradd, userdel and runuser lie in sbin, which a short PATH leaves out.
PATH=$PATH:/usr/sbin:/sbin
cd "$(dirname "$0")/.."
src=$PWD
build=$(realpath "${1:-build/gcc}")
cache=$build/CMakeCache.txt
[[ -f $cache ]] || { echo "packages: $build: not a build folder" >&2; exit 2; }

fail() { echo "packages: FAILED: $*" >&2; exit 1; }
step() { echo "== $*"; }

tmp=
installed=
created=
cleanup() {
  local status=$?
  set +e
  if [[ $installed ]]; then
    apt-get remove -y -qq loadgrid >/dev/null
  fi
  if [[ $created ]]; then
    userdel -r "$created" 2>/dev/null
  fi
  [[ $tmp ]] && rm -rf "$tmp"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
tmp=$(mktemp -d /tmp/loadgrid-packages.XXXXXX)

# The one version, project()'s, and what the packages are called.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$cache")
[[ $version ]] || fail "no project version in $cache"
deb=$build/loadgrid_${version}_$(dpkg --print-architecture).deb
tgz=$build/loadgrid-$version-linux-$(uname -m).tar.gz

step "Packages of loadgrid $version"
rm -f "$build"/loadgrid_*.deb "$build"/loadgrid-*.tar.gz
cmake --build "$build" --target package
for p in "$deb" "$tgz"; do
  [[ -f $p ]] || fail "$p was not made"
  printf '%s  %s bytes\n' "${p##*/}" "$(stat -c %s "$p")"
done
[[ $(dpkg-deb -f "$deb" Version) == "$version" ]] ||
  fail "the .deb's Version is $(dpkg-deb -f "$deb" Version), not $version"

# Runs "$@" in an empty environment from /, as user $1 ("" for oneself).
clean_run() {
  local user=$1 home; shift
  if [[ $user ]]; then
    home=$(getent passwd "$user" | cut -d: -f6)
    (cd / && runuser -u "$user" -- env -i HOME="$home" PATH=/usr/bin:/bin \
      LC_ALL=C.UTF-8 "$@")
  else
    (cd / && env -i HOME="$HOME" PATH=/usr/bin:/bin LC_ALL=C.UTF-8 "$@")
  fi
}

# docs/packaging.md's sh block N (from 1), its comments dropped, its man
# lines too where this system's man pages are left out or there is no man.
doc_block() {
  awk -v n="$1" '/^```sh$/ { k++; inside = k == n; next } /^```$/ { inside = 0 }
    inside' "$src/docs/packaging.md" | sed 's/[[:space:]]*#.*//' |
    if [[ $man_checked ]]; then cat; else grep -v '^man '; fi
}
man_checked=1
if grep -rqs '^path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg.d/ ||
  ! command -v man >/dev/null; then
  man_checked=
fi

# A kernel and the copier work, and say nothing.
programs_run() {
  local user=$1 bindir=$2 copy=$3 out
  out=$(clean_run "$user" "$bindir/loadgrid1" 2>&1) || fail "loadgrid1 failed: $out"
  [[ -z $out ]] || fail "loadgrid1 printed: $out"
  clean_run "$user" "$bindir/bytecopy" "$bindir/loadgrid2" "$copy" ||
    fail "bytecopy failed"
  cmp "$bindir/loadgrid2" "$copy" || fail "bytecopy's copy differs"
}

if ((EUID == 0)); then
  step "The .deb: install, run from /usr/bin, remove"
  if dpkg-query -W -f='${Status}' loadgrid 2>/dev/null | grep -q ' installed$'
  then
    fail "loadgrid is installed already: remove it first (apt-get remove loadgrid)"
  fi
  installed=1
  apt-get install -y "$deb"
  mapfile -t files < <(dpkg-query -L loadgrid)
  root_home=$tmp/root-home  # root's model cache for this run, not /root's
  mkdir "$root_home"
  [[ $(cd / && env -i PATH=/usr/bin:/bin sh -c 'command -v loadgrid-model') \
    == /usr/bin/loadgrid-model ]] || fail "loadgrid-model is not in /usr/bin"
  out=$(cd / && env -i PATH=/usr/bin:/bin loadgrid-model --version) ||
    fail "loadgrid-model --version"
  [[ $out == *"$version"* ]] ||
    fail "loadgrid-model --version says '$out', not $version"
  mkdir "$tmp/deb-copy"
  programs_run "" /usr/bin "$tmp/deb-copy/loadgrid2"
  (cd / && env -i HOME="$root_home" PATH=/usr/bin:/bin \
    loadgrid-model check loadgrid1 --cache 32k,8,64) ||
    fail "loadgrid-model check from /usr/bin"
  if [[ ! $man_checked ]]; then
    echo "man pages: this system leaves them out or has no man, not checked"
  else
    page=$(man -w loadgrid1) || fail "man finds no loadgrid1 page"
    [[ $page == /usr/share/man/man1/loadgrid1.1.gz ]] ||
      fail "man loadgrid1 is $page"
    MANWIDTH=80 man loadgrid1 2>&1 | grep -q '12,000,000' ||
      fail "man loadgrid1 does not render"
  fi

  apt-get remove -y loadgrid
  installed=
  left=()
  for f in "${files[@]}"; do
    [[ $f == /. ]] && continue
    if [[ -d $f && ! -L $f ]]; then
      # A folder may stay only if another package owns it too.
      dpkg-query -S "$f" >/dev/null 2>&1 || left+=("$f/")
    elif [[ -e $f || -L $f ]]; then
      left+=("$f")
    fi
  done
  ((${#left[@]} == 0)) || fail "left after apt-get remove: ${left[*]}"
  echo "removed: none of the package's ${#files[@]} paths is left"

  # The doc's apt remove asks to go on, and is told yes, as at a terminal.
  step "The .deb as docs/packaging.md installs, runs and removes it"
  installed=1
  (cd "$build" && env -i HOME="$root_home" PATH=/usr/bin:/bin LC_ALL=C.UTF-8 \
    bash -euo pipefail -c "sudo() { \"\$@\"; }; $(doc_block 2)") < <(yes) >/dev/null ||
    fail "docs/packaging.md's lines for the .deb"
  installed=
else
  echo "== The .deb: skipped, installing needs root"
fi

step "The tarball, unpacked into a long-named folder, run by an ordinary user"
user=
if ((EUID == 0)); then
  user=${LOADGRID_USER:-loadgrid-ci}
  if ! id "$user" >/dev/null 2>&1; then
    useradd -m "$user"
    created=$user
  fi
  chmod 711 "$tmp"
fi
long="$tmp/loadgrid $version unpacked in a folder with a long name"
while ((${#long} - ${#tmp} < 180)); do long+=", and longer"; done
mkdir "$long"
[[ $user ]] && chown "$user:" "$long"
clean_run "$user" tar -xzf - --strip-components=1 -C "$long" < "$tgz"
echo "unpacked into a folder of ${#long} characters: $long"

hits=$(grep -rlF -e "$src" -e "$build" -e /work/ -e /root "$long" || true)
[[ -z $hits ]] || fail "paths of the build machine in: $hits"
out=$(clean_run "$user" "$long/bin/loadgrid-model" --version) ||
  fail "the tarball's loadgrid-model --version"
[[ $out == *"$version"* ]] ||
  fail "the tarball's loadgrid-model --version says '$out', not $version"
programs_run "$user" "$long/bin" "$long/loadgrid2.copy"
# The build's own model, asked about the unpacked kernel, is the answer to
# hold the tarball's against.
question=(misses loadgrid1 --cache 32k,8,64)
want=$(LOADGRID_MODEL_CACHE=$tmp/build-cache "$build/loadgrid-model" \
  "${question[0]}" "$long/bin/${question[1]}" "${question[@]:2}")
echo "the build folder answers: $want"
got=$(clean_run "$user" "$long/bin/loadgrid-model" "${question[@]}") ||
  fail "the tarball's loadgrid-model ${question[*]}"
echo "the tarball answers:      $got"
[[ $got == "$want" ]] || fail "the tarball's answer differs from the build's"

step "The tarball as docs/packaging.md unpacks and runs it"
mkdir "$tmp/by-the-docs"
cp "$tgz" "$tmp/by-the-docs/"
[[ $user ]] && chown -R "$user:" "$tmp/by-the-docs"
got=$(cd "$tmp/by-the-docs" && clean_run "$user" bash -euo pipefail -c \
  "cd '$tmp/by-the-docs' && $(doc_block 3)") ||
  fail "docs/packaging.md's lines for the tarball"
[[ $got == *"$want"* ]] || fail "docs/packaging.md's tarball lines answer: $got"
echo "packages: all well"
