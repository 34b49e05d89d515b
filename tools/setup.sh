# Sourced by the tools: installs what the build and the tests need on a fresh Debian 12
# machine. Idempotent, and quiet when everything is there already.
#
# The 32-bit build's tests need Debian's 32-bit Wine loader (wine32:i386, from the i386
# architecture) and qemu-user to run it, as this machine's kernel runs no 32-bit program.

merivane_packages=(
  cmake ninja-build googletest
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine wine64 wine32:i386 qemu-user fonts-wine xvfb xauth
)

ensure_packages() {
  local missing=() package
  for package in "${merivane_packages[@]}" "$@"; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
    ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

build_preset() {
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1"
}
