# Shared by the scripts in this directory (sourced, never run on its own).
# They run on the board's shell: POSIX sh only.

bindir=$(cd "$(dirname "$0")" && pwd)
rootdir=$(dirname "$bindir")
me=$(basename "$0")
# The daemon's scratch files live in /tmp on the board; tests move them.
tmpdir=${ZANTOR_TMPDIR:-/tmp}

# True only on the board itself. A PC never qualifies, nor does a simulated
# board (ZANTOR_SYSROOT), so nothing here can reboot or retime a PC.
on_board() {
    [ -z "${ZANTOR_SYSROOT:-}" ] &&
        grep -q '^DEL_PLATFORM=cme9210js\([[:space:]]\|$\)' /etc/version 2>/dev/null
}

# Says what the board would have done; a simulated board keeps a log of it
# so tests can see the request.
skip_off_board() {
    echo "$me: not the board, skipped: $*"
    if [ -n "${ZANTOR_SYSROOT:-}" ] && [ -d "$ZANTOR_SYSROOT" ]; then
        echo "$me: $*" >>"$ZANTOR_SYSROOT/board-actions.log"
    fi
    return 0
}

# An upgrade archive is a gzip'd tar of plain files and directories that
# stay inside the runtime tree and leave the plant's settings and data alone.
check_archive() {
    names=$(tar -tzf "$1" 2>/dev/null) && [ -n "$names" ] || {
        echo "$me: $1 is not a gzip'd tar archive" >&2
        return 1
    }
    # Links could point an extracted file anywhere; devices have no place here.
    if tar -tvzf "$1" 2>/dev/null | grep -q -e '^[^d-]' -e ' link to '; then
        echo "$me: $1 holds links or special files" >&2
        return 1
    fi
    bad=$(printf '%s\n' "$names" | while IFS= read -r m; do
        m=${m#./}
        [ -n "$m" ] || continue
        case "/$m/" in
        //*|*/../*|/config/*|/data/*) printf '%s\n' "$m" ;;
        esac
    done)
    if [ -n "$bad" ]; then
        echo "$me: $1 would leave the runtime tree or touch config/ or data/:" $bad >&2
        return 1
    fi
}

install_archive() {
    tar -xzf "$1" -C "$rootdir"
}
