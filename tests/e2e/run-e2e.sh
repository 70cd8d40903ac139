#!/bin/bash
# End-to-end test of the armhf tavrin package on an emulated ARM panel that
# boots with systemd and installs the package with dpkg.
# Usage: run-e2e.sh PATH/TO/tavrin_VERSION_armhf.deb PATH/TO/tavrin_OLDER_armhf.deb
#        run-e2e.sh --image-only   (builds and caches the image, runs nothing)
# The panel runs the older package first and is upgraded to VERSION; the
# debug symbols package tavrin-dbgsym_VERSION_armhf.ddeb beside it reads a core.
# Needs root (apt-get, binfmt_misc, mmdebstrap). The root filesystem image is
# cached under ${XDG_CACHE_HOME:-~/.cache}/tavrin-e2e, keyed on build-image.sh.
# TAVRIN_E2E_KEEP=1 keeps the scratch directory (logs, screenshots) for a look;
# TAVRIN_E2E_PANELS="virtio cirrus" (the default) names the panels to boot.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
vm_timeout=${TAVRIN_E2E_VM_TIMEOUT:-900}

die() { echo "run-e2e: $*" >&2; exit 1; }

usage="usage: $0 PATH/TO/tavrin_VERSION_armhf.deb PATH/TO/tavrin_OLDER_armhf.deb | --image-only"
image_only=
if [ "${1:-}" = --image-only ]; then
    image_only=1
