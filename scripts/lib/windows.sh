# The Windows stage: dsp_wren.dll and the audio library cross-built with mingw-w64 and their
# suites run under Wine. Source this file (after packages.sh), then call
#   run_windows_stage ROOT WERROR
# Only this stage pays for the cross toolchain and Wine.

LARKSPUR_WINDOWS_PACKAGES=(mingw-w64 libz-mingw-w64-dev wine32 wine dpkg-dev xvfb xdotool imagemagick)

# i386 multiarch for wine32, and Debian's source packages (lame, libpng, libogg, libvorbis)
# for what is cross-built from source.
ensure_windows_packages() {
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  local refresh=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
    refresh=1
  fi
  local src=/etc/apt/sources.list.d/larkspur-src.sources
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      | $sudo tee "$src" >/dev/null
    refresh=1
  fi
  [ $refresh -eq 1 ] && $sudo apt-get update -qq
  ensure_packages "${LARKSPUR_WINDOWS_PACKAGES[@]}"
}

# Installs, configures build-win32 (the target libraries are cross-built once and kept there),
# builds, and runs the Windows suites under Wine in the build's own prefix. Non-zero on any
# failure.
run_windows_stage() {
  local root="$1" werror="${2:-OFF}"
  local dir="$root/build-win32"
  ensure_windows_packages || return 1
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
    -DLARKSPUR_WERROR="$werror" >/dev/null || return 1
  cmake --build "$dir" || return 1
  # The prefix is made once (wineboot, unmanaged windows) and its server kept running for the
  # suites, its output discarded so that ctest is not left waiting on inherited pipes.
  local prefix="$dir/wine-prefix"
  "$root/scripts/wine-run" --prefix "$prefix" cmd /c exit 0 >/dev/null 2>&1 </dev/null || return 1
  local rc=0
  (cd "$dir" && ctest --output-on-failure --timeout 600) || rc=1
  WINEPREFIX="$prefix" timeout 30 wineserver -k >/dev/null 2>&1 || true
  return $rc
}
