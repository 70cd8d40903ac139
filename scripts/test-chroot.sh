#!/bin/bash
# The quick start where nothing is installed, as Debian's sbuild proves a
# package's build dependencies: in a fresh minbase chroot of each Debian
# release given, holding git and a clone of HEAD, scripts/run.sh and then
# scripts/test-host.sh run as root, unchanged. It fails unless the
# demonstration exits 0 with its six steps and both pictures, the host suite
# passes registering every test that a fresh configure of the same tree
# registers, and no borrowed tool's unit is enabled and no process is left
# behind. Downloaded .deb files are kept between runs; nothing installed is.
#
# A release that this machine does not run gets, in the same chroot, what
# of scripts/test-all.sh rests on the release's own tools: its installs,
# the armhf and arm64 packages, lintian, the static analysers and the clang
# builds. This machine's own run of scripts/test-all.sh proves the rest.
#
#   scripts/test-chroot.sh [RELEASE...]    bookworm and trixie when none given
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

# Whatever systemd and man-db enable when installed is on every machine
# that has them; anything else enabled came with a borrowed tool.
allowed_unit_owners="systemd man-db"

# Where each release has promtool, as Debian packaged it: the error of a
# configure without it must name the package that release installs.
declare -A promtool_package=([bookworm]=prometheus [trixie]=promtool)

# in_chroot ROOT COMMAND: COMMAND in the clone, with the environment a root
# login gives.
in_chroot() {
	chroot "$1" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
		/bin/bash -c "cd /root/tavrin && $2"
}

# in_chroot_logged ROOT LOG NAME COMMAND: COMMAND's output goes to
# LOG/NAME.txt, and its end is shown should it fail.
in_chroot_logged() {
	local start=$SECONDS
	if in_chroot "$1" "$4" >"$2/$3.txt" 2>&1; then
		echo "test-chroot: $3 passed in $((SECONDS - start)) s"
		return 0
	fi
	tail -n 40 "$2/$3.txt" >&2
	echo "test-chroot: $3 failed after $((SECONDS - start)) s" >&2
	return 1
}

# enabled_units ROOT: the unit files linked into a .wants or .requires folder.
enabled_units() {
	find "$1/etc/systemd" \( -path '*.wants/*' -o -path '*.requires/*' \) -type l \
		-exec readlink {} + 2>/dev/null | sed 's|.*/||' | sort -u
}

# run_demo ROOT LOG: scripts/run.sh exits 0, shows all six steps and leaves
# both pictures.
run_demo() {
	local root=$1 log=$2 status=0 step picture file
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
}

# name_missing_tool ROOT LOG RELEASE: before the test tools are there, a
# configure for the tests stops and names the package this release
# installs promtool from.
name_missing_tool() {
	local expected="promtool, from the Debian package ${promtool_package[$3]:?no promtool package known for $3}"
	in_chroot "$1" 'cmake --preset host -DTAVRIN_BUILD_TESTS=ON -B /tmp/untooled' >"$2/untooled.txt" 2>&1 &&
		{ echo "test-chroot: a configure without the test tools passed" >&2; return 1; }
	grep -q "$expected\$" "$2/untooled.txt" ||
		{ cat "$2/untooled.txt" >&2; echo "test-chroot: the error does not name $expected" >&2; return 1; }
	echo "test-chroot: a configure before the test tools are installed needs $expected"
}

# run_host_suite ROOT LOG: scripts/test-host.sh passes, and its tree
# registers every test that a fresh configure registers.
run_host_suite() {
	local root=$1 log=$2
	in_chroot_logged "$root" "$log" test-host scripts/test-host.sh || return 1
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
}

# no_unit_enabled ROOT LOG: only systemd's and man-db's units were enabled
# since minbase.
no_unit_enabled() {
	local root=$1 log=$2 status=0 unit owner
	for unit in $(enabled_units "$root" | comm -13 "$log/minbase-units.txt" -); do
		owner=$(in_chroot "$root" "dpkg -S '*/systemd/*/$unit'" 2>/dev/null | cut -d: -f1 | head -n 1)
		case " $allowed_unit_owners " in *" $owner "*) ;; *)
			echo "test-chroot: $unit (${owner:-no package}) is enabled after the tests" >&2
			status=1
			;;
		esac
	done
	echo "test-chroot: enabled by the quick start: $(enabled_units "$root" |
		comm -13 "$log/minbase-units.txt" - | tr '\n' ' ')"
	return "$status"
}

