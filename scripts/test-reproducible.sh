#!/bin/bash
# The armhf packages are the same bytes however they are rebuilt. Those the
# armhf suite built in build/armhf are compared with a package-only build of a
# clone of HEAD at a greater depth, made later under another umask, TZ,
# locale, HOME and job count, and with one of the release tarball where there
# is no git; SOURCE_DATE_EPOCH is unset in both. The clone's release tarball
# must be the same bytes too. diffoscope shows what differs, without the
# disassembly that the host's objdump cannot give for ARM. The scratch trees
# are left in build/reproducible.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_armhf_toolchain
need_packages git diffoscope-minimal

reference=build/armhf
scratch=$PWD/build/reproducible

# Both rebuilds are of HEAD: the reference must be too.
if ! git diff --quiet HEAD --; then
	echo "test-reproducible: the tree differs from HEAD; commit or stash first" >&2
	exit 1
fi
compgen -G "$reference/tavrin_*_armhf.deb" >/dev/null || {
	echo "test-reproducible: no armhf package in $reference; run scripts/test-armhf.sh first" >&2
	exit 1
}

# build_packages SOURCE_DIR UMASK TZ LOCALE JOBS
build_packages() {
	(
		cd "$1"
		umask "$2"
		mkdir -p "$scratch/home-$2"
		export HOME=$scratch/home-$2 TZ=$3 LC_ALL=$4
		unset SOURCE_DATE_EPOCH
		cmake --preset armhf -DTAVRIN_BUILD_TESTS=OFF -DTAVRIN_BUILD_BENCHMARKS=OFF >/dev/null
		cmake --build --preset armhf --target package --parallel "$5" >/dev/null
	)
}

status=0
# compare WHAT REFERENCE REBUILT
compare() {
	if cmp -s "$2" "$3"; then
		echo "same: $1 ${2##*/} $(sha256sum <"$2" | cut -c1-64)"
	else
		echo "DIFFERENT: $1 ${2##*/}"
		diffoscope --text - --exclude-command "^objdump " "$2" "$3" || true
		status=1
	fi
}

# compare_packages WHAT TREE: the packages in TREE against the reference's.
compare_packages() {
	local file
	for file in "$reference"/tavrin_*_armhf.deb "$reference"/tavrin-dbgsym_*_armhf.ddeb; do
		compare "$1" "$file" "$2/${file##*/}"
	done
}

rm -rf "$scratch"
mkdir -p "$scratch/clone/at/a/greater/depth"
clone=$scratch/clone/at/a/greater/depth/tavrin
(umask 0002 && git clone -q "$PWD" "$clone")
build_packages "$clone" 0002 XST-14 C.UTF-8 1
compare_packages "git clone" "$clone/build/armhf"

# The release tarball, made in both checkouts.
for tree in . "$clone"; do
	(cd "$tree" && cmake --preset host >/dev/null && cmake --build --preset host --target dist >/dev/null)
done
tarball=$(echo build/host/tavrin-*.tar.gz)
compare "git clone" "$tarball" "$clone/$tarball"
mkdir -p "$scratch/tarball"
(umask 0077 && tar --no-same-permissions -xzf "$tarball" -C "$scratch/tarball")
unpacked=$(echo "$scratch"/tarball/tavrin-*)
build_packages "$unpacked" 0077 YST+11 POSIX 2
compare_packages "tarball" "$unpacked/build/armhf"

echo "test-reproducible: $SECONDS s"
exit $status
