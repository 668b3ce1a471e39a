#!/usr/bin/env bash
# Builds, once, the emulated machine that runs the 32-bit updater: a Debian 12
# root made with debootstrap from the host's mirror, with the distribution's
# kernel, 32-bit and 64-bit Wine, Xvfb, the Japanese and English locales and
# a Japanese font, put into an ext4 disk image whose Wine prefix has already
# been started once. Everything is kept in the cache folder; a later call
# finds it there and returns at once. A change to this script or to the
# guest's init builds the machine again.
#
# Usage: guest.sh  (prints the cache folder; KZP_GUEST_CACHE overrides it)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cache=${KZP_GUEST_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kzp/win32-guest}
root=$cache/root
disk=$cache/disk.img
key=$(cat "$here/guest.sh" "$here/guest-init.sh" | sha256sum | cut -c1-16)

log() { echo "win32 guest: $*" >&2; }
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

if [ -f "$cache/ready" ] && [ "$(cat "$cache/ready")" = "$key" ]; then
    echo "$cache"
    exit 0
fi
if [ -f "$cache/ready" ]; then
    log "the recipe changed: building the machine again"
    as_root rm -rf "$root" "$disk" "$cache/ready" "$cache/stage-"*
fi
mkdir -p "$cache"

# The mirror the host's apt uses (deb822 or one-line sources).
mirror=$(grep -rhoE '(URIs:|^deb) +https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list \
         /etc/apt/sources.list.d/ 2>/dev/null | head -n1 | awk '{print $2}' || true)
mirror=${mirror:-http://deb.debian.org/debian}

if [ ! -f "$cache/stage-debootstrap" ]; then
    log "debootstrap bookworm from $mirror (a few minutes)"
    as_root rm -rf "$root"
    as_root debootstrap --variant=minbase bookworm "$root" "$mirror" > "$cache/debootstrap.log" 2>&1 ||
        { tail -n 20 "$cache/debootstrap.log" >&2; exit 1; }
    touch "$cache/stage-debootstrap"
fi

if [ ! -f "$cache/stage-packages" ]; then
    log "kernel, Wine (32 and 64-bit), Xvfb, locales and fonts (a few minutes)"
    # The host's package sources, security updates included.
    as_root cp /etc/apt/sources.list "$root/etc/apt/sources.list" 2>/dev/null || true
    as_root mkdir -p "$root/etc/apt/sources.list.d"
    for f in /etc/apt/sources.list.d/*; do
        [ -f "$f" ] && grep -q '/debian' "$f" && as_root cp "$f" "$root/etc/apt/sources.list.d/"
    done
    printf '#!/bin/sh\nexit 101\n' | as_root tee "$root/usr/sbin/policy-rc.d" > /dev/null
    as_root chmod +x "$root/usr/sbin/policy-rc.d"
    as_root mount -t proc proc "$root/proc"
    trap 'as_root umount "$root/proc" 2>/dev/null || true' EXIT
    as_root chroot "$root" /bin/sh -e -c '
        export DEBIAN_FRONTEND=noninteractive
        dpkg --add-architecture i386
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends linux-image-amd64 initramfs-tools \
            wine wine64 wine32:i386 fonts-wine xvfb xauth xfonts-base locales \
            fonts-ipafont-gothic openssl osslsigncode diffutils procps
        localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
        localedef -i en_US -f UTF-8 en_US.UTF-8
        apt-get clean
    ' > "$cache/packages.log" 2>&1 || { tail -n 30 "$cache/packages.log" >&2; exit 1; }
    as_root umount "$root/proc"
    trap - EXIT
    touch "$cache/stage-packages"
fi

if [ ! -f "$cache/stage-disk" ]; then
    log "disk image"
    as_root install -m 755 "$here/guest-init.sh" "$root/kzp-init"
    rm -f "$disk"
    truncate -s 6G "$disk"
    as_root mkfs.ext4 -q -F -L kzp-guest -d "$root" "$disk"
    as_root chown "$(id -u):$(id -g)" "$disk"
    touch "$cache/stage-disk"
fi

# First start of the Wine prefix inside the machine (a minute or two under
# emulation), kept in the disk image so that every run starts from it.
log "first start of Wine inside the machine"
job=$(mktemp -d)
trap 'rm -rf "$job"' EXIT
mkdir -p "$job/files"
cat > "$job/files/job.sh" <<'JOB'
wineboot --init
wineserver -w
ls /root/.wine/drive_c/windows/syswow64/kernel32.dll /root/.wine/drive_c/windows/system32/kernel32.dll
JOB
bash "$here/boot.sh" "$cache" "$job/files" /kzp-job persistent
echo "$key" > "$cache/ready"
echo "$cache"