else
    [ $# -eq 2 ] || die "$usage"
    deb=$1
    older_deb=$2
    for d in "$deb" "$older_deb"; do
        [ -f "$d" ] || die "no such file: $d"
        [ "$(dpkg-deb --field "$d" Package Architecture 2>/dev/null | tr '\n' ' ')" = \
            "Package: tavrin Architecture: armhf " ] || die "$d is not the armhf tavrin package"
    done
    dpkg --compare-versions "$(dpkg-deb --field "$older_deb" Version)" lt \
        "$(dpkg-deb --field "$deb" Version)" || die "$older_deb is not older than $deb"
    dbgsym=$(dirname "$deb")/tavrin-dbgsym_$(dpkg-deb --field "$deb" Version)_armhf.ddeb
    [ -f "$dbgsym" ] || die "no debug symbols package beside $deb: $dbgsym"
fi
[ "$(id -u)" -eq 0 ] || die "must run as root (apt-get, binfmt_misc, mmdebstrap)"

host_packages=(qemu-system-arm qemu-user-static binfmt-support arch-test mmdebstrap
    qemu-utils e2fsprogs python3 device-tree-compiler)
missing=()
for p in "${host_packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "run-e2e: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
        { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; } ||
        die "could not install ${missing[*]}"
fi

cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/tavrin-e2e
key=$(cat "$here/build-image.sh" | sha256sum | cut -c1-16)
image=$cache_root/$key
mkdir -p "$cache_root"
bpid=
qpid=
vpid=
scratch=
cleanup() {
    # Children are waited for in the background so that a signal reaches this
    # trap at once; stop whatever is still running, by pid.
    [ -z "$bpid" ] || kill "$bpid" 2>/dev/null || true
    [ -z "$vpid" ] || kill "$vpid" 2>/dev/null || true
    if [ -n "$qpid" ] && kill -0 "$qpid" 2>/dev/null; then
        kill "$qpid" 2>/dev/null
        sleep 1
        kill -9 "$qpid" 2>/dev/null || true
    fi
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

exec 9>"$cache_root/lock"
flock 9
if [ ! -f "$image/rootfs.ext4" ]; then
    echo "run-e2e: building the armhf root filesystem (several minutes) into $image"
    blog=$cache_root/build-$key.log
    timeout 45m sh "$here/build-image.sh" "$image" >"$blog" 2>&1 &
    bpid=$!
    wait "$bpid" || { tail -n 30 "$blog" >&2; die "root filesystem build failed (log: $blog)"; }
    bpid=
fi
exec 9>&-
[ -z "$image_only" ] || exit 0

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tavrin-e2e.XXXXXX")

# boot_panel NAME GPU MACHINE...: boots the image on one kind of panel with
# the package and the scenario on a share of its own, then judges the
# records. NAME tells run.sh and check.py which scenarios belong to it.
boot_panel() {
    local name=$1 gpu=$2 dir=$scratch/$1
    shift 2
    local machine=("$@")
    local share=$dir/io
    mkdir -p "$share/out"
    echo "$name" >"$share/panel"
    cp "$here/guest/run.sh" "$here/guest/wrap.sh" "$share/"
    cp "$deb" "$share/tavrin.deb"
    cp "$older_deb" "$share/tavrin-older.deb"
    cp "$dbgsym" "$share/tavrin-dbgsym.ddeb"
    qemu-img create -q -f qcow2 -F raw -b "$image/rootfs.ext4" "$dir/overlay.qcow2"

    # The virt machine has no backlight: its own device tree, dumped with the
    # same machine options, gets a pwm-backlight on a sun4i PWM whose registers
    # are the top 16 MiB of RAM, which the kernel is told to leave alone
    # (mem=1008M). The backlight class device is then real.
    qemu-system-arm "${machine[@]}" -machine dumpdtb="$dir/virt.dtb" -display none -nodefaults \
        >/dev/null 2>&1 || { echo "run-e2e: $name: cannot dump the machine's device tree" >&2; return 1; }
    dtc -q -I dtb -O dts -o "$dir/panel.dts" "$dir/virt.dtb"
    cat "$here/panel-backlight.dtsi" >>"$dir/panel.dts"
    dtc -q -I dts -O dtb -o "$dir/panel.dtb" "$dir/panel.dts"

    echo "run-e2e: $name: booting the emulated panel with systemd"
    qemu-system-arm "${machine[@]}" -dtb "$dir/panel.dtb" \
        -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
        -append "console=ttyAMA0 root=/dev/vda rw mem=1008M panic=-1" \
        -drive if=none,file="$dir/overlay.qcow2",format=qcow2,id=hd -device virtio-blk-device,drive=hd \
        -device "$gpu" \
        -fsdev local,id=io,path="$share",security_model=none -device virtio-9p-device,fsdev=io,mount_tag=io \
        -qmp unix:"$dir/qmp.sock",server=on,wait=off \
        -display none -monitor none -nodefaults -no-reboot \
        -serial file:"$dir/serial.log" >"$dir/qemu.log" 2>&1 &
    qpid=$!

    local vm_status=0
    python3 "$here/vm.py" --qmp "$dir/qmp.sock" --out "$share/out" --timeout "$vm_timeout" &
    vpid=$!
    wait "$vpid" || vm_status=$?
    vpid=
    kill "$qpid" 2>/dev/null || true
    wait "$qpid" 2>/dev/null || true
    qpid=

    local check_status=0
    python3 "$here/check.py" "$share/out" || check_status=$?
    if [ "$vm_status" -ne 0 ] || [ "$check_status" -ne 0 ]; then
        echo "---- $name: guest console (last lines) ----" >&2
        tail -n 40 "$dir/serial.log" >&2 || true
        cat "$dir/qemu.log" >&2 || true
        [ "$vm_status" -eq 0 ] || echo "run-e2e: $name: the VM run did not complete (status $vm_status)" >&2
        echo "run-e2e: $name: FAILED" >&2
        return 1
    fi
    echo "run-e2e: $name: passed"
}

failed=0
# force-legacy=false: without it virtio_gpu loads but never binds (no /dev/fb0).
# DRM's fbdev emulation at 32 bpp, the whole scenario.
case " ${TAVRIN_E2E_PANELS:-virtio cirrus} " in *" virtio "*)
    boot_panel virtio virtio-gpu-device,xres=800,yres=480 \
        -M virt -cpu cortex-a15 -smp 2 -m 1024 -global virtio-mmio.force-legacy=false || failed=1
esac
# A single-buffered DRM framebuffer at 16 bpp whose memory is shorter than
# tavrin's mapping: one blanking. highmem=off: the 32-bit kernel cannot claim
# the high PCI ECAM, and without it there is no PCI bus; there is no VGA BIOS
# file here, and the driver needs none.
case " ${TAVRIN_E2E_PANELS:-virtio cirrus} " in *" cirrus "*)
    boot_panel cirrus cirrus-vga,romfile= \
        -M virt,highmem=off -cpu cortex-a15 -smp 2 -m 1024 -global virtio-mmio.force-legacy=false ||
        failed=1
esac
[ "$failed" -eq 0 ] || die "end-to-end checks failed"
echo "run-e2e: PASSED"
