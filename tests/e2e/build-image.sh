#!/bin/sh
# Build the Debian root filesystem image of a panel for the end-to-end test.
# Usage: build-image.sh OUTDIR RELEASE ARCH   (RELEASE: trixie, bookworm, ...;
# ARCH: armhf or arm64)
# Writes OUTDIR/rootfs.ext4, OUTDIR/vmlinuz, OUTDIR/initrd.img. The caller keys
# OUTDIR on a hash of this file and ARCH, so everything the image depends on lives here.
# Needs root, mmdebstrap, qemu-user-static, arch-test, e2fsprogs.
set -eu

usage="usage: build-image.sh OUTDIR RELEASE ARCH"
out=${1:?$usage} suite=${2:?$usage} arch=${3:?$usage}
kernel=linux-image-armmp qemu_user=qemu-arm
[ "$arch" = armhf ] || kernel=linux-image-$arch qemu_user=qemu-aarch64
# Every file name there holds its architecture, so the panels of a release
# share one.
debcache=${TAVRIN_E2E_DEBCACHE:-$(dirname "$out")/debs-$suite}
# systemd boots the panel; xauth makes the display manager's cookie;
# init-system-helpers gives the package's maintainer scripts deb-systemd-helper;
# gdb-minimal reads a core of the watcher with its debug symbols package.
packages=$kernel,kmod,systemd-sysv,udev,dbus,init-system-helpers,xauth,xserver-xorg-core,xserver-xorg-video-fbdev,x11-xserver-utils,gdb-minimal
# The ways panels in the field start X, from the release's own packages:
# lightdm (its greeter pulls GTK), and a user's own startx, whose X runs as
# root through the legacy wrapper; logind's PAM module makes both logins
# sessions. The bookworm panel keeps the test's own display manager alone.
[ "$suite" = bookworm ] || packages=$packages,lightdm,xinit,xserver-xorg-legacy,libpam-systemd,procps
image_size=1536M

# The archive the host already trusts and reaches, whatever release the host
# runs: the stanza of a plain suite (no -security, -updates), which serves
# every release. Nothing host-specific in the repo.
find_mirror() {
    if [ -n "${TAVRIN_E2E_MIRROR:-}" ]; then echo "$TAVRIN_E2E_MIRROR"; return; fi
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        # deb822 stanzas: the first one whose Suites list holds a plain suite.
        awk '
            /^[[:space:]]*$/ { if (u != "" && ok) { print u; exit } u = ""; ok = 0; next }
            tolower($1) == "uris:" { u = $2 }
            tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i !~ /-/) ok = 1 }
            END { if (u != "" && ok) print u }' "$f" | head -n1
    done | head -n1 | grep . && return
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { if ($(i+1) !~ /-/) { print $i; exit } break } }' |
        grep . || { echo "build-image: no Debian mirror in the host's apt sources" >&2; return 1; }
}
mirror=$(find_mirror)

# The second stage runs the panel's maintainer scripts through qemu-user.
# The two image chains of a cold run get here at the same moment: whichever
# mounts or registers second finds it done ("already mounted", EEXIST), which
# is what it wanted; only the outcome is checked.
[ -d /proc/sys/fs/binfmt_misc ] || modprobe binfmt_misc 2>/dev/null || true
[ -e /proc/sys/fs/binfmt_misc/register ] ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null ||
    [ -e /proc/sys/fs/binfmt_misc/register ] ||
    { echo "build-image: cannot mount binfmt_misc" >&2; exit 1; }
# Registered from qemu-user-static's own binfmt.d file, as systemd-binfmt
# would at boot, rather than by binfmt-support, whose service would stay
# enabled on the machine after the test.
[ -e "/proc/sys/fs/binfmt_misc/$qemu_user" ] ||
    cat "/usr/lib/binfmt.d/$qemu_user.conf" 2>/dev/null >/proc/sys/fs/binfmt_misc/register ||
    [ -e "/proc/sys/fs/binfmt_misc/$qemu_user" ] ||
    { echo "build-image: cannot register $qemu_user in binfmt_misc" >&2; exit 1; }
