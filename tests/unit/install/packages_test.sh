#!/usr/bin/env bash
# packages_test.sh ROOT: scripts/lib/packages.sh against a stand-in apt-get and dpkg-query on
# PATH that record their calls and fail as told.
set -u
root="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fails=0
check() {  # WHAT CONDITION...
  local what="$1"; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; fails=$((fails + 1)); fi
}

mkdir -p "$work/bin"
cat >"$work/bin/dpkg-query" <<'SH'
#!/usr/bin/env bash
pkg="${!#}"
[ -f "$STUB/installed/$pkg" ] || exit 1
echo "install ok installed"
SH
cat >"$work/bin/apt-get" <<'SH'
#!/usr/bin/env bash
# update: fails like a mirror mid-sync when $STUB/mirror-syncing exists.
# install -s PKG: simulates; a package listed in $STUB/unavailable has an unmet dependency.
# install PKG...: fails while $STUB/install-failures holds a count above 0, or when one of the
# packages is unavailable; else marks them installed.
echo "$*" >>"$STUB/calls"
case "$1" in
  update)
    if [ -f "$STUB/mirror-syncing" ]; then
      echo "E: Failed to fetch http://mirror/dists/x/binary-i386/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi
    exit 0 ;;
  install)
    pkgs=()
    simulate=0
    for a in "${@:2}"; do
      case "$a" in -s) simulate=1 ;; -*) ;; *) pkgs+=("$a") ;; esac
    done
    for p in "${pkgs[@]}"; do
      if grep -qx "$p" "$STUB/unavailable" 2>/dev/null; then
        echo "Reading package lists..."
        echo "The following packages have unmet dependencies:"
        echo " $p : Depends: libwine:i386 (= 8.0) but it is not going to be installed"
        echo "E: Unable to correct problems, you have held broken packages."
        exit 100
      fi
    done
    [ $simulate -eq 1 ] && exit 0
    left="$(cat "$STUB/install-failures" 2>/dev/null || echo 0)"
    if [ "$left" -gt 0 ]; then
      echo $((left - 1)) >"$STUB/install-failures"
      echo "E: Failed to fetch http://mirror/pool/x.deb  404  Not Found"
      exit 100
    fi
    for p in "${pkgs[@]}"; do touch "$STUB/installed/$p"; done ;;
esac
SH
chmod +x "$work/bin/"*

# Each case in a fresh stand-in, the helper sourced under errexit as the scripts source it.
run_case() {  # NAME INSTALLED UNAVAILABLE INSTALL-FAILURES SYNCING PKG...
  local name="$1" installed="$2" unavailable="$3" failures="$4" syncing="$5"
  shift 5
  export STUB="$work/$name"
  mkdir -p "$STUB/installed"
  local p
  for p in $installed; do touch "$STUB/installed/$p"; done
  printf '%s\n' $unavailable >"$STUB/unavailable"
  echo "$failures" >"$STUB/install-failures"
  [ "$syncing" = 1 ] && touch "$STUB/mirror-syncing"
  : >"$STUB/calls"
  (PATH="$work/bin:$PATH"; set -euo pipefail; source "$root/scripts/lib/packages.sh"; ensure_packages "$@") \
    >"$STUB/out" 2>"$STUB/err"
  echo $? >"$STUB/rc"
}
rc() { cat "$work/$1/rc"; }
calls() { awk '/ -s / {print "simulate"; next} {print $1}' "$work/$1/calls" | tr '\n' ' '; }

run_case present "lame icecast2" "" 0 0 lame icecast2
check "nothing missing: no apt at all" [ "$(rc present)" = 0 -a ! -s "$work/present/calls" ]

run_case syncing "lame" "" 0 1 lame xvfb
check "an index that fails to download is not fatal when the install works" [ "$(rc syncing)" = 0 ]
check "the install follows the failed update" [ "$(calls syncing)" = "update install " ]
check "apt's complaint in one line" [ "$(grep -c 'going on' "$work/syncing/err")" = 1 ]
check "only what was missing is installed" grep -qx "install -y -qq --no-install-recommends xvfb" "$work/syncing/calls"

run_case retried "" "" 1 0 xvfb
check "a failed install is tried again after a fresh update, and works" \
  [ "$(rc retried)" = 0 -a "$(calls retried)" = "update install update install " ]

run_case missing "" "wine32:i386" 0 1 wine wine32:i386
check "a package that cannot be had fails the call" [ "$(rc missing)" != 0 ]
check "one line names it with apt's reason" \
  [ "$(grep -c '^cannot install' "$work/missing/err")" = 1 ]
check "  ...the package and the unmet dependency" \
  grep -qx 'cannot install wine32:i386: wine32:i386 : Depends: libwine:i386 (= 8.0) but it is not going to be installed' \
  "$work/missing/err"
check "  ...and not the one that could be had" bash -c "! grep -q 'cannot install wine:' '$work/missing/err'"
check "apt's own report is not shown" bash -c "! grep -q 'Reading package lists' '$work/missing/err' '$work/missing/out'"

run_case twice "" "" 2 0 xvfb
check "no third try" [ "$(rc twice)" != 0 -a "$(calls twice)" = "update install update install simulate " ]

echo "install helper: $fails checks failed"
[ $fails -eq 0 ]
