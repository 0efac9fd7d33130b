# Shell function for the scripts that run the tool against the fake modem;
# source it, then: start_fake_modem PROGRAM LINK [OPTION...]
#
# Starts the fake modem PROGRAM in the background with its device linked at
# LINK and the options given, and sets modem to its process id. Returns 1,
# saying so, when the link has not appeared within five seconds or the
# modem has ended before it did.
start_fake_modem() {
	_fm_link=$2
	_fm_program=$1
	shift 2
	rm -f "$_fm_link"
	"$_fm_program" --link "$_fm_link" "$@" >/dev/null &
	modem=$!
	_fm_tries=0
	while [ ! -e "$_fm_link" ]; do
		if [ "$_fm_tries" -ge 50 ] || ! kill -0 "$modem" 2>/dev/null; then
			echo "${0##*/}: the fake modem did not start" >&2
			return 1
		fi
		sleep 0.1
		_fm_tries=$((_fm_tries + 1))
	done
}
