#!/bin/sh
# Reboots the board, after flushing the flash disk. Anywhere else it only
# reports the request, so a test or a demo on a PC can never reboot the PC.

. "$(dirname "$0")/common.sh"

if ! on_board; then
    skip_off_board "reboot"
    exit 0
fi
sync
exec reboot
