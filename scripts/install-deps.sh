#!/usr/bin/env bash
# Installs what building and testing need, once: Debian packages that are
# missing are installed quietly; a machine that has everything is left alone.
set -euo pipefail

# fonts-wine is only recommended by wine64, so --no-install-recommends leaves
# it out; without its Marlett font Wine draws the caption buttons as letters.
packages=(
  cmake ninja-build g++ make libgtest-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine64 fonts-wine xvfb xauth fonts-ipafont-gothic imagemagick
  osslsigncode xdelta3 zstd clang-format lzma-dev
  libcli11-dev nlohmann-json3-dev openssl python3 locales
  zlib1g-dev lib32z1-dev libz-mingw-w64-dev
  g++-multilib qemu-user
)
# `install-deps.sh guest`: also what make test-win32 needs to build and boot
# its emulated machine.
if [ "${1:-}" = guest ]; then
  packages+=(debootstrap qemu-system-x86 e2fsprogs)
fi

# Wine names files on the host in the host locale's character set: the tests
# run it under UTF-8 locales, Japanese (code page 932) and English (1252).
ensure_locales() {
  for l in ja_JP en_US; do
    locale -a 2>/dev/null | grep -qi "^$l\.utf-\?8$" && continue
    sudo_cmd localedef -i "$l" -f UTF-8 "$l.UTF-8"
  done
}
sudo_cmd() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  ensure_locales
  exit 0
fi

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
ensure_locales
