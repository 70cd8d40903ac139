#!/bin/bash
# End-to-end test of the tavrin packages on emulated ARM panels that boot with
# systemd and install the package as an admin would.
# Usage: run-e2e.sh PATH/TO/tavrin_VERSION_armhf.deb PATH/TO/tavrin_OLDER_armhf.deb [PATH/TO/tavrin_VERSION_arm64.deb]
#        run-e2e.sh --image-only   (builds and caches the images, runs nothing)
# The armhf panel runs the older package first and is upgraded to VERSION; the
# debug symbols package tavrin-dbgsym_VERSION_ARCH.ddeb beside each package
# under test reads a core. The arm64 package is needed when the arm64 panel boots.
# Needs root (apt-get, binfmt_misc, mmdebstrap). The root filesystem images are
# cached under ${XDG_CACHE_HOME:-~/.cache}/tavrin-e2e, keyed on build-image.sh,
# the release and the architecture.
# TAVRIN_E2E_KEEP=1 keeps the scratch directory (logs, screenshots) for a look;
# TAVRIN_E2E_PANELS="virtio cirrus arm64 armhf64" (the default) names the panels to boot;
# TAVRIN_E2E_SIDE_BY_SIDE=1 boots them at the same time, not one after another.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
vm_timeout=${TAVRIN_E2E_VM_TIMEOUT:-900}
panels=${TAVRIN_E2E_PANELS:-virtio cirrus arm64 armhf64}
side_by_side=${TAVRIN_E2E_SIDE_BY_SIDE:-}

die() { echo "run-e2e: $*" >&2; exit 1; }

# Each panel's Debian release, userland and kernel architectures, GPU and
# machine; boot_panel adds what all of them share.
declare -A panel=(
    # DRM's fbdev emulation at 32 bpp, the whole scenario.
    [virtio]="trixie armhf armhf virtio-gpu-device,xres=800,yres=480 -M virt -cpu cortex-a15"
    # A single-buffered DRM framebuffer at 16 bpp whose memory is shorter than
    # tavrin's mapping: one blanking. highmem=off: the 32-bit kernel cannot
    # claim the high PCI ECAM, and without it there is no PCI bus; there is no
    # VGA BIOS file here, and the driver needs none.
    [cirrus]="bookworm armhf armhf cirrus-vga,romfile= -M virt,highmem=off -cpu cortex-a15"
    # The virtio panel on a 64-bit core and kernel: one blanking, a core and
    # the package's removal.
    [arm64]="trixie arm64 arm64 virtio-gpu-device,xres=800,yres=480 -M virt -cpu cortex-a53"
    # The armhf package on the armhf userland under the arm64 kernel, whose
    # cortex-a53 runs 32-bit code at EL0, as single-image fleets boot their
    # 64-bit boards.
    [armhf64]="trixie armhf arm64 virtio-gpu-device,xres=800,yres=480 -M virt -cpu cortex-a53"
)
for p in $panels; do [ -n "${panel[$p]:-}" ] || die "no panel named $p"; done

# check_deb FILE ARCH: FILE is the tavrin package for ARCH, with its debug
# symbols package beside it.
dbgsym_of() { echo "$(dirname "$1")/tavrin-dbgsym_$(dpkg-deb --field "$1" Version)_$2.ddeb"; }
check_deb() {
    [ -f "$1" ] || die "no such file: $1"
    [ "$(dpkg-deb --field "$1" Package Architecture 2>/dev/null | tr '\n' ' ')" = \
        "Package: tavrin Architecture: $2 " ] || die "$1 is not the $2 tavrin package"
    [ -f "$(dbgsym_of "$1" "$2")" ] || die "no debug symbols package beside $1: $(dbgsym_of "$1" "$2")"
}

usage="usage: $0 ARMHF_DEB OLDER_ARMHF_DEB [ARM64_DEB] | --image-only"
image_only=
if [ "${1:-}" = --image-only ]; then
    image_only=1