arch-test "$arch" >/dev/null || { echo "build-image: cannot run $arch binaries (binfmt/qemu-user)" >&2; exit 1; }

work=$(mktemp -d "${out}.build.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
mkdir -p "$debcache" "$work/root"

# Files of the panel itself, and of the runner that hands the booted panel to
# the test; the test's own scenario comes from the 9p share, so that changing
# it never changes this cached image.
mkdir -p "$work/overlay/etc/systemd/system/multi-user.target.wants" "$work/overlay/etc/X11/xorg.conf.d" \
    "$work/overlay/usr/local/sbin" "$work/overlay/usr/local/bin" "$work/overlay/etc/lightdm/lightdm.conf.d" \
    "$work/overlay/usr/share/xsessions"

# fbdev rather than modesetting: with modesetting X scans out its own buffer and
# a paint into /dev/fb0 would not be what the panel shows. A snippet, which
# every X server reads, since lightdm and startx start X without -config.
cat >"$work/overlay/etc/X11/xorg.conf.d/50-panel.conf" <<'EOF'
Section "ServerFlags"
    Option "AutoAddDevices" "false"
    Option "AutoEnableDevices" "false"
EndSection

Section "Device"
    Identifier "panel"
    Driver "fbdev"
    Option "fbdev" "/dev/fb0"
EndSection
EOF

# The panel's display manager: X on :0 that only admits holders of a fresh
# cookie. Started while udev still adds the GPU, X took the DRM device's
# re-registration for a removal and crashed now and then; so it waits for
# udev's first pass, and restarts if it dies all the same, as display
# managers do.
cat >"$work/overlay/etc/systemd/system/panel-x.service" <<'EOF'
[Unit]
Description=X server of the panel on :0
Wants=systemd-udev-settle.service
After=systemd-udev-settle.service

[Service]
Restart=on-failure
RuntimeDirectory=panel-x
ExecStartPre=/bin/sh -c 'xauth -q -f /run/panel-x/cookie add :0 . "$(mcookie)"'
ExecStart=/usr/bin/Xorg :0 -auth /run/panel-x/cookie -nolisten tcp -noreset

[Install]
Alias=display-manager.service
EOF

# The kiosk: a user whose session shows nothing and waits, as a kiosk
# program would. lightdm logs it in by itself; its own startx runs the same
# program from ~/.xinitrc (see the customize hook). xinit keeps a connection
# to X, so the server does not reset whenever a passing client leaves.
cat >"$work/overlay/usr/local/bin/kiosk" <<'EOF'
#!/bin/sh
exec sleep infinity
EOF
chmod 755 "$work/overlay/usr/local/bin/kiosk"
cat >"$work/overlay/usr/share/xsessions/kiosk.desktop" <<'EOF'
[Desktop Entry]
Name=Kiosk
Exec=/usr/local/bin/kiosk
Type=Application
EOF
cat >"$work/overlay/etc/lightdm/lightdm.conf.d/50-kiosk.conf" <<'EOF'
[Seat:*]
autologin-user=kiosk
autologin-session=kiosk
EOF

cat >"$work/overlay/etc/systemd/system/e2e-runner.service" <<'EOF'
[Unit]
Description=End-to-end test scenario from the 9p share
After=multi-user.target

[Service]
Type=oneshot
ExecStart=/usr/local/sbin/e2e-runner
StandardOutput=journal+console
StandardError=journal+console
TimeoutStartSec=infinity

[Install]
WantedBy=multi-user.target
EOF
ln -s ../e2e-runner.service "$work/overlay/etc/systemd/system/multi-user.target.wants/e2e-runner.service"

# Run on the finished root: the test's own display manager is the panel's;
# the release's display managers are masked, so that no boot starts a
# greeter it does not use, and a scenario unmasks the one it tries. The
# kiosk's own X runs as root, as X with the fbdev driver does on such panels
# (it opens /dev/fb0 and the console itself).
cat >"$work/setup-panel" <<'EOF'
set -eu
root=$1
ln -sfn panel-x.service "$root/etc/systemd/system/display-manager.service"
[ -e "$root/usr/sbin/lightdm" ] || exit 0
ln -sfn /dev/null "$root/etc/systemd/system/lightdm.service"
grep -qs '^needs_root_rights=' "$root/etc/X11/Xwrapper.config" ||
    echo needs_root_rights=yes >>"$root/etc/X11/Xwrapper.config"
chroot "$root" useradd --create-home --shell /bin/bash kiosk
# The kiosk's own session, as autologin on the first console starts it.
printf '%s\n' 'if [ -z "${DISPLAY:-}" ] && [ "$(tty)" = /dev/tty1 ]; then exec startx; fi' \
    >"$root/home/kiosk/.bash_profile"
printf '%s\n' 'exec /usr/local/bin/kiosk' >"$root/home/kiosk/.xinitrc"
chroot "$root" chown kiosk:kiosk /home/kiosk/.bash_profile /home/kiosk/.xinitrc
EOF

cat >"$work/overlay/usr/local/sbin/e2e-runner" <<'EOF'
#!/bin/sh
mkdir -p /io
if modprobe 9pnet_virtio && modprobe 9p &&
    mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 io /io &&
    [ -f /io/run.sh ]; then
    /bin/sh /io/run.sh
else
    echo "e2e-runner: 9p share /io with run.sh not available"
fi
sync
# Everything worth keeping is on the share by now: no orderly shutdown needed.
systemctl --force poweroff
sleep 60
echo o >/proc/sysrq-trigger
EOF
chmod 755 "$work/overlay/usr/local/sbin/e2e-runner"

# Only slow a test VM down: each boot spent some 15 s of emulated CPU
# loading, at the start of the boot, modules that nothing on the panel uses
# (the GPU's driver loads drm itself), and checking ext4 snapshots. systemd's
# generators are masked too (below, by name, as each release has its own):
# the panel has no fstab entry, encrypted or GPT volume, SysV script or
# login on the serial console for them to turn into units, and they ran on
# every daemon-reload, which dpkg's scripts and the scenarios do a dozen
# times a boot, each costing several seconds of emulated CPU.
for unit in apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer fstrim.timer \
    dpkg-db-backup.timer systemd-firstboot.service e2scrub_reap.service \
    modprobe@configfs.service modprobe@dm_mod.service modprobe@drm.service \
    modprobe@efi_pstore.service modprobe@fuse.service modprobe@loop.service; do
    ln -s /dev/null "$work/overlay/etc/systemd/system/$unit"
done

# Debian's default initramfs (MODULES=most, zstd) takes minutes per generation
# under qemu-user; the VM only needs virtio-mmio, virtio-blk and ext4 to reach /.
# shellcheck disable=SC2016
mmdebstrap --variant=minbase --architectures="$arch" --include="$packages" \
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
    --customize-hook="cp -a '$work/overlay/.' \"\$1/\"" \
    --customize-hook="sh '$work/setup-panel' \"\$1\"" \
    --customize-hook='mkdir -p "$1"/etc/systemd/system-generators &&
        for g in "$1"/usr/lib/systemd/system-generators/*; do
            ln -s /dev/null "$1/etc/systemd/system-generators/${g##*/}"; done' \
    "$suite" "$work/root" "$mirror"

cp "$work"/root/boot/vmlinuz-* "$work/vmlinuz"
cp "$work"/root/boot/initrd.img-* "$work/initrd.img"
cp "$work"/root/boot/config-* "$work/kernel-config"
mke2fs -q -t ext4 -d "$work/root" "$work/rootfs.ext4" "$image_size"
mkdir -p "$out"
mv "$work/vmlinuz" "$work/initrd.img" "$work/kernel-config" "$work/rootfs.ext4" "$out/"
