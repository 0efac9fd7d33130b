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
	need_command mandoc mandoc
	# The tests of the ModemManager side: a private bus, a standard
	# client on it, and ModemManager's interface files.
	need_command dbus-daemon dbus-daemon
	need_command busctl systemd
	need_file /usr/share/dbus-1/interfaces/org.freedesktop.ModemManager1.Modem.Modem3gpp.Ussd.xml modemmanager-dev
	# Standard QMI and MBIM clients, which must agree with the fake's
	# devices.
	need_command qmicli libqmi-utils
	need_command mbimcli libmbim-utils
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
	update_package_lists "$1"
	if ((${#need[@]})) &&
	    ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null; then
		echo "$1: FAILED: apt-get could not install ${need[*]}" >&2
		return 1
	fi
	need=()
	need_sources=0
}
# A mirror in the middle of a sync fails apt-get update for one of its
# indexes ("File has unexpected size ... Mirror sync in progress?") while
# the others are fetched: the update is tried a few times, a minute and a
# half in all, and then the install goes on with whatever the lists now
# reach. Only an install that fails is a failure.
update_package_lists() {	# LABEL
	local try
	for try in 1 2 3 4; do
		DEBIAN_FRONTEND=noninteractive apt-get update -qq && return 0
		if ((try == 4)); then
			echo "$1: WARNING: apt-get update failed $try times; installing from the lists it fetched" >&2
			return 0
		fi
		echo "$1: apt-get update failed; trying again in $((try * 15)) s" >&2
		sleep $((try * 15))
	done
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

# A heading for each step of a script, with the time taken so far.
step() {
	echo "== ${0##*/}: $* ($SECONDS s so far)"
}

# Runs FUNCTION ITEM for each item, two at a time, since each keeps one core
# busy or mostly waits; then REPORT ITEM STATUS for each in order. The
# items whose FUNCTION failed are left in the array failed.
two_at_a_time() {	# FUNCTION REPORT ITEM...
	local run=$1 report=$2 i j status
	shift 2
	local items=("$@") pair pids
	failed=()
	for ((i = 0; i < ${#items[@]}; i += 2)); do
		pair=("${items[@]:i:2}")
		pids=()
		for j in "${pair[@]}"; do
			"$run" "$j" &
			pids+=($!)
		done
		for j in "${!pair[@]}"; do
			status=0
			wait "${pids[$j]}" || status=$?
			"$report" "${pair[$j]}" "$status"
			((status == 0)) || failed+=("${pair[$j]}")
		done
	done
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
