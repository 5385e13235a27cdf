#!/bin/sh
# Installs a firmware archive uploaded through the web page:
#
#   preupgrade.sh FILE
#
# FILE must be a gzip'd tar of the runtime tree (program, bin/, wwwroot/);
# it is unpacked over the tree and takes effect at the next reboot, which
# the installer starts from the page. Off the board the archive is checked
# but not installed.

. "$(dirname "$0")/common.sh"

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "$me: usage: $me FILE (an existing upgrade archive)" >&2
    exit 2
fi
check_archive "$1" || exit 1
if ! on_board; then
    skip_off_board "install $1"
    exit 0
fi
install_archive "$1" || {
    echo "$me: unpacking $1 failed" >&2
    exit 1
}
sync
echo "$me: installed $1, active after the next reboot"