else
    [ $# -eq 2 ] || [ $# -eq 3 ] || die "$usage"
    deb_armhf=$1 older_deb=$2 deb_arm64=${3:-}
    check_deb "$deb_armhf" armhf
    check_deb "$older_deb" armhf
    dpkg --compare-versions "$(dpkg-deb --field "$older_deb" Version)" lt \
        "$(dpkg-deb --field "$deb_armhf" Version)" || die "$older_deb is not older than $deb_armhf"
    for p in $panels; do
        read -r _ userland _ <<<"${panel[$p]}"
        [ "$userland" != arm64 ] || check_deb "${deb_arm64:?the $p panel needs the arm64 package; $usage}" arm64
    done
fi
[ "$(id -u)" -eq 0 ] || die "must run as root (apt-get, binfmt_misc, mmdebstrap)"

. "$here/../../scripts/lib.sh"
need_packages "${e2e_host_packages[@]}"

cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/tavrin-e2e
key=$(sha256sum <"$here/build-image.sh" | cut -c1-16)
mkdir -p "$cache_root"
bpid=
boots=()
scratch=
cleanup() {
    # Children are waited for in the background so that a signal reaches this
    # trap at once; stop whatever is still running, by pid. Each boot stops
    # its own VM, before the scratch directory goes.
    [ -z "$bpid" ] || kill "$bpid" 2>/dev/null || true
    for b in "${boots[@]}"; do kill "${b%%:*}" 2>/dev/null || true; done
    wait
    if [ -z "$scratch" ]; then
        :
    elif [ "${TAVRIN_E2E_KEEP:-}" = 1 ]; then
        echo "run-e2e: records kept in $scratch"
    else
        rm -rf "$scratch"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# lock_image DIR: this run alone builds the image DIR until it ends or calls
# unlock_image; runs that build other images go on beside it.
lock_image() { exec {lock}>"$1.lock" && flock "$lock"; }
unlock_image() { exec {lock}>&-; }
# build_image RELEASE ARCH: the image of that userland, with its own kernel.
build_image() {
    local dir=$cache_root/$key-$1-$2 lock
    lock_image "$dir"
    [ ! -f "$dir/rootfs.ext4" ] || { unlock_image; return 0; }
    echo "run-e2e: building the $1 $2 root filesystem (several minutes) into $dir"
    blog=$cache_root/build-$key-$1-$2.log
    timeout 45m sh "$here/build-image.sh" "$dir" "$1" "$2" >"$blog" 2>&1 &
    bpid=$!
    wait "$bpid" || { tail -n 30 "$blog" >&2; die "root filesystem build failed (log: $blog)"; }
    bpid=
    unlock_image
}
# graft_kernel RELEASE USERLAND KERNEL: the USERLAND image with the KERNEL
# image's kernel, initramfs and modules. That initramfs is the kernel's own
# architecture's; it only mounts the root and hands over to its init.
graft_kernel() {
    local dir=$cache_root/$key-$1-$2-on-$3 from=$cache_root/$key-$1-$3 mnt lock
    build_image "$1" "$2" && build_image "$1" "$3"
    lock_image "$dir"
    [ ! -f "$dir/rootfs.ext4" ] || { unlock_image; return 0; }
    mnt=$(mktemp -d) && mkdir -p "$mnt/to" "$mnt/from" "$dir"
    cp --sparse=always "$cache_root/$key-$1-$2/rootfs.ext4" "$dir/rootfs.part"
    mount -o loop "$dir/rootfs.part" "$mnt/to" && mount -o loop,ro "$from/rootfs.ext4" "$mnt/from" &&
        cp -a "$mnt/from/usr/lib/modules/." "$mnt/to/usr/lib/modules/"
    local status=$?
    umount "$mnt/from" "$mnt/to" 2>/dev/null
    rmdir "$mnt/to" "$mnt/from" "$mnt"
    [ $status -eq 0 ] || die "cannot graft the $3 kernel's modules into the $2 image"
    cp "$from/vmlinuz" "$from/initrd.img" "$from/kernel-config" "$dir/"
    mv "$dir/rootfs.part" "$dir/rootfs.ext4"
    unlock_image
}
for p in $panels; do
    set -- ${panel[$p]}
    if [ "$2" = "$3" ]; then build_image "$1" "$2"; else graft_kernel "$1" "$2" "$3"; fi
done
[ -z "$image_only" ] || exit 0

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tavrin-e2e.XXXXXX")

# stop_vm: a boot's own QEMU and QMP helper, by pid.
stop_vm() {
    kill ${vpid:+"$vpid"} ${qpid:+"$qpid"} 2>/dev/null || true
    [ -z "$qpid" ] || { sleep 1; kill -9 "$qpid" 2>/dev/null || true; }
}

# boot_panel NAME RELEASE ARCH KERNEL_ARCH GPU MACHINE...: boots the image of
# the ARCH userland with the KERNEL_ARCH kernel on one kind of
# panel with the package and the scenario on a share of its own, then judges
# the records. NAME tells run.sh and check.py which scenarios belong to it.
# Started in the background, so in a subshell of its own, which the trap
# below ties to its QEMU: killing the subshell stops its VM.
boot_panel() {
    name=$1 arch=$3 gpu=$5 dir=$scratch/$1 share=$scratch/$1/io image=$cache_root/$key-$2-$3
    [ "$3" = "$4" ] || image=$image-on-$4
    [ "$4" = armhf ] && qemu=qemu-system-arm || qemu=qemu-system-aarch64
    shift 5
    # force-legacy=false: without it virtio_gpu loads but never binds (no /dev/fb0).
    # One core: the boots side by side fill the host's cores, and with two
    # each they took an eighth more of its CPU time for the same work.
    set -- "$@" -smp 1 -m 1024 -global virtio-mmio.force-legacy=false
    deb=$deb_armhf
    [ "$arch" = armhf ] || deb=$deb_arm64
    qpid='' vpid=''
    trap stop_vm EXIT
    trap 'exit 130' INT TERM
    mkdir -p "$share/out"
    echo "$name" >"$share/panel"
    cp "$here/guest/run.sh" "$here/guest/wrap.sh" "$share/"
    cp "$deb" "$share/tavrin.deb"
    cp "$older_deb" "$share/tavrin-older.deb"
    cp "$(dbgsym_of "$deb" "$arch")" "$share/tavrin-dbgsym.ddeb"
    qemu-img create -q -f qcow2 -F raw -b "$image/rootfs.ext4" "$dir/overlay.qcow2"

    # The virt machine has no backlight: its own device tree, dumped with the
    # same machine options, gets a pwm-backlight on a sun4i PWM whose registers
    # are the top 16 MiB of RAM, which the kernel is told to leave alone
    # (mem=1008M). The backlight class device is then real.
    "$qemu" "$@" -machine dumpdtb="$dir/virt.dtb" -display none -nodefaults \
        >/dev/null 2>&1 || { echo "run-e2e: $name: cannot dump the machine's device tree" >&2; exit 1; }
    dtc -q -I dtb -O dts -o "$dir/panel.dts" "$dir/virt.dtb"
    cat "$here/panel-backlight.dtsi" >>"$dir/panel.dts"
    dtc -q -I dts -O dtb -o "$dir/panel.dtb" "$dir/panel.dts"

    # The whole scenario takes the longest by far: side by side, the short
    # boots yield to it, so that it is not left running alone at the end.
    prio=
    [ "$name" = virtio ] || prio="nice -n 5"
    # A scenario that reboots the panel (QEMU ends instead) gets it back,
    # from the same disk, once.
    for boot in 1 2; do
        $prio "$qemu" "$@" -dtb "$dir/panel.dtb" \
            -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
            -append "console=ttyAMA0 root=/dev/vda rw mem=1008M panic=-1" \
            -drive if=none,file="$dir/overlay.qcow2",format=qcow2,id=hd -device virtio-blk-device,drive=hd \
            -device "$gpu" \
            -fsdev local,id=io,path="$share",security_model=none -device virtio-9p-device,fsdev=io,mount_tag=io \
            -qmp unix:"$dir/qmp.sock",server=on,wait=off \
            -display none -monitor none -nodefaults -no-reboot \
            -serial file:"$dir/serial-$boot.log" >"$dir/qemu.log" 2>&1 &
        qpid=$!

        vm_status=0
        python3 "$here/vm.py" --qmp "$dir/qmp.sock" --out "$share/out" --timeout "$vm_timeout" &
        vpid=$!
        wait "$vpid" || vm_status=$?
        vpid=
        kill "$qpid" 2>/dev/null || true
        wait "$qpid" 2>/dev/null || true
        qpid=
        [ "$boot" = 1 ] && [ "$vm_status" = 0 ] && [ -e "$share/out/rebooting" ] || break
    done

    check_status=0
    python3 "$here/check.py" "$share/out" || check_status=$?
    if [ "$vm_status" -ne 0 ] || [ "$check_status" -ne 0 ]; then
        echo "---- $name: guest console (last lines) ----" >&2
        tail -n 40 "$dir/serial-$boot.log" >&2 || true
        cat "$dir/qemu.log" >&2 || true
        [ "$vm_status" -eq 0 ] || echo "run-e2e: $name: the VM run did not complete (status $vm_status)" >&2
        echo "run-e2e: $name: FAILED" >&2
        exit 1
    fi
    echo "run-e2e: $name: passed"
}

# wait_boots: every boot started has ended; each one's report is printed
# whole once it has, so that boots side by side do not mix their lines.
wait_boots() {
    for b in "${boots[@]}"; do
        wait "${b%%:*}" || failed=1
        cat "$scratch/${b#*:}.log"
    done
    boots=()
}
failed=0
for p in $panels; do
    echo "run-e2e: $p: booting the emulated panel with systemd"
    # shellcheck disable=SC2086 # the panel's line is words
    boot_panel "$p" ${panel[$p]} >"$scratch/$p.log" 2>&1 &
    boots+=("$!:$p")
    [ "$side_by_side" = 1 ] || wait_boots
done
wait_boots

# The same unit, rated by systemd on each panel that ran.
exposure=$(for p in $panels; do sed -n "s/^.*Overall exposure level for tavrin.service: \([0-9.]*\).*/$p \1/p" \
    "$scratch/$p/io/out/security.txt" 2>/dev/null || :; done)
echo "run-e2e: overall exposure of tavrin.service: ${exposure//$'\n'/, }"
[ "$(cut -d' ' -f2 <<<"$exposure" | sort -u | wc -l)" -le 1 ] || { echo "run-e2e: it differs between panels" >&2; failed=1; }
[ "$failed" -eq 0 ] || die "end-to-end checks failed"
echo "run-e2e: PASSED"
