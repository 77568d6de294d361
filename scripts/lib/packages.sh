# Debian packages: install only what is missing, and survive a package mirror in the middle of
# a sync. Source this file, then call
#   ensure_packages PKG...
# It returns non-zero when a package cannot be had, after one line per such package on
# standard error: "cannot install PKG: apt's reason". apt's own output goes to a log that is
# shown only when even that reason cannot be found.

packages_sudo() {
  if [ "$(id -u)" -ne 0 ]; then sudo "$@"; else "$@"; fi
}

# Refreshes the package lists. An index that fails to download (a mirror mid-sync) leaves the
# old or missing list of that one index: not fatal, the install that follows says whether what
# is needed came through. Prints apt's complaint in one line.
PACKAGES_FRESH=0
packages_refresh() {
  local log
  log="$(mktemp)"
  packages_sudo apt-get update -qq >"$log" 2>&1 || true
  local complaint
  complaint="$(grep -E '^(E|W):' "$log" | grep -v 'have been ignored' | head -n 1 | cut -c1-200 || true)"
  [ -n "$complaint" ] && echo "apt-get update (going on): $complaint" >&2
  rm -f "$log"
  PACKAGES_FRESH=1
  return 0
}

packages_missing() {  # PKG...: prints those not installed
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

packages_install() {  # LOG PKG...
  local log="$1"; shift
  DEBIAN_FRONTEND=noninteractive packages_sudo apt-get install -y -qq --no-install-recommends "$@" \
    >"$log" 2>&1 </dev/null
}

# One line per package that cannot be installed, with apt's reason for it alone.
packages_explain() {  # LOG PKG...
  local log="$1"; shift
  local p out reason said=0
  for p in "$@"; do
    # Not quiet: apt names the unmet dependency only in its full report.
    out="$(DEBIAN_FRONTEND=noninteractive packages_sudo apt-get install -s --no-install-recommends "$p" \
             2>&1 </dev/null)" && continue
    reason="$(grep -E 'Depends:|has no installation candidate|Unable to locate' <<<"$out" | head -n 1 || true)"
    [ -n "$reason" ] || reason="$(grep -E '^E:' <<<"$out" | head -n 1 || true)"
    reason="$(sed -e 's/^E: //' -e 's/^ *//' <<<"$reason" | cut -c1-200)"
    echo "cannot install $p: ${reason:-apt refused it}" >&2
    said=1
  done
  if [ $said -eq 0 ]; then
    echo "cannot install $*: $(grep -E '^E:' "$log" | tail -n 1 | sed 's/^E: //' | cut -c1-200 || true)" >&2
  fi
}

ensure_packages() {
  local missing
  mapfile -t missing < <(packages_missing "$@")
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local log
  log="$(mktemp)"
  local attempt
  for attempt in 1 2; do
    # Lists refreshed before the first attempt (unless this script just did) and again before
    # the second: the mirror may have finished its sync, or the lists named versions it no
    # longer has.
    [ $attempt -eq 1 ] && [ "$PACKAGES_FRESH" = 1 ] || packages_refresh
    if packages_install "$log" "${missing[@]}"; then
      rm -f "$log"
      return 0
    fi
    mapfile -t missing < <(packages_missing "${missing[@]}")
    [ ${#missing[@]} -eq 0 ] && { rm -f "$log"; return 0; }
    [ $attempt -eq 1 ] && echo "apt-get install failed, trying once more: ${missing[*]}" >&2
  done
  packages_explain "$log" "${missing[@]}"
  rm -f "$log"
  return 1
}

# Everything the build, the tests and the demo need.
LARKSPUR_PACKAGES=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libfltk1.3-dev libx11-dev libpng-dev zlib1g-dev libpulse-dev libsndfile1-dev
  icecast2 lame vorbis-tools opus-tools flac pulseaudio pulseaudio-utils libssl-dev openssl
  xvfb xdotool x11-utils imagemagick ffmpeg sox curl procps
  ccache
)
