#!/bin/bash
# The quick start where nothing is installed, as Debian's sbuild proves a
# package's build dependencies: in a fresh bookworm minbase chroot holding
# git and a clone of HEAD, scripts/run.sh and then scripts/test-host.sh run
# as root, unchanged. It fails unless the demonstration exits 0 with its six
# steps and both pictures, the host suite passes registering every test that
# a fresh configure of the same tree registers, and no borrowed tool's unit
# is enabled and no process is left behind. Downloaded .deb files are kept
# between runs; nothing installed is.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

# Whatever systemd and man-db enable when installed is on every machine
# that has them; anything else enabled came with a borrowed tool.
allowed_unit_owners="systemd man-db"

# in_chroot ROOT COMMAND: COMMAND in the clone, with the environment a root
# login gives.
in_chroot() {
	chroot "$1" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
		/bin/bash -c "cd /root/tavrin && $2"
}

# enabled_units ROOT: the unit files linked into a .wants or .requires folder.
enabled_units() {
	find "$1/etc/systemd" \( -path '*.wants/*' -o -path '*.requires/*' \) -type l \
		-exec readlink {} + 2>/dev/null | sed 's|.*/||' | sort -u
}

# The customize hook: mmdebstrap has mounted /proc, /sys and /dev in ROOT.
inside() {
	local root=$1 log=$2 status=0 unit owner
	git clone -q "$PWD" "$root/root/tavrin"
	in_chroot "$root" 'dpkg-query -W -f="\${Package}\n"' >"$log/minbase-packages.txt"
	enabled_units "$root" >"$log/minbase-units.txt"

	in_chroot "$root" scripts/run.sh 2>&1 | tee "$log/run.txt" || status=$?
	in_chroot "$root" 'dpkg-query -W -f="\${Package}\n"' |
		comm -13 "$log/minbase-packages.txt" - >"$log/run-installed.txt"
	echo "test-chroot: scripts/run.sh exit $status; it installed $(wc -l <"$log/run-installed.txt")" \
		"packages: $(tr '\n' ' ' <"$log/run-installed.txt")"
	[ "$status" -eq 0 ] || return 1
	for step in 1 2 3 4 5 6; do
		grep -q " step $step: " "$log/run.txt" || { echo "test-chroot: no step $step in the demo" >&2; return 1; }
	done
	for picture in before after; do
		file=$root/root/tavrin/build/demo/framebuffer-$picture.png
		[ "$(head -c 8 "$file" | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a ] ||
			{ echo "test-chroot: no PNG at ${file#"$root"}" >&2; return 1; }
	done

	in_chroot "$root" scripts/test-host.sh >"$log/test-host.txt" 2>&1 ||
		{ tail -n 40 "$log/test-host.txt" >&2; echo "test-chroot: scripts/test-host.sh failed" >&2; return 1; }
	grep -E '^installing:|^borrowing:|tests passed' "$log/test-host.txt"

	# A cache left from an earlier configure must not hide a test that a
	# fresh one registers; the gtest cases are counted where they are built.
	in_chroot "$root" '. scripts/lib.sh && need_test_tools &&
		cmake --preset host -DTAVRIN_BUILD_TESTS=ON -B /tmp/fresh >/dev/null &&
		ctest --test-dir /tmp/fresh -N | sed -n "s/^ *Test *#[0-9]*: //p" | grep -v _NOT_BUILT$ | sort' \
		>"$log/fresh-tests.txt"
	in_chroot "$root" 'ctest --test-dir build/host -N | sed -n "s/^ *Test *#[0-9]*: //p" | sort' \
		>"$log/suite-tests.txt"
	if [ -n "$(comm -23 "$log/fresh-tests.txt" "$log/suite-tests.txt")" ]; then
		echo "test-chroot: the suite lacks tests that a fresh configure registers:" \
			"$(comm -23 "$log/fresh-tests.txt" "$log/suite-tests.txt" | tr '\n' ' ')" >&2
		return 1
	fi
	echo "test-chroot: the suite's tree registers $(wc -l <"$log/suite-tests.txt") tests, the soak" \
		"among them, and every one of the $(wc -l <"$log/fresh-tests.txt") a fresh configure registers" \
		"before its gtest cases are listed"

	for unit in $(enabled_units "$root" | comm -13 "$log/minbase-units.txt" -); do
		owner=$(in_chroot "$root" "dpkg -S '*/systemd/*/$unit'" 2>/dev/null | cut -d: -f1 | head -n 1)
		case " $allowed_unit_owners " in *" $owner "*) ;; *)
			echo "test-chroot: $unit (${owner:-no package}) is enabled after the tests" >&2
			status=1
			;;
		esac
	done
	for proc in /proc/[0-9]*; do
		[ "$(readlink "$proc/root" 2>/dev/null)" != "$root" ] ||
			{ echo "test-chroot: left running: $(tr '\0' ' ' <"$proc/cmdline")" >&2; status=1; }
	done
	echo "test-chroot: enabled by the quick start: $(enabled_units "$root" |
		comm -13 "$log/minbase-units.txt" - | tr '\n' ' ')"
	return "$status"
}

if [ "${1:-}" = --inside ]; then
	inside "$2" "$3"
	exit
fi

if ! git diff --quiet HEAD --; then
	echo "test-chroot: the chroot gets a clone of HEAD, and the tree differs from it" >&2
	exit 1
fi
need_packages mmdebstrap git
log=$PWD/build/chroot
debcache=${XDG_CACHE_HOME:-$HOME/.cache}/tavrin-chroot/debs
rm -rf "$log"
mkdir -p "$log" "$debcache"
# shellcheck disable=SC2016
mmdebstrap --quiet --variant=minbase --include=git \
	--setup-hook='mkdir -p "$1"/var/cache/apt/archives' \
	--setup-hook="sync-in '$debcache' /var/cache/apt/archives/" \
	--customize-hook="'$PWD/scripts/test-chroot.sh' --inside \"\$1\" '$log'" \
	--customize-hook="sync-out /var/cache/apt/archives '$debcache'" \
	bookworm /dev/null
echo "test-chroot: passed in $SECONDS s"
