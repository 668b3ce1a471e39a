#!/bin/sh
# The guest's init: mounts what a job needs, mounts the job disk (/dev/vdb)
# at the folder the kernel command line names (kzp.mount=...), runs its
# job.sh with the output on the console, reports the exit code and powers
# the machine off.
mount -t proc proc /proc 2>/dev/null
mount -t sysfs sysfs /sys 2>/dev/null
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
hostname kzp-guest
ip link set lo up 2>/dev/null

where=/job
for word in $(cat /proc/cmdline); do
    case "$word" in kzp.mount=*) where=${word#kzp.mount=} ;; esac
done
mkdir -p "$where"
code=125
if mount /dev/vdb "$where"; then
    export HOME=/root WINEPREFIX=/root/.wine WINEDEBUG=-all LANG=C.UTF-8
    export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin
    cd "$where"
    bash "$where/job.sh" < /dev/null
    code=$?
    cd /
    sync
    umount "$where"
fi
echo "kzp-guest: job ended with exit code $code"
sync
echo o > /proc/sysrq-trigger
sleep 30
