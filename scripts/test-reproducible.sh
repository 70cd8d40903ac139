#!/bin/bash
# The packages are the same bytes however they are rebuilt. Those the host,
# armhf and arm64 suites built in build/host, build/armhf and build/arm64 are
# compared with package-only builds of the three presets: in a clone of HEAD
# at a greater depth, made later under another umask, TZ, locale, HOME and job
# count, and in the release tarball unpacked where there is no git;
# SOURCE_DATE_EPOCH is unset in both, and no compiler cache serves them. The
# clone's release tarball must be the same bytes too. diffoscope shows what
# differs, without the disassembly that the host's objdump cannot give for
# ARM. The scratch trees are left in build/reproducible.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_armhf_toolchain
need_arm64_toolchain
need_packages git diffoscope-minimal

# Each preset's tree, and the architecture its packages are built for.
presets="host:$(dpkg --print-architecture) armhf:armhf arm64:arm64"
scratch=$PWD/build/reproducible

# Both rebuilds are of HEAD: the reference must be too.
if ! git diff --quiet HEAD --; then
	echo "test-reproducible: the tree differs from HEAD; commit or stash first" >&2
	exit 1
fi
for p in $presets; do
	compgen -G "build/${p%:*}/tavrin_*_${p#*:}.deb" >/dev/null || {
		echo "test-reproducible: no ${p#*:} package in build/${p%:*}; run scripts/test-${p%:*}.sh first" >&2
		exit 1
	}
done

# build_packages SOURCE_DIR UMASK TZ LOCALE JOBS
build_packages() {
	(
		cd "$1"
		umask "$2"
		mkdir -p "$scratch/home-$2"
		export HOME=$scratch/home-$2 TZ=$3 LC_ALL=$4
		# No compiler cache hands these builds objects: they compile them all.
		unset SOURCE_DATE_EPOCH CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER
		for p in $presets; do
			cmake --preset "${p%:*}" -DTAVRIN_BUILD_TESTS=OFF -DTAVRIN_BUILD_BENCHMARKS=OFF >/dev/null
			cmake --build --preset "${p%:*}" --target package --parallel "$5" >/dev/null
		done
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

# compare_packages WHAT SOURCE_DIR: the packages built there against the suites'.
compare_packages() {
	local p file
	for p in $presets; do
		for file in "build/${p%:*}"/tavrin_*_"${p#*:}".deb "build/${p%:*}"/tavrin-dbgsym_*_"${p#*:}".ddeb; do
			compare "$1" "$file" "$2/$file"
		done
	done
}

rm -rf "$scratch"
mkdir -p "$scratch/clone/at/a/greater/depth"
clone=$scratch/clone/at/a/greater/depth/tavrin
(umask 0002 && git clone -q "$PWD" "$clone")
build_packages "$clone" 0002 XST-14 C.UTF-8 1
compare_packages "git clone" "$clone"

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
compare_packages "tarball" "$unpacked"

echo "test-reproducible: $SECONDS s"
exit $status
