#!/bin/sh
# Makes the NTP daemon resynchronise the system clock now: restarting it
# with the server from config/ntpd.conf makes it step the clock at once,
# however far off it is. The caller ignores the exit status.

. "$(dirname "$0")/common.sh"

conf=$rootdir/config/ntpd.conf
server=$(sed -n 's/^server[[:space:]]\{1,\}\([^[:space:]]\{1,\}\).*/\1/p' "$conf" 2>/dev/null | head -n 1)
if [ -z "$server" ]; then
    echo "$me: no NTP server in $conf" >&2
    exit 1
fi
if ! on_board; then
    skip_off_board "restart ntpd with server $server"
    exit 0
fi

pidfile=/var/run/ntpd.pid
if [ -s "$pidfile" ]; then
    kill "$(cat "$pidfile")" 2>/dev/null
else
    killall ntpd 2>/dev/null
fi
sleep 1
if ntpd --help 2>&1 | grep -q BusyBox; then
    exec ntpd -p "$server"
else
    # -g: accept any first offset, the clock may be years off after a power cut.
    exec ntpd -g -c "$conf" -p "$pidfile"
fi
