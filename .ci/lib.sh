# Shell functions the CI scripts (and bench/run) share; source it from the
# top of the tree, in bash. It brings in start_fake_modem as well.
. scripts/fake-modem.sh

# Packages: each script lists in the array need what this machine lacks,
# then calls install_needed, which installs them with apt-get (as root) or
# says why it cannot. A package of another architecture is named
# PACKAGE:ARCH (musl-dev:armhf); its architecture is added to dpkg's first.
need=()
need_sources=0
need_command() {	# COMMAND PACKAGE
	command -v "$1" >/dev/null || need+=("$2")
}
need_file() {	# FILE PACKAGE
	[ -e "$1" ] || need+=("$2")
}
# Source packages, for apt-get source: dpkg-dev and an entry of type deb-src
# beside each Debian one.
need_source() {	# PACKAGE
	need_command dpkg-source dpkg-dev
	apt-get source -qq --print-uris "$1" >/dev/null 2>&1 || need_sources=1
}
# What building the tree and its tests takes.
need_build_tools() {
	need_command cmake cmake
	need_command g++ g++
	need_command make make
	need_file /usr/include/gtest/gtest.h libgtest-dev
	need_file /usr/include/nlohmann/json.hpp nlohmann-json3-dev
	need_command python3 python3
	# The tests of the ModemManager side: a private bus, a standard
	# client on it, and ModemManager's interface files.
	need_command dbus-daemon dbus-daemon
	need_command busctl systemd
	need_file /usr/share/dbus-1/interfaces/org.freedesktop.ModemManager1.Modem.Modem3gpp.Ussd.xml modemmanager-dev
}
install_needed() {	# LABEL
	((${#need[@]} || need_sources)) || return 0
	need=($(printf '%s\n' "${need[@]}" | sort -u))
	if [ "$(id -u)" != 0 ]; then
		echo "$1: missing ${need[*]}$( ((need_sources)) && echo " deb-src entries");" \
		    "installing them needs root" >&2
		return 1
	fi
	local package arch
	for package in "${need[@]}"; do
		[[ $package == *:* ]] || continue
		arch=${package#*:}
		if [ "$arch" != "$(dpkg --print-architecture)" ] &&
		    ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
			echo "$1: adding the architecture $arch"
			dpkg --add-architecture "$arch"
		fi
	done
	if ((need_sources)); then
		add_deb_src "$1" || return 1
	fi
	echo "$1: installing ${need[*]:-nothing, updating the package lists}"
	DEBIAN_FRONTEND=noninteractive apt-get update -qq
	if ((${#need[@]})); then
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
	fi
	need=()
	need_sources=0
}
# Writes a deb-src twin of each Debian entry in the machine's sources, in
# either format, to a file of its own.
add_deb_src() {	# LABEL
	local list=/etc/apt/sources.list.d/ussdq-deb-src
	if [ -f /etc/apt/sources.list.d/debian.sources ]; then
		sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$list.sources"
	elif grep -qs '^deb .*debian' /etc/apt/sources.list; then
		sed -n 's/^deb \(.*debian.*\)/deb-src \1/p' /etc/apt/sources.list >"$list.list"
	else
		echo "$1: FAILED: no Debian entry in the apt sources to add deb-src beside" >&2
		return 1
	fi
	echo "$1: added deb-src entries in $list.*"
}

# A scratch directory, tmp, removed when the script ends, together with the
# fake modem whose process id is in modem and whatever the functions named
# in at_exit undo.
at_exit=()
make_tmp() {
	tmp=$(mktemp -d)
	modem=
	trap clean_up EXIT
}
clean_up() {
	local undo
	stop_modem
	for undo in "${at_exit[@]}"; do
		"$undo" || true
	done
	rm -rf "$tmp"
}
stop_modem() {
	if [ -n "${modem:-}" ]; then
		kill "$modem" 2>/dev/null || true
		wait "$modem" 2>/dev/null || true
		modem=
	fi
}

# The median of the numbers given; of an even count, the mean of the middle
# two.
median() {
	printf '%s\n' "$@" | sort -n | awk '{ t[NR] = $1 }
	    END { print (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2 }'
}

# The shared libraries an ELF file of any machine needs, each followed by a
# space: "libc.so.6 " for the glibc builds, "" for a static one.
needed_libs() {	# FILE
	readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' '
}
