# The Windows builds and their suites. Source this file (after packages.sh), then call
#   run_windows_stage ROOT WERROR
# The shipped plug-in is 32-bit (build-win32/); its twin for x86_64 (build-win64/) is built
# from the same sources, and the suites run on it under 64-bit Wine. The 32-bit build is
# checked where it cannot run (layouts at compile time, exports, imports, image formats) and
# its suites run too where the machine can run 32-bit programs.

# What building needs: no Wine.
LARKSPUR_WINDOWS_BUILD_PACKAGES=(mingw-w64 libz-mingw-w64-dev dpkg-dev)
# What running the suites needs. Wine's Schannel loads GnuTLS, only a recommendation of
# Wine's, which this install list does not pull in.
LARKSPUR_WINE_PACKAGES=(wine wine64 libgnutls30 xvfb xdotool imagemagick)

# Debian's source packages (lame, libpng, libogg, libvorbis, opus, libopusenc, flac) for what
# is cross-built.
windows_ensure_sources() {
  grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && return 0
  grep -qs '^deb-src' /etc/apt/sources.list && return 0
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    | packages_sudo tee /etc/apt/sources.list.d/larkspur-src.sources >/dev/null
  packages_refresh
}

ensure_windows_build_packages() {
  windows_ensure_sources
  ensure_packages "${LARKSPUR_WINDOWS_BUILD_PACKAGES[@]}"
}

# True when the kernel runs 32-bit x86 programs: a 91-byte static i386 program that exits 3.
# (Many hosts run 64-bit user code only, and execve of an i386 program fails with ENOEXEC.)
windows_runs_32bit() {
  local probe rc=0
  probe="$(mktemp)"
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5e\x00\x00\x00\x5e\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\x31\xdb\x43\x43\x43\x31\xc0\x40\xcd\x80' >"$probe"
  chmod +x "$probe"
  (exec "$probe") >/dev/null 2>&1 || rc=$?
  rm -f "$probe"
  [ $rc -eq 3 ]
}

# 32-bit Wine, where the machine can run it: i386 multiarch and wine32. Says in one line why
# not, and leaves no i386 architecture behind when nothing of it could be installed.
ensure_wine32() {
  if ! windows_runs_32bit; then
    echo "this machine does not run 32-bit programs"
    return 1
  fi
  local added=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    packages_sudo dpkg --add-architecture i386
    added=1
    PACKAGES_FRESH=0
  fi
  if ! ensure_packages "${LARKSPUR_WINE_PACKAGES[@]}" wine32:i386 libgnutls30:i386 2>&1; then
    if [ $added -eq 1 ] && [ -z "$(dpkg-query -W -f='${Package}:${Architecture}\n' 2>/dev/null | grep ':i386$')" ]; then
      packages_sudo dpkg --remove-architecture i386 && packages_refresh
    fi
    return 1
  fi
  [ -x /usr/lib/wine/wine ] && timeout 30 /usr/lib/wine/wine --version >/dev/null 2>&1 ||
    { echo "wine32 is installed but does not start"; return 1; }
}

# What the shipped 32-bit build is, when its suites cannot run here.
LARKSPUR_WINDOWS_SHIPPED_TARGETS=(dsp_wren bass_dlls player windows_encoders)

# Configures and builds one target in DIR (the named build targets, else all); the target
# libraries are cross-built once and kept in DIR/deps and the shared cache.
windows_build() {  # ROOT DIR TOOLCHAIN WERROR [TARGET...]
  local root="$1" dir="$2" toolchain="$3" werror="$4"
  shift 4
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  # Line tables and names only: full DWARF in a PE image costs more to build and link than the
  # rest of it, and a Windows debugger reads neither.
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
    -DLARKSPUR_WERROR="$werror" ${launcher[@]+"${launcher[@]}"} >/dev/null &&
    cmake --build "$dir" ${targets[@]+"${targets[@]}"}
}

