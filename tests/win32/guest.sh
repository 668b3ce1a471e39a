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

# The mirror that the host's apt takes bookworm from, as its own sources name
# it: one-line entries ("deb [options] URI SUITE COMPONENTS") in sources.list
# and sources.list.d/*.list, deb822 stanzas (Types, URIs, Suites, Enabled) in
# sources.list.d/*.sources. Commented and disabled entries, source-only ones
# and other suites are passed over. Nothing else is tried: without such an
# entry the guest cannot be built the way the host installs its packages.
host_mirror() {
    local sources=() f
    # In the order apt reads them.
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*; do
        case "$f" in */sources.list | *.list | *.sources) [ -f "$f" ] && sources+=("$f") ;; esac
    done
    [ ${#sources[@]} -gt 0 ] || return 0
    awk -v suite=bookworm '
        function has(list, word,   n, i, w) {
            n = split(list, w, /[ \t]+/)
            for (i = 1; i <= n; i++) if (w[i] == word) return 1
            return 0
        }
        function usable(uri) { return uri ~ /^(https?|ftp):\/\/[^ \t]+$/ }
        function take(uri) { print uri; found = 1; exit }
        # One deb822 stanza ends at a blank line or at the end of its file.
        function stanza_end(   n, i, u) {
            if (types != "" && has(types, "deb") && has(suites, suite) && tolower(enabled) != "no") {
                n = split(uris, u, /[ \t]+/)
                for (i = 1; i <= n; i++) if (usable(u[i])) take(u[i])
            }
            types = uris = suites = enabled = field = ""
        }
        FNR == 1 && NR > 1 { stanza_end() }
        /^[ \t]*#/ { next }
        { sub(/#.*/, "") }
        FILENAME ~ /[.]sources$/ {
            if ($0 ~ /^[ \t]*$/) { stanza_end(); next }
            if ($0 ~ /^[ \t]/) {  # a continuation line
                if (field == "uris") uris = uris " " $0
                else if (field == "suites") suites = suites " " $0
                else if (field == "types") types = types " " $0
                next
            }
            name = tolower($0); sub(/:.*/, "", name)
            value = $0; sub(/^[^:]*:[ \t]*/, "", value)
            field = name
            if (name == "types") types = value
            else if (name == "uris") uris = value
            else if (name == "suites") suites = value
            else if (name == "enabled") enabled = value
            next
        }
        $1 == "deb" {
            i = 2
            if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
            if ($(i + 1) == suite && usable($i)) take($i)
        }
        END { if (!found) stanza_end() }
    ' "${sources[@]}"
}

mirror=$(host_mirror)
if [ -z "$mirror" ]; then
    log "no package source for Debian bookworm in /etc/apt/sources.list or" \
        "/etc/apt/sources.list.d/*.list, *.sources: add this machine's mirror there (an http," \
        "https or ftp URI) and run again"
    exit 1
fi

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
    for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
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
