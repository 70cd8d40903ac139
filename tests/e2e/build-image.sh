#!/bin/sh
# Build the Debian bookworm armhf root filesystem image for the end-to-end test.
# Usage: build-image.sh OUTDIR
# Writes OUTDIR/rootfs.ext4, OUTDIR/vmlinuz, OUTDIR/initrd.img. The caller keys
# OUTDIR on a hash of this file, so everything the image depends on lives here.
# Needs root, mmdebstrap, qemu-user-static, binfmt-support, arch-test, e2fsprogs.
set -eu

out=${1:?usage: build-image.sh OUTDIR}
debcache=${TAVRIN_E2E_DEBCACHE:-$(dirname "$out")/debs}
suite=bookworm
packages=linux-image-armmp,kmod,xserver-xorg-core,xserver-xorg-video-fbdev,x11-xserver-utils
image_size=1536M

# The archive the host already trusts and reaches; nothing host-specific in the repo.
find_mirror() {
    if [ -n "${TAVRIN_E2E_MIRROR:-}" ]; then echo "$TAVRIN_E2E_MIRROR"; return; fi
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        # deb822 stanzas: first one whose Suites list holds the plain suite name.
        awk -v s="$suite" '
            /^[[:space:]]*$/ { if (u != "" && ok) { print u; exit } u = ""; ok = 0; next }
            tolower($1) == "uris:" { u = $2 }
            tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i == s) ok = 1 }
            END { if (u != "" && ok) print u }' "$f" | head -n1
    done | head -n1 | grep . && return
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk -v s="$suite" '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { if ($(i+1) == s) { print $i; exit } break } }' |
        grep . || { echo "build-image: no $suite mirror in the host's apt sources" >&2; return 1; }
}
mirror=$(find_mirror)

# The second stage runs armhf maintainer scripts through qemu-user.
[ -d /proc/sys/fs/binfmt_misc ] || modprobe binfmt_misc 2>/dev/null || true
[ -e /proc/sys/fs/binfmt_misc/register ] ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
update-binfmts --enable qemu-arm 2>/dev/null || true
arch-test armhf >/dev/null || { echo "build-image: cannot run armhf binaries (binfmt/qemu-user)" >&2; exit 1; }

work=$(mktemp -d "${out}.build.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
mkdir -p "$debcache" "$work/root"

# Stage 0 of PID 1: only reaches the 9p share and hands over to the test's init
# script there, so that changing the test never changes this cached image.
cat >"$work/e2e-init" <<'EOF'
#!/bin/sh
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sys /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mkdir -p /io
modprobe 9pnet_virtio && modprobe 9p &&
    mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 io /io &&
    [ -f /io/init.sh ] && exec /bin/sh /io/init.sh
echo "e2e-init: 9p share /io with init.sh not available" >&2
echo o >/proc/sysrq-trigger
sleep 10
EOF

# Debian's default initramfs (MODULES=most, zstd) takes minutes per generation
# under qemu-user; the VM only needs virtio-mmio, virtio-blk and ext4 to reach /.
# shellcheck disable=SC2016
mmdebstrap --variant=minbase --architectures=armhf --include="$packages" \
    --dpkgopt='path-exclude=/usr/share/man/*' \
    --dpkgopt='path-exclude=/usr/share/doc/*' \
    --dpkgopt='path-exclude=/usr/share/info/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' \
    --skip=download/empty --skip=essential/unlink \
    --setup-hook='mkdir -p "$1"/var/cache/apt/archives/' \
    --setup-hook="sync-in '$debcache' /var/cache/apt/archives/" \
    --essential-hook='mkdir -p "$1"/etc/initramfs-tools/conf.d "$1"/usr/share/initramfs-tools/modules.d &&
        printf "MODULES=list\nCOMPRESS=gzip\n" >"$1"/etc/initramfs-tools/conf.d/e2e-small &&
        printf "virtio_mmio\nvirtio_blk\next4\n" >"$1"/usr/share/initramfs-tools/modules.d/e2e-small' \
    --customize-hook="sync-out /var/cache/apt/archives '$debcache'" \
    --customize-hook="upload '$work/e2e-init' /usr/local/sbin/e2e-init" \
    --customize-hook='chmod 755 "$1"/usr/local/sbin/e2e-init' \
    "$suite" "$work/root" "$mirror"

cp "$work"/root/boot/vmlinuz-* "$work/vmlinuz"
cp "$work"/root/boot/initrd.img-* "$work/initrd.img"
cp "$work"/root/boot/config-* "$work/kernel-config"
mke2fs -q -t ext4 -d "$work/root" "$work/rootfs.ext4" "$image_size"
mkdir -p "$out"
mv "$work/vmlinuz" "$work/initrd.img" "$work/kernel-config" "$work/rootfs.ext4" "$out/"
