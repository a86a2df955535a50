# Sourced by scripts/test and scripts/demo: installs the Debian packages the
# project needs, only those that are missing.

pendrel_sudo() {
  if [ "$(id -u)" -ne 0 ]; then sudo "$@"; else "$@"; fi
}

pendrel_missing_packages() {
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || echo "$pkg"
  done
}

# Installs the missing ones among "$@". Returns non-zero when any could not be
# installed, after one line per such package with apt's own reason.
pendrel_ensure_packages() {
  local missing
  mapfile -t missing < <(pendrel_missing_packages "$@")
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  local apt=(apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends)
  # A mirror in the middle of a sync makes `apt-get update` fail for one index
  # while the others are fine: what counts is whether the install works, and
  # it gets a second try after a fresh update.
  local try log
  log=$(mktemp)
  for try in 1 2; do
    pendrel_sudo apt-get -o DPkg::Lock::Timeout=300 update -qq >"$log" 2>&1 ||
      echo "apt-get update reported errors; trying the install anyway"
    pendrel_sudo "${apt[@]}" "${missing[@]}" >"$log" 2>&1 && { rm -f "$log"; return 0; }
    [ "$try" -eq 1 ] && sleep 10
  done
  # Which of them failed, and why: one package at a time.
  local pkg failed=0 reason detail
  for pkg in $(pendrel_missing_packages "${missing[@]}"); do
    if ! pendrel_sudo "${apt[@]}" "$pkg" >"$log" 2>&1; then
      reason=$(grep -E '^E: ' "$log" | grep -v 'Failed to fetch\|index files failed' | head -n 3 |
               sed 's/^E: //' | tr '\n' ' ' | sed 's/ *$//')
      [ -n "$reason" ] || reason=$(grep -E '^E: ' "$log" | head -n 1 | sed 's/^E: //')
      detail=$(grep -E ' : (Pre)?Depends:|Breaks:|Conflicts:' "$log" | head -n 1 | sed 's/^ *//; s/  */ /g')
      echo "package $pkg cannot be installed: ${reason:-apt-get failed}${detail:+($detail)}"
      failed=1
    fi
  done
  rm -f "$log"
  return "$failed"
}

# Like pendrel_ensure_packages, but the run cannot go on without them.
pendrel_require_packages() {
  pendrel_ensure_packages "$@" || {
    echo "cannot go on without: $(pendrel_missing_packages "$@" | tr '\n' ' ')"
    exit 1
  }
}

# What a native build, its tests and talo-sim need.
PENDREL_BUILD_PACKAGES=(cmake make g++ binutils pkg-config libusb-1.0-0-dev libgtest-dev libgmock-dev man-db
                        dpkg-dev googletest python3 python3-jsonschema iproute2 tmux
                        nlohmann-json3-dev libssl-dev)
# The fuzz targets (clang's libFuzzer runtime), clang-tidy, the emulated USB
# devices, and headless Chromium, which draws the station report's page as a
# person sees it.
PENDREL_CHECK_PACKAGES=(clang clang-tidy libclang-rt-14-dev umockdev libumockdev-dev chromium)
# The 32-bit Windows cross-build, the one we ship.
PENDREL_WINDOWS_PACKAGES=(g++-mingw-w64-i686-posix mingw-w64-i686-dev)
# Where Debian's 32-bit Wine cannot run, scripts/wine32 makes an i386 Debian
# root holding it (and fetches QEMU's user-mode emulator into its cache when
# the kernel runs no i386 programs).
PENDREL_WINE32_PACKAGES=(debootstrap)
# The 64-bit one: the Wine HID runs load a 64-bit Linux library into Wine's
# processes, and it carries the Windows tests where no 32-bit Wine can be had.
PENDREL_WINDOWS64_PACKAGES=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev)

# Wine runs the cross-built tests and pendrel.exe: wine and wine64 from the
# package mirror. No i386 package is asked for: the 32-bit Wine comes from
# Debian's wine32:i386 where someone installed it and the kernel runs i386
# programs, else from the i386 root scripts/wine32 makes from the mirror's
# main suite (which stays consistent while its i386 security index is out of
# step with amd64, as seen in mid-sync).
pendrel_ensure_wine() {
  pendrel_require_packages wine wine64
}
