#!/usr/bin/env bash
# Boots the emulated machine of guest.sh once with a job: FILES (a folder
# holding job.sh and what it needs) becomes a second disk, mounted in the
# guest at MOUNT; the console is shown as it runs; the exit code is the
# job's. With "snapshot" the machine's own disk is left as it was (every run
# starts from the same state); "persistent" keeps what the job changed.
#
# Usage: boot.sh CACHE FILES MOUNT snapshot|persistent
# Software emulation (TCG): without the SMAP feature, which makes Wine's
# 64-bit code fault under the emulator.
set -euo pipefail

cache=$1 files=$2 mount=$3 mode=$4
root=$cache/root
kernel=$(ls "$root"/boot/vmlinuz-* | sort -V | tail -n1)
initrd=$(ls "$root"/boot/initrd.img-* | sort -V | tail -n1)
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The job disk: the folder's size and room for what the job writes.
size=$(du -sm "$files" | cut -f1)
truncate -s $(( size * 2 + 512 ))M "$work/job.img"
mkfs.ext4 -q -F -d "$files" "$work/job.img"

snapshot=()
[ "$mode" = snapshot ] && snapshot=(-snapshot)
# The kernel and initrd are readable by root only on some hosts.
as_root cat "$kernel" > "$work/vmlinuz"
as_root cat "$initrd" > "$work/initrd"

set +e
timeout "${KZP_GUEST_TIMEOUT:-5400}" qemu-system-x86_64 -m 3072 -smp "${KZP_GUEST_CPUS:-2}" \
    -accel tcg -cpu max,-smap -nographic -no-reboot -nodefaults -serial stdio \
    -kernel "$work/vmlinuz" -initrd "$work/initrd" \
    -append "root=/dev/vda rw console=ttyS0 quiet loglevel=3 panic=1 init=/kzp-init kzp.mount=$mount" \
    -drive file="$cache/disk.img",format=raw,if=virtio,cache=unsafe "${snapshot[@]}" \
    -drive file="$work/job.img",format=raw,if=virtio,cache=unsafe,snapshot=off \
    | tee "$work/console.log"
set -e
code=$(sed -n 's/^kzp-guest: job ended with exit code \([0-9]*\).*/\1/p' "$work/console.log" | tail -n1)
if [ -z "$code" ]; then
    echo "win32 guest: the machine stopped without reporting the job's end" >&2
    exit 124
fi
exit "$code"
