# Debian packages: install only what is missing. Source this file, then call
# ensure_packages PKG...
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Everything the build, the tests and the demo need.
LARKSPUR_PACKAGES=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libfltk1.3-dev libx11-dev libpng-dev zlib1g-dev libpulse-dev libsndfile1-dev
  icecast2 lame vorbis-tools pulseaudio pulseaudio-utils libssl-dev openssl
  xvfb xdotool x11-utils imagemagick ffmpeg sox curl procps
  ccache
)
