#!/usr/bin/env bash
# Cross-builds the target libraries and programs that Debian does not ship for mingw-w64,
# from Debian's own source packages, into BUILD/deps (kept there: later runs reuse it). What is
# built is also kept in a cache shared by every checkout (LARKSPUR_CACHE_DIR, default
# ~/.cache/larkspur), keyed by the target, the set and this script: a fresh clone copies it.
#   cmake/win32-deps.sh BUILD_DIR TRIPLE [libpng] [lame] [vorbis] [opus] [flac]
set -euo pipefail
build="$1" host="$2"; shift 2
deps="$build/deps"
mkdir -p "$deps"
cache_root="${LARKSPUR_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/larkspur}/windows-deps"
cache="$cache_root/$host-$(echo "$*" | tr ' ' '-')-$(sha1sum "${BASH_SOURCE[0]}" | cut -c1-12)"
if [ -f "$cache/complete" ] && [ ! -f "$deps/prefix/complete" ]; then
  rm -rf "$deps/prefix"
  cp -a "$cache/prefix" "$deps/prefix"
  echo "-- target libraries for $host from $cache"
fi
[ -f "$deps/prefix/complete" ] && exit 0
if [[ "$deps" =~ [[:space:]] ]]; then
  # configure and libtool split their flags at spaces: work through a link whose path has none.
  link="$(mktemp -d)"
  trap 'rm -rf "$link"' EXIT
  ln -s "$deps" "$link/deps"
  deps="$link/deps"
fi
prefix="$deps/prefix"
mkdir -p "$deps/src" "$prefix"
export CC=$host-gcc-posix CXX=$host-g++-posix AR=$host-ar RANLIB=$host-ranlib
export CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib -static"
# configure scripts that ask pkg-config must find the target's libraries, never the machine's.
export PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" PKG_CONFIG_PATH=""
jobs=$(( $(nproc) > 1 ? 2 : 1 ))

# Debian source package -> unpacked folder (downloaded once).
source_tree() {
  local pkg="$1"
  local dir
  dir="$(find "$deps/src" -maxdepth 1 -mindepth 1 -type d -name "$2-*" | head -n 1)"
  if [ -z "$dir" ]; then
    (cd "$deps/src" && apt-get source -qq "$pkg" >/dev/null 2>&1) || { echo "apt-get source $pkg failed (a deb-src entry is needed)" >&2; return 1; }
    dir="$(find "$deps/src" -maxdepth 1 -mindepth 1 -type d -name "$2-*" | head -n 1)"
  fi
  echo "$dir"
}

autotools() {
  local dir="$1"; shift
  (cd "$dir" && ./configure -q --host=$host --prefix="$prefix" --disable-shared --enable-static "$@" >/dev/null &&
     make -s -j$jobs >/dev/null && make -s install >/dev/null)
}

build_libpng() {
  [ -f "$prefix/lib/libpng16.a" ] && return 0
  autotools "$(source_tree libpng1.6 libpng1.6)" CPPFLAGS="$CPPFLAGS -I/usr/$host/include"
}

build_vorbis() {
  [ -f "$prefix/lib/libvorbisenc.a" ] && return 0
  autotools "$(source_tree libogg libogg)"
  autotools "$(source_tree libvorbis libvorbis)" --disable-docs --disable-examples --disable-oggtest
}

# libopus and libopusenc, for the opusenc.exe front end (opus-tools also needs opusfile and
# builds three programs where one is wanted).
build_opus() {
  [ -f "$prefix/lib/libopusenc.a" ] && return 0
  # No _FORTIFY_SOURCE (configure adds it unless it is defined already): its checks need
  # libssp, which a static image would have to carry. The compilers' warnings fill pages: kept
  # in a log, shown when the build fails.
  { autotools "$(source_tree opus opus)" --disable-doc --disable-extra-programs CPPFLAGS="$CPPFLAGS -D_FORTIFY_SOURCE=0" &&
      autotools "$(source_tree libopusenc libopusenc)" --disable-doc --disable-examples; } 2>"$deps/opus.log" ||
    { tail -n 30 "$deps/opus.log" >&2; return 1; }
}

# flac.exe with Ogg FLAC (over the libogg of the vorbis set, which comes first). The program
# alone: the documentation's makefile wants automake. No _FORTIFY_SOURCE or stack protector:
# their checks need libssp, which the image would then import.
build_flac() {
  [ -f "$prefix/bin/flac.exe" ] && return 0
  local dir
  dir="$(source_tree flac flac)"
  (cd "$dir" && ./configure -q --host=$host --prefix="$prefix" --disable-shared --enable-static --disable-cpplibs \
     --disable-doxygen-docs --disable-examples --disable-oggtest --disable-thorough-tests \
     --disable-stack-smash-protection --disable-fortify-source >/dev/null 2>&1 &&
     make -s -j$jobs -C src >/dev/null && mkdir -p "$prefix/bin" && cp src/flac/flac.exe "$prefix/bin/")
}

build_lame() {
  [ -f "$prefix/bin/lame.exe" ] && return 0
  autotools "$(source_tree lame lame)" --disable-decoder --disable-gtktest
}

for what in "$@"; do
  echo "-- cross-building $what for $host"
  began=$SECONDS
  "build_$what"
  echo "-- $what for $host built in $((SECONDS - began)) s"
done
touch "$prefix/complete"
# Into the shared cache, whole or not at all; a cache that cannot be written only costs time.
if mkdir -p "$cache_root" 2>/dev/null; then
  staging="$(mktemp -d "$cache_root/.staging.XXXXXX")" &&
    cp -a "$prefix" "$staging/prefix" && touch "$staging/complete" &&
    { mv -T "$staging" "$cache" 2>/dev/null || rm -rf "$staging"; } || true
fi
