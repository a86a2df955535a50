# Sourced by scripts/test and scripts/demo: installs the Debian packages the
# project needs, only those that are missing.
pendrel_ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in the middle of a sync makes `apt-get update` fail for one index
  # while the others are fine: what counts is whether the install works, and
  # it gets a second try after a fresh update.
  local try
  for try in 1 2; do
    $sudo apt-get update -qq || echo "apt-get update reported errors; trying the install anyway"
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null && return 0
    [ "$try" -eq 1 ] && sleep 10
  done
  return 1
}

# What a native build, its tests and talo-sim need.
PENDREL_BUILD_PACKAGES=(cmake make g++ pkg-config libusb-1.0-0-dev libgtest-dev libgmock-dev man-db dpkg-dev
                        googletest python3 iproute2)
# The fuzz targets (clang's libFuzzer runtime) and the emulated USB devices.
PENDREL_CHECK_PACKAGES=(clang libclang-rt-14-dev umockdev libumockdev-dev)
# The 32-bit Windows cross-build.
PENDREL_WINDOWS_PACKAGES=(g++-mingw-w64-i686-posix mingw-w64-i686-dev)
# The 64-bit one, which carries the Windows tests on a kernel that runs no
# 32-bit programs (scripts/wine-run --can-run-32 tells).
PENDREL_WINDOWS64_PACKAGES=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev)

# Wine runs the cross-built tests and pendrel.exe; its 32-bit part needs the
# i386 architecture.
pendrel_ensure_wine() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo dpkg --add-architecture i386
  fi
  pendrel_ensure_packages wine wine32:i386 wine64
}
