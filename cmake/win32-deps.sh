#!/usr/bin/env bash
# Cross-builds the target libraries and programs that Debian does not ship for mingw-w64,
# from Debian's own source packages, into BUILD/deps (kept there: later runs reuse it).
#   cmake/win32-deps.sh BUILD_DIR [libpng] [lame] [vorbis]
set -euo pipefail
build="$1"; shift
deps="$build/deps"
mkdir -p "$deps"
if [[ "$deps" =~ [[:space:]] ]]; then
  # configure and libtool split their flags at spaces: work through a link whose path has none.
  link="$(mktemp -d)"
  trap 'rm -rf "$link"' EXIT
  ln -s "$deps" "$link/deps"
  deps="$link/deps"
fi
prefix="$deps/prefix"
host=i686-w64-mingw32
mkdir -p "$deps/src" "$prefix"
export CC=$host-gcc-posix CXX=$host-g++-posix AR=$host-ar RANLIB=$host-ranlib
export CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib -static"
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

build_lame() {
  [ -f "$prefix/bin/lame.exe" ] && return 0
  autotools "$(source_tree lame lame)" --disable-decoder --disable-gtktest
}

for what in "$@"; do
  echo "-- cross-building $what into $deps"
  "build_$what"
done
