# Shared by the project's scripts: sourced, not run.

# The package lists are refreshed once a run, and only when something is
# missing, so a machine that has everything needs no network.
apt_update_once() {
	[ -z "${TAVRIN_APT_UPDATED:-}" ] || return 0
	$(sudo_unless_root) apt-get update -qq
	export TAVRIN_APT_UPDATED=1
}
sudo_unless_root() { [ "$(id -u)" -eq 0 ] || echo sudo; }

installed() {
	dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# release_has PACKAGE: this release's archive has PACKAGE. Lists left by an
# earlier refresh can tell; a machine that has none, as a fresh one, is
# refreshed first.
release_has() {
	installed "$1" && return 0
	compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null || apt_update_once
	apt-cache show --no-all-versions "$1" >/dev/null 2>&1
}

# Installs the Debian packages given that are not installed yet.
need_packages() {
	local missing=()
	local package
	for package in "$@"; do
		installed "$package" || missing+=("$package")
	done
	[ ${#missing[@]} -eq 0 ] && return 0
	echo "installing: ${missing[*]}"
	apt_update_once
	DEBIAN_FRONTEND=noninteractive $(sudo_unless_root) apt-get install -y -qq --no-install-recommends \
		"${missing[@]}" >/dev/null
}

# Takes the executables of Debian packages that would start a server if
# installed: the package is downloaded into a cache and unpacked into
# build/tools, whose bin/ goes first on PATH. Nothing is installed, so no
# unit is enabled and nothing starts, with or without systemd.
borrow_packages() {
	local cache=${XDG_CACHE_HOME:-$HOME/.cache}/tavrin-tools
	local root=$PWD/build/tools
	local package deb
	mkdir -p "$cache" "$root"
	for package in "$@"; do
		deb=$(compgen -G "$cache/${package}_*.deb" | sort -V | tail -n 1) || true
		if [ -z "$deb" ]; then
			echo "borrowing: $package"
			apt_update_once
			(cd "$cache" && apt-get download -qq -o APT::Sandbox::User=root "$package")
			deb=$(compgen -G "$cache/${package}_*.deb" | sort -V | tail -n 1)
		fi
		[ -e "$root/.${deb##*/}" ] || { dpkg-deb -x "$deb" "$root" && : >"$root/.${deb##*/}"; }
	done
	export PATH=$root/usr/bin:$PATH
}

# All that building tavrin takes; a cross build adds its cross compiler.
build_packages=(cmake make g++)
need_build_tools() {
	need_packages "${build_packages[@]}"
}

# What the tests add on the host. The package checks build the host's own
# package, whose C library dependency dpkg-shlibdeps (dpkg-dev, with file)
# computes, and verify its units (systemd-analyze, man). The check's forms are read by their consumers'
# tools: nlohmann-json for the JSON, promtool for the exposition and the
# alerting rules, and the real node exporter, scraped with curl.
test_packages=(googletest dpkg-dev file systemd man-db nlohmann-json3-dev curl)

# promtool is installed where the release has it as a package of its own,
# which starts nothing; where it comes only inside prometheus, the server,
# it is borrowed from there. The node exporter is a server in every release,
# and so is Alertmanager, whose amtool checks the example route.
choose_test_tools() {
	installed_tools=(promtool)
	borrowed_tools=(prometheus-node-exporter prometheus-alertmanager)
	release_has promtool || { installed_tools=() && borrowed_tools+=(prometheus); }
}
need_test_tools() {
	choose_test_tools
	need_packages "${build_packages[@]}" "${test_packages[@]}" "${installed_tools[@]}"
	borrow_packages "${borrowed_tools[@]}"
}

# The armhf cross compiler, and the user-mode emulator its tests run under.
armhf_packages=(g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf qemu-user-static)
need_armhf_toolchain() {
	need_test_tools
	need_packages "${armhf_packages[@]}"
}

# The arm64 cross compiler, and the same emulator package's qemu-aarch64.
arm64_packages=(g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user-static)
need_arm64_toolchain() {
	need_test_tools
	need_packages "${arm64_packages[@]}"
}

# What tests/e2e/run-e2e.sh builds and boots the emulated panels with;
# qemu-system-arm holds qemu-system-aarch64 too.
e2e_host_packages=(qemu-system-arm qemu-user-static arch-test mmdebstrap qemu-utils e2fsprogs python3
	device-tree-compiler)

# CI's compiler cache, for the trees that the tests build: a clean clone,
# wherever it lies, compiles the same sources as the last one, so it mostly
# links. The base directory makes ccache hand the compiler paths relative to
# the build tree, which the build maps as it maps the absolute ones: the
# objects are those of a build without the cache, as the reproducibility
# check, whose trees are built without it, compares. CMake reads the
# launcher when it first configures a tree.
compiler_cache_packages=(ccache)
use_compiler_cache() {
	need_packages "${compiler_cache_packages[@]}"
	export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$PWD
}

# Sanitizers, memory checker and static analysers of the hardening checks.
# clang only recommends its runtime; libclang-rt-dev is the one that matches
# the release's default clang.
hardening_packages=(clang libclang-rt-dev clang-tidy cppcheck valgrind)
need_hardening_tools() {
	need_test_tools
	need_packages "${hardening_packages[@]}"
}

# Everything that scripts/test-all.sh uses, in one apt-get run, so that no
# two runs meet later.
install_everything() {
	choose_test_tools
	need_packages "${build_packages[@]}" "${test_packages[@]}" "${installed_tools[@]}" \
		"${armhf_packages[@]}" "${arm64_packages[@]}" "${hardening_packages[@]}" \
		"${e2e_host_packages[@]}" "${compiler_cache_packages[@]}" lintian devscripts git diffoscope-minimal
	borrow_packages "${borrowed_tools[@]}"
}

# phase NAME COMMAND...: runs COMMAND, and when TAVRIN_PHASES names a file,
# records there its name, start, end, exit status and CPU time, for the
# phase table. A phase started in the background records itself when it
# ends. COMMAND runs in a subshell, so that the CPU time is its own
# processes', not also that of background jobs which this shell reaps
# meanwhile: the kernel counts a process's time towards its parent when the
# parent waits for it, and a process that outlives its parent is not counted.
phase() {
	local name=$1
	shift
	(
		start=$(date +%s) status=0
		"$@" || status=$?
		if [ -n "${TAVRIN_PHASES:-}" ]; then
			# Read with a builtin: a command substitution would be a child of its own.
			read -r stat <"/proc/$BASHPID/stat"
			set -- ${stat##*) }
			printf '%s\t%s\t%s\t%s\t%s\n' "$name" "$start" "$(date +%s)" "$status" "$((${14} + ${15}))" \
				>>"$TAVRIN_PHASES"
		fi
		exit "$status"
	)
}

# print_phases FILE: one line per phase, its wall and CPU time, and the
# phases it ran beside; then the whole run's wall time and the phases' CPU.
print_phases() {
	sort -t "$(printf '\t')" -k 2,2n "$1" | awk -F '\t' -v hz="$(getconf CLK_TCK)" '
		{ n++; name[n] = $1; start[n] = $2; end[n] = $3; failed[n] = $4 != 0; cpu[n] = $5 / hz }
		END {
			first = start[1]; last = end[1]
			for (i = 1; i <= n; i++) {
				if (start[i] < first) first = start[i]
				if (end[i] > last) last = end[i]
				all += cpu[i]
			}
			print "phase                          wall (s)  from (s)  CPU (s)  beside"
			for (i = 1; i <= n; i++) {
				beside = ""
				for (j = 1; j <= n; j++)
					if (j != i && start[j] < end[i] && start[i] < end[j])
						beside = beside (beside == "" ? "" : ", ") name[j]
				printf "%-30s %8d  %8d  %7.0f  %s%s\n", name[i], end[i] - start[i], start[i] - first,
					cpu[i], failed[i] ? "FAILED " : "", beside
			}
			printf "%-30s %8d  %8s  %7.0f\n", "total", last - first, "", all
		}'
}
