#!/usr/bin/env bash
# A whole x86-64 machine, emulated, for running 32-bit Windows code where this kernel runs no
# 32-bit code at all (IA-32 emulation switched off): Wine's i386 loader cannot start here, but
# it can inside a guest whose kernel runs both widths.
#
#   bash scripts/i386-machine.sh image
#       makes the guest once and keeps it in $TAMRIX_I386_MACHINE (default
#       /var/cache/tamrix/i386-machine) for every later run on this machine: Debian's bookworm
#       (debootstrap, the packages from this machine's own apt sources) with i386 enabled,
#       Wine of both widths, a kernel booted directly and CTest.
#   bash scripts/i386-machine.sh run <folder>... -- <command> [argument...]
#       boots the guest, shares each folder with it at the same path (so the build tree's
#       absolute paths hold there too), runs the command there as root from the first folder,
#       prints what it prints, powers off and exits with the command's exit code.
#
# The guest runs under software emulation (TCG); TAMRIX_I386_ACCEL=kvm asks for KVM where
# the host offers it and a guest kernel boots under it (on nested hosts it may hang at its
# start). Its disk is used as a snapshot: nothing a run writes there outlives the run; only
# the shared folders keep what the command writes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${TAMRIX_I386_MACHINE:-/var/cache/tamrix/i386-machine}
log() { echo "i386 machine: $*" >&2; }

# What the guest is made of; the image is made again when this list or the script changes.
guest_packages=(initramfs-tools kmod linux-image-amd64 procps util-linux file
                wine wine32:i386 wine64 cmake)
guest_modules=(virtio_pci virtio_blk virtio_console ext4 9pnet_virtio 9p)

image_key() {
    { sed -n '/^# image:begin/,/^# image:end/p' "$0"; echo "${guest_packages[*]} ${guest_modules[*]}"; } |
        sha256sum | cut -c1-16
}

host_packages() {
    local missing=()
    command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
    command -v debootstrap >/dev/null || missing+=(debootstrap)
    command -v mkfs.ext4 >/dev/null || missing+=(e2fsprogs)
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The first Debian archive this machine's apt is set up with (one-line or deb822 sources).
debian_mirror() {
    local uri
    uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
          awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /^https?:/) { print $i; exit } }')
    if [ -z "$uri" ]; then
        uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
              awk '/^URIs:/ && $2 !~ /security/ { print $2; exit }')
    fi
    [ -n "$uri" ] || { log "no Debian archive in this machine's apt sources"; exit 1; }
    echo "$uri"
}