# Installs what building and running need and decides whether the 32-bit suites can run here
# (WINDOWS_RUN32=1, else WINDOWS_WHY32 says why not). Installs only: nothing runs beside it.
windows_prepare() {
  ensure_windows_build_packages || return 1
  ensure_packages "${LARKSPUR_WINE_PACKAGES[@]}" || return 1
  local why rc=0
  why="$(ensure_wine32 2>&1)" || rc=$?
  [ -n "$why" ] && printf '%s\n' "$why"
  if [ $rc -eq 0 ]; then
    WINDOWS_RUN32=1
    WINDOWS_WHY32=""
  else
    WINDOWS_RUN32=0
    WINDOWS_WHY32="$(tail -n 1 <<<"$why")"
  fi
}

# Both targets side by side (the cross-built libraries' configure scripts are serial): the
# 64-bit twin whole, the 32-bit build whole where its suites run, else its shipped files.
windows_build_both() {  # ROOT WERROR
  local root="$1" werror="$2"
  local log32 rc32=0 rc64=0 targets32=()
  [ "${WINDOWS_RUN32:-0}" = 1 ] || targets32=("${LARKSPUR_WINDOWS_SHIPPED_TARGETS[@]}")
  log32="$(mktemp)"
  windows_build "$root" "$root/build-win32" mingw-i686.cmake "$werror" ${targets32[@]+"${targets32[@]}"} \
    >"$log32" 2>&1 &
  local pid32=$!
  windows_build "$root" "$root/build-win64" mingw-x86_64.cmake "$werror" || rc64=$?
  wait $pid32 || rc32=$?
  if [ $rc32 -ne 0 ]; then
    tail -n 60 "$log32"
    echo "the 32-bit Windows build failed"
  else
    grep -E 'warning:|error:' "$log32" | grep -v '^Makefile' || true
    tail -n 1 "$log32"
  fi
  rm -f "$log32"
  [ $rc64 -ne 0 ] && echo "the 64-bit Windows build failed"
  [ $rc32 -eq 0 ] && [ $rc64 -eq 0 ]
}

# Runs a build's suites in its own Wine prefix, made once and its server kept running for the
# suites (output discarded so that ctest is not left waiting on inherited pipes).
windows_suites() {  # ROOT DIR CTEST-ARGS...
  local root="$1" dir="$2"
  shift 2
  local prefix="$dir/wine-prefix"
  "$root/scripts/wine-run" --prefix "$prefix" cmd /c exit 0 >/dev/null 2>&1 </dev/null || {
    echo "Wine does not start in $prefix"
    return 1
  }
  local rc=0
  (cd "$dir" && ctest --output-on-failure --timeout 600 "$@") || rc=1
  WINEPREFIX="$prefix" timeout 30 wineserver -k >/dev/null 2>&1 || true
  return $rc
}

# The checks of built trees: the shipped 32-bit images, its suites where they run, and every
# suite on the 64-bit twin. Says which ran.
windows_run_suites() {  # ROOT
  local root="$1" rc=0
  echo "-- 32-bit build (shipped): image checks"
  (cd "$root/build-win32" && ctest --output-on-failure -L static) || rc=1
  if [ "${WINDOWS_RUN32:-0}" = 1 ]; then
    echo "-- 32-bit build: every suite under 32-bit Wine"
    windows_suites "$root" "$root/build-win32" -LE static || rc=1
  else
    echo "-- 32-bit suites not run: ${WINDOWS_WHY32:-32-bit Wine cannot be had}"
  fi
  echo "-- 64-bit twin: every suite under 64-bit Wine"
  windows_suites "$root" "$root/build-win64" || rc=1
  return $rc
}

# Everything: installs, both builds, the suites. Non-zero on any failure.
run_windows_stage() {  # ROOT WERROR
  local root="$1" werror="${2:-OFF}"
  windows_prepare || return 1
  windows_build_both "$root" "$werror" || return 1
  windows_run_suites "$root"
}
