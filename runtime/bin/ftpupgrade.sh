#!/bin/sh
# Remote upgrade requested by the monitoring server:
#
#   ftpupgrade.sh F SERVER PORT FILE USER PASSWORD PATH LOCALNAME
#
# Fetches PATH/FILE from the FTP server into LOCALNAME under ZANTOR_TMPDIR
# (default /tmp), checks it is an upgrade archive, installs it over the
# runtime tree and reboots the board shortly after, as nobody is on site to
# do it. A PATH starting with "/" is absolute on the server, otherwise it is
# relative to the user's login directory. Off the board the archive is
# fetched and checked but neither installed nor followed by a reboot.
# Exit status: 0 installed (or checked, off the board); 1 fetch or check
# failed; 2 bad arguments.

. "$(dirname "$0")/common.sh"

usage() {
    echo "$me: $1" >&2
    echo "usage: $me F SERVER PORT FILE USER PASSWORD PATH LOCALNAME" >&2
    exit 2
}

[ $# -eq 8 ] || usage "8 arguments expected, got $#"
[ "$1" = F ] || usage "unknown mode '$1'"
server=$2 port=$3 file=$4 user=$5 password=$6 path=$7 local=$8
# The values come from the server's reply: keep them to what a host name, a
# port and a file path can hold, so none can reshape the URL.
case $server in
'' | -* | *[!A-Za-z0-9.:-]*) usage "bad server '$server'" ;;
esac
case $port in
'' | *[!0-9]*) usage "bad port '$port'" ;;
esac
[ "$port" -ge 1 ] && [ "$port" -le 65535 ] || usage "bad port '$port'"
case $file in
'' | . | .. | *[!A-Za-z0-9._+~-]*) usage "bad file name '$file'" ;;
esac
case $path in
*[!A-Za-z0-9._+~/-]* | *..*) usage "bad path '$path'" ;;
esac
case $local in
'' | . | .. | */*) usage "bad local name '$local'" ;;
esac

dir=${path#/}
dir=${dir%/}
case $path in
/*) dir=%2F$dir ;; # an explicit root on the server, not the login directory
esac
url="ftp://$server:$port/${dir:+$dir/}$file"
target=$tmpdir/$local

rm -f "$target"
part=$(mktemp "$tmpdir/upgrade.XXXXXX") || exit 1
trap 'rm -f "$part"' EXIT
if ! curl -q --silent --show-error --proto =ftp --connect-timeout 30 --max-time 900 \
    --user "$user:$password" --output "$part" --url "$url"; then
    echo "$me: fetching $url failed" >&2
    exit 1
fi
check_archive "$part" || exit 1
mv -f "$part" "$target"

if ! on_board; then
    skip_off_board "install $target and reboot"
    exit 0
fi
install_archive "$target" || {
    echo "$me: unpacking $target failed" >&2
    exit 1
}
sync
echo "$me: installed $file from $server, rebooting shortly"
# In the background so that the daemon still logs this result first.
(sleep 10 && "$bindir/reboot.sh") >/dev/null 2>&1 &
exit 0
