# Shared by the project's scripts: sourced, not run.

# Installs the Debian packages given that are not installed yet. The package
# lists are refreshed once, and only when something is missing, so a machine
# that has everything needs no network.
need_packages() {
	local missing=()
	local package
	for package in "$@"; do
		dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
			missing+=("$package")
	done
	[ ${#missing[@]} -eq 0 ] && return 0
	local sudo=
	[ "$(id -u)" -eq 0 ] || sudo=sudo
	echo "installing: ${missing[*]}"
	if [ -z "${TAVRIN_APT_UPDATED:-}" ]; then
		$sudo apt-get update -qq
		export TAVRIN_APT_UPDATED=1
	fi
	DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
		"${missing[@]}" >/dev/null
}

# Host build and test tools. The package checks among the tests build the
# .deb (dpkg-dev, file), place its unit (pkg-config, systemd) and verify it
# (systemd-analyze, man). The check's forms are read by their consumers'
# tools: nlohmann-json for the JSON, promtool for the exposition and the
# alerting rules, and the real node exporter, scraped with curl. Debian ships
# promtool only in prometheus, which also enables the server's service (it
# starts where systemd runs; in a container without it, nothing starts).
need_host_toolchain() {
	need_packages cmake make g++ binutils googletest dpkg-dev file pkg-config systemd man-db \
		nlohmann-json3-dev prometheus prometheus-node-exporter curl
}

# The armhf cross compiler, and the user-mode emulator its tests run under.
need_armhf_toolchain() {
	need_host_toolchain
	need_packages g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf qemu-user-static
}

# The arm64 cross compiler, and the same emulator package's qemu-aarch64.
need_arm64_toolchain() {
	need_host_toolchain
	need_packages g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user-static
}

# Sanitizers, memory checker and static analysers of the hardening checks.
need_hardening_tools() {
	need_host_toolchain
	need_packages clang libclang-rt-14-dev clang-tidy cppcheck valgrind
}
