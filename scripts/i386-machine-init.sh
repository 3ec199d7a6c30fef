#!/bin/sh
# The emulated machine's first process, started from the guest's /sbin/tamrix-init with this
# folder mounted at /mnt/tamrix (scripts/i386-machine.sh): mounts what the system
# needs and the host's shared folders at their host paths, runs the job it is given, writes
# the job's exit code beside it and powers off.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb
export TAMRIX_ON_I386_MACHINE=1
mount -t proc proc /proc 2>/dev/null
mount -t sysfs sys /sys 2>/dev/null
mount -t devtmpfs dev /dev 2>/dev/null
echo 0 >/proc/sys/kernel/printk
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
mount -t tmpfs -o size=2g tmpfs /tmp
mount -o remount,rw /
stty -F /dev/console -onlcr 2>/dev/null
arg() { tr ' ' '\n' </proc/cmdline | sed -n "s/^$1=//p"; }
# share0=/a/b,share1=/c/d: each tag at its host path. Reads go through the page cache
# (cache=loose): uncached, a read larger than the 9p message comes back short, and Wine,
# which reads a module's sections that way, runs zeros in place of the rest (a page fault at
# the first call into them). Nothing on the host writes to the folders while the guest runs.
for pair in $(arg tamrix.mounts | tr ',' ' '); do
    mkdir -p "${pair#*=}"
    mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,cache=loose "${pair%%=*}" "${pair#*=}" ||
        echo "i386 machine: cannot mount ${pair#*=}"
done
mkdir -p /mnt/job
mount -t 9p -o trans=virtio,version=9p2000.L job /mnt/job
job=/mnt/job/job.sh
echo "i386 machine: up after $(cut -d' ' -f1 /proc/uptime) s"
if [ -x "$job" ]; then
    "$job" </dev/null
    echo $? >"${job%/*}/status"
else
    echo "i386 machine: no job at $job"
fi
sync
echo o >/proc/sysrq-trigger
sleep 10