# prove_release_tools ROOT LOG: test-all's installs, then the builds and
# checks whose verdict is the release's compilers' and checkers' own. The
# fuzzers are built and run one second each: their long runs, valgrind, the
# soak, the reproducibility rebuilds and the boots are left to this
# machine's own run, as none of them proves more for another release's tools.
# These compiles go through ccache, kept between runs as CI's are; the quick
# start's were a person's.
prove_release_tools() {
	local root=$1 log=$2 preset cached='. scripts/lib.sh && use_compiler_cache'
	in_chroot_logged "$root" "$log" installs '. scripts/lib.sh && install_everything' || return 1
	for preset in armhf arm64; do
		in_chroot_logged "$root" "$log" "$preset" "$cached && need_${preset}_toolchain &&
			cmake --preset $preset -DTAVRIN_BUILD_TESTS=ON && cmake --build --preset $preset --target all package" ||
			return 1
	done
	in_chroot_logged "$root" "$log" lintian "lintian --version && lintian --fail-on error \
		build/{host,armhf,arm64}/tavrin{,-dbgsym}_*.*deb" || return 1
	sed 's/^/test-chroot: /' "$log/lintian.txt"
	in_chroot_logged "$root" "$log" hardening \
		"$cached && TAVRIN_FUZZ_SECONDS=1 scripts/test-hardening.sh cppcheck clang-tidy asan fuzz" || return 1
	grep -E '^== |tests passed' "$log/hardening.txt"
}

host_release() {
	# shellcheck source=/dev/null
	(. /etc/os-release && echo "$VERSION_CODENAME")
}

# The customize hook: mmdebstrap has mounted /proc, /sys and /dev in ROOT.
inside() {
	local root=$1 log=$2 release=$3 status=0 proc
	git clone -q "$PWD" "$root/root/tavrin"
	in_chroot "$root" 'dpkg-query -W -f="\${Package}\n"' >"$log/minbase-packages.txt"
	enabled_units "$root" >"$log/minbase-units.txt"

	run_demo "$root" "$log" && name_missing_tool "$root" "$log" "$release" &&
		run_host_suite "$root" "$log" && no_unit_enabled "$root" "$log" || status=1
	if [ "$status" -eq 0 ] && [ "$release" != "$(host_release)" ]; then
		prove_release_tools "$root" "$log" || status=1
	fi
	for proc in /proc/[0-9]*; do
		[ "$(readlink "$proc/root" 2>/dev/null)" != "$root" ] ||
			{ echo "test-chroot: left running: $(tr '\0' ' ' <"$proc/cmdline")" >&2; status=1; }
	done
	return "$status"
}

if [ "${1:-}" = --inside ]; then
	inside "$2" "$3" "$4"
	exit
fi

if ! git diff --quiet HEAD --; then
	echo "test-chroot: the chroot gets a clone of HEAD, and the tree differs from it" >&2
	exit 1
fi
need_packages mmdebstrap git
[ $# -gt 0 ] || set -- bookworm trixie
for release in "$@"; do
	log=$PWD/build/chroot/$release
	cache=${XDG_CACHE_HOME:-$HOME/.cache}/tavrin-chroot/$release
	rm -rf "$log"
	mkdir -p "$log" "$cache/debs" "$cache/ccache"
	start=$SECONDS
	# shellcheck disable=SC2016
	mmdebstrap --quiet --variant=minbase --include=git \
		--setup-hook='mkdir -p "$1"/var/cache/apt/archives' \
		--setup-hook="sync-in '$cache/debs' /var/cache/apt/archives/" \
		--customize-hook='mkdir -p "$1"/root/.cache/ccache' \
		--customize-hook="sync-in '$cache/ccache' /root/.cache/ccache/" \
		--customize-hook="'$PWD/scripts/test-chroot.sh' --inside \"\$1\" '$log' '$release'" \
		--customize-hook="sync-out /var/cache/apt/archives '$cache/debs'" \
		--customize-hook="sync-out /root/.cache/ccache '$cache/ccache'" \
		"$release" /dev/null
	echo "test-chroot: $release passed in $((SECONDS - start)) s"
done
