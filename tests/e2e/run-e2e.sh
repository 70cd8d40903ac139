#!/bin/bash
# End-to-end test of the armhf tavrin package on an emulated ARM panel that
# boots with systemd and installs the package with dpkg.
# Usage: run-e2e.sh PATH/TO/tavrin_VERSION_armhf.deb PATH/TO/tavrin_OLDER_armhf.deb
#        run-e2e.sh --image-only   (builds and caches the image, runs nothing)
# The panel runs the older package first and is upgraded to VERSION; the
# debug symbols package tavrin-dbgsym_VERSION_armhf.ddeb beside it reads a core.
# Needs root (apt-get, binfmt_misc, mmdebstrap). The root filesystem image is
# cached under ${XDG_CACHE_HOME:-~/.cache}/tavrin-e2e, keyed on build-image.sh.
# TAVRIN_E2E_KEEP=1 keeps the scratch directory (logs, screenshots) for a look.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
vm_timeout=${TAVRIN_E2E_VM_TIMEOUT:-420}

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
share=$scratch/io
mkdir -p "$share/out"
cp "$here/guest/run.sh" "$here/guest/wrap.sh" "$share/"
cp "$deb" "$share/tavrin.deb"
cp "$older_deb" "$share/tavrin-older.deb"
cp "$dbgsym" "$share/tavrin-dbgsym.ddeb"
qemu-img create -q -f qcow2 -F raw -b "$image/rootfs.ext4" "$scratch/overlay.qcow2"

# force-legacy=false: without it virtio_gpu loads but never binds (no /dev/fb0).
machine=(-M virt -cpu cortex-a15 -smp 2 -m 1024 -global virtio-mmio.force-legacy=false)
# The virt machine has no backlight: its own device tree gets a pwm-backlight on
# a sun4i PWM whose registers are the top 16 MiB of RAM, which the kernel is
# told to leave alone (mem=1008M). The backlight class device is then real.
qemu-system-arm "${machine[@]}" -machine dumpdtb="$scratch/virt.dtb" -display none -nodefaults \
    >/dev/null 2>&1 || die "cannot dump the machine's device tree"
dtc -q -I dtb -O dts -o "$scratch/panel.dts" "$scratch/virt.dtb"
cat "$here/panel-backlight.dtsi" >>"$scratch/panel.dts"
dtc -q -I dts -O dtb -o "$scratch/panel.dtb" "$scratch/panel.dts"

echo "run-e2e: booting the emulated panel with systemd (about three minutes)"
qemu-system-arm "${machine[@]}" -dtb "$scratch/panel.dtb" \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
    -append "console=ttyAMA0 root=/dev/vda rw mem=1008M panic=-1" \
    -drive if=none,file="$scratch/overlay.qcow2",format=qcow2,id=hd -device virtio-blk-device,drive=hd \
    -device virtio-gpu-device,xres=800,yres=480 \
    -fsdev local,id=io,path="$share",security_model=none -device virtio-9p-device,fsdev=io,mount_tag=io \
    -qmp unix:"$scratch/qmp.sock",server=on,wait=off \
    -display none -monitor none -nodefaults -no-reboot \
    -serial file:"$scratch/serial.log" >"$scratch/qemu.log" 2>&1 &
qpid=$!

vm_status=0
python3 "$here/vm.py" --qmp "$scratch/qmp.sock" --out "$share/out" --timeout "$vm_timeout" &
vpid=$!
wait "$vpid" || vm_status=$?
vpid=
kill "$qpid" 2>/dev/null || true
wait "$qpid" 2>/dev/null || true
qpid=

check_status=0
python3 "$here/check.py" "$share/out" || check_status=$?
if [ "$vm_status" -ne 0 ] || [ "$check_status" -ne 0 ]; then
    echo "---- guest console (last lines) ----" >&2
    tail -n 40 "$scratch/serial.log" >&2 || true
    cat "$scratch/qemu.log" >&2 || true
    [ "$vm_status" -eq 0 ] || die "the VM run did not complete (status $vm_status)"
    die "end-to-end checks failed"
fi
echo "run-e2e: PASSED"