# image:begin
make_image() {
    local key=$1 work=$cache/work root=$cache/work/root
    host_packages
    rm -rf "$work"; mkdir -p "$root"
    local mirror; mirror=$(debian_mirror)
    log "making the guest from $mirror (once per machine; about 15 minutes)"
    debootstrap --variant=minbase --arch=amd64 bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
        { tail -20 "$work/debootstrap.log"; exit 1; }
    # The guest's apt reads what this machine's does.
    cp /etc/apt/sources.list "$root/etc/apt/" 2>/dev/null || true
    cp /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list "$root/etc/apt/sources.list.d/" 2>/dev/null || true
    rm -f "$root"/etc/apt/sources.list.d/*disabled*
    find "$root/etc/apt/sources.list.d" -type f ! -exec grep -q debian {} \; -delete
    echo 'APT::Install-Recommends "false";' >"$root/etc/apt/apt.conf.d/90norecommends"
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"; chmod +x "$root/usr/sbin/policy-rc.d"
    mkdir -p "$root/etc/initramfs-tools"
    printf '%s\n' "${guest_modules[@]}" >"$root/etc/initramfs-tools/modules"
    for m in proc sys dev dev/pts; do mkdir -p "$root/$m"; done
    mount -t proc proc "$root/proc"; mount -t sysfs sys "$root/sys"
    mount --bind /dev "$root/dev"; mount --bind /dev/pts "$root/dev/pts"
    trap 'for m in dev/pts dev sys proc; do umount "$root/$m" 2>/dev/null || true; done' EXIT
    local in_root=(chroot "$root" env DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 PATH=/usr/sbin:/usr/bin:/sbin:/bin)
    "${in_root[@]}" dpkg --add-architecture i386
    { "${in_root[@]}" apt-get update -qq &&
      "${in_root[@]}" apt-get install -y -qq "${guest_packages[@]}"; } >"$work/apt.log" 2>&1 ||
        { tail -20 "$work/apt.log"; exit 1; }
    "${in_root[@]}" apt-get clean
    for m in dev/pts dev sys proc; do umount "$root/$m"; done
    trap - EXIT
    # The first process mounts the folder of these scripts and goes on with the one there
    # (i386-machine-init.sh), which may change without making the guest again.
    cat >"$root/sbin/tamrix-init" <<'STUB'
#!/bin/sh
mount -t proc proc /proc
modprobe 9pnet_virtio; modprobe 9p
mkdir -p /mnt/tamrix
mount -t 9p -o trans=virtio,version=9p2000.L,ro tamrix /mnt/tamrix
exec /bin/sh /mnt/tamrix/i386-machine-init.sh
STUB
    chmod 755 "$root/sbin/tamrix-init"
    echo '/dev/vda / ext4 rw,noatime 0 1' >"$root/etc/fstab"
    rm -rf "$root"/usr/share/doc/* "$root"/usr/share/man/* "$root"/var/lib/apt/lists/*
    local kernel; kernel=$(ls "$root/lib/modules" | sort -V | tail -1)
    cp "$root/boot/vmlinuz-$kernel" "$work/vmlinuz"
    cp "$root/boot/initrd.img-$kernel" "$work/initrd.img"
    truncate -s 4G "$work/rootfs.img"
    mkfs.ext4 -q -F -L tamrix -d "$root" "$work/rootfs.img"
    rm -rf "$root"
    echo "$key" >"$work/key"
    rm -rf "$cache/ready"; mv "$work" "$cache/ready"
    log "guest made: $(du -sh "$cache/ready/rootfs.img" | cut -f1) image in $cache/ready"
}
# image:end

ensure_image() {
    local key; key=$(image_key)
    [ "$(cat "$cache/ready/key" 2>/dev/null)" = "$key" ] && return 0
    mkdir -p "$cache"
    (
        flock 9
        [ "$(cat "$cache/ready/key" 2>/dev/null)" = "$key" ] || make_image "$key"
    ) 9>"$cache/lock"
}

run_guest() {
    # Each folder once: one inside another is seen through the outer one.
    local given=() folders=() f g
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        f=$(realpath "$1"); [ -d "$f" ] || f=$(dirname "$f")   # a file: its folder
        given+=("$f"); shift
    done
    for f in "${given[@]}"; do
        for g in "${given[@]}"; do
            [ "$f" != "$g" ] && [[ "$f/" == "$g/"* ]] && continue 2
        done
        [[ " ${folders[*]} " == *" $f "* ]] || folders+=("$f")
    done
    [ $# -gt 1 ] && [ ${#folders[@]} -gt 0 ] || { echo "usage: $0 run <folder>... -- <command>..." >&2; exit 2; }
    shift
    ensure_image
    host_packages
    local accel=${TAMRIX_I386_ACCEL:-tcg}
    # SMAP off: QEMU's emulation of it kills every Wine process at its first return from a
    # system call. Under KVM the host's CPU may not let the guest set the architecture
    # capabilities register, which QEMU's "max" asks for.
    local cpu=max,-smap
    case $accel in
        tcg) accel=tcg,thread=multi ;;
        kvm) cpu=max,-smap,-arch-capabilities ;;
    esac
    # The command, its folder and the caller's Tamrix settings go to the guest in a job file
    # in a folder of its own, shared too; the guest writes its exit code beside it.
    job=$(mktemp -d)
    trap 'rm -rf "$job"' EXIT
    {
        echo '#!/bin/bash'
        printf 'cd %q || exit 125\n' "$PWD"
        { env | grep -E '^(TAMRIX_|CTEST_|GTEST_)' | grep -v '^TAMRIX_I386' || true; } |
            while IFS= read -r line; do printf 'export %q\n' "$line"; done
        printf '%q ' "$@"; echo
    } >"$job/job.sh"
    chmod +x "$job/job.sh"
    local shares=(-virtfs "local,path=$here,mount_tag=tamrix,security_model=none,readonly=on"
                  -virtfs "local,path=$job,mount_tag=job,security_model=none") i=0 mounts=""
    for f in "${folders[@]}"; do
        shares+=(-virtfs "local,path=$f,mount_tag=share$i,security_model=none")
        mounts+="share$i=$f,"; i=$((i + 1))
    done
    local cores; cores=$(nproc)
    log "booting ($accel, $cores cores) to run: $*"
    local status=0
    qemu-system-x86_64 -accel "$accel" -cpu "$cpu" -smp "$cores" -m 4096 -nographic -no-reboot \
        -kernel "$cache/ready/vmlinuz" -initrd "$cache/ready/initrd.img" \
        -append "root=/dev/vda rw console=ttyS0 quiet loglevel=3 init=/sbin/tamrix-init tamrix.mounts=${mounts%,}" \
        -drive "file=$cache/ready/rootfs.img,if=virtio,format=raw,snapshot=on" \
        "${shares[@]}" -nic none </dev/null | sed -u -e '1,/i386 machine: up after/{/i386 machine: up after/!d}' -e 's/^.*\(i386 machine: up after\)/\1/' -e '/sysrq: Power Off\|reboot: Power down/d' || status=$?
    [ $status -eq 0 ] || { log "qemu ended with $status"; exit 125; }
    [ -f "$job/status" ] || { log "the guest ended without running the command"; exit 125; }
    exit "$(cat "$job/status")"
}

# hide: runs the command where Wine's i386 loader cannot start, as on a kernel without IA-32
# emulation (TAMRIX_I386=emulate, on a machine that runs 32-bit code): in a mount namespace of
# its own, the loader is covered by a copy whose ELF header names another machine, so that its
# start fails with "Exec format error" as it does there, for every process of the command.
hide_i386() {
    [ "${1:-}" = -- ] && shift
    local loader=${TAMRIX_WINE_I386_LOADER:-/usr/lib/wine/wine}
    if [ -n "${TAMRIX_I386_HIDDEN:-}" ] || ! "$loader" --version >/dev/null 2>&1; then exec "$@"; fi
    local copy; copy=$(mktemp -d)/wine
    cp "$loader" "$copy"
    printf '\xb7\x00' | dd of="$copy" bs=1 seek=18 conv=notrunc status=none   # e_machine: AArch64
    if unshare -m --propagation private true 2>/dev/null; then
        exec unshare -m --propagation private bash -c \
            'mount --bind "$0" "$1" && export TAMRIX_I386_HIDDEN=1 && shift && exec "$@"' "$copy" "$loader" "$@"
    fi
    log "cannot hide this machine's 32-bit loader (no mount namespace): 32-bit code still runs here"
    exec "$@"
}

case ${1:-} in
    image) ensure_image ;;
    run) shift; run_guest "$@" ;;
    hide) shift; hide_i386 "$@" ;;
    *) echo "usage: $0 image | run <folder>... -- <command> [argument...] | hide -- <command>..." >&2; exit 2 ;;
esac
