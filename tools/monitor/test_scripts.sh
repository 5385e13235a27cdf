#!/usr/bin/env bash
# Tests of the runtime scripts on a PC: the transfer script against the
# stand-in monitoring server, and the board scripts under a simulated board,
# where they must not touch this machine.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
T=$(mktemp -d)
monitor_pid=
cleanup() {
    [ -n "$monitor_pid" ] && kill "$monitor_pid" 2>/dev/null && wait "$monitor_pid" 2>/dev/null
    rm -rf "$T"
}
trap cleanup EXIT

# A runtime tree of our own, so the scripts find their config there.
mkdir -p "$T/run/config" "$T/tmp" "$T/board"
cp -r "$repo/runtime/bin" "$T/run/bin"
export ZANTOR_TMPDIR=$T/tmp ZANTOR_SYSROOT=$T/board
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
bin=$T/run/bin
failures=0

check() { # name, expected exit code, actual exit code
    if [ "$2" = "$3" ]; then
        echo "ok   $1"
    else
        echo "FAIL $1: exit $3, expected $2"
        failures=$((failures + 1))
    fi
}
expect() { # name, then a command that must succeed
    local name=$1
    shift
    if "$@"; then echo "ok   $name"; else
        echo "FAIL $name"
        failures=$((failures + 1))
    fi
}
free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
control() {
    curl -q -sf -o /dev/null -H 'Content-Type: application/json' --data "$1" "$url/control"
}
send() { # flags, query; extra arguments replace the usual four
    "$bin/sendjson.sh" "$url/zantor" "$1" 1 "$2" >"$T/out" 2>&1
}
last_query() {
    python3 -c 'import json,sys; print(json.loads(open(sys.argv[1]).readlines()[-1])["query"], end="")' "$T/record"
}

python3 "$here/monitor.py" --port 0 --record "$T/record" >"$T/port" 2>"$T/monitor.log" &
monitor_pid=$!
for _ in $(seq 100); do [ -s "$T/port" ] && break; sleep 0.1; done
url=http://127.0.0.1:$(head -n 1 "$T/port")
reply=$T/tmp/remote1.dat

# --- transfer script -------------------------------------------------------

sn=78563412
status='{"act":"setStatus","sn":"'$sn'","DATI":{"serialN":"7ulmi100000","nomeInstall":"NAME","version":"7ULMI-V100.100","webPort":0,"timeZone":"Europe/Rome","statoOnOff":1,"stato":0,"alrm":"","timeOutRefreshCns":4050}}'
# Text that a shell, curl or a form decoder would act on, if given the chance.
nasty='$(touch '$T'/pwned) `touch '$T'/pwned2`; & %41 + @/etc/passwd \\\" '"'"' Città'
doc=${status/NAME/"$nasty"}

echo stale >"$T/tmp/remote2.dat"
send 4 "query=[$doc]"
check "accepted documents: exit 0" 0 $?
expect "reply body left in remote1.dat" grep -Eqx '\{"utc":[0-9]+\}' "$reply"
expect "stale remote2.dat removed" test ! -e "$T/tmp/remote2.dat"
expect "query arrives unchanged" test "$(last_query)" = "[$doc]"
expect "nothing in the query was run" test ! -e "$T/pwned" -a ! -e "$T/pwned2"
expect "the monitor found the document sound" grep -q '"ok": true' "$T/record"

control '{"reject": true}'
send 4 "query=[$status]"
check "refused documents: exit 1" 1 $?
expect "only the refusal in remote1.dat" grep -qx '{"error":"documents refused"}' "$reply"

control '{"status": 500}'
send 4 "query=[$status]"
check "HTTP error: exit 1" 1 $?

control '{"hang": 30}'
ZANTOR_SEND_TIMEOUT=1 send 4 "query=[$status]"
check "hanging server: exit 3" 3 $?
expect "no reply file after a hang" test ! -e "$reply"

echo stale >"$reply"
url=http://127.0.0.1:$(free_port) send 4 "query=[$status]"
check "unreachable server: exit 3" 3 $?
expect "stale reply removed when nothing answered" test ! -e "$reply"

# Bad arguments: nothing is sent and nothing is left behind.
bad_args=(
    "three arguments|$url 4 query=[]"
    "empty URL, shell dropped it|4 1 query=[]"
    "local file as server|file:///etc/passwd 4 1 query=[]"
    "option as server|--version 4 1 query=[]"
    "flags not a number|$url 4;id 1 query=[]"
)
for c in "${bad_args[@]}"; do
    IFS=' ' read -r -a args <<<"${c#*|}"
    echo stale >"$reply"
    "$bin/sendjson.sh" "${args[@]}" >/dev/null 2>&1
    check "bad arguments, ${c%%|*}: exit 2" 2 $?
    expect "bad arguments, ${c%%|*}: stale reply removed" test ! -e "$reply"
done
expect "bad arguments send nothing" test "$(wc -l <"$T/record")" -eq 4

# --- board scripts on a PC ------------------------------------------------

"$bin/reboot.sh" >/dev/null
check "reboot.sh off the board: exit 0" 0 $?
expect "reboot only logged" grep -qx 'reboot.sh: reboot' "$T/board/board-actions.log"

printf '# ntpd configuration file\nserver ntp.example.org\n' >"$T/run/config/ntpd.conf"
"$bin/kickntpd.sh" >/dev/null
check "kickntpd.sh off the board: exit 0" 0 $?
expect "ntpd restart only logged" grep -q 'kickntpd.sh: restart ntpd with server ntp.example.org' \
    "$T/board/board-actions.log"

# Upgrade archives: what each holds decides whether it may be installed.
make_archive() { # name, then entries: path (file), path/ (dir), link:path, then tar options
    local name=$1 src=$T/src-$1
    shift
    rm -rf "$src" && mkdir -p "$src"
    for e in "$@"; do
        case $e in
        link:*) ln -s /etc "$src/${e#link:}" ;;
        */) mkdir -p "$src/$e" ;;
        *) mkdir -p "$(dirname "$src/$e")" && echo x >"$src/$e" ;;
        esac
    done
    tar -czf "$T/$name.tgz" -C "$src" .
}
make_archive good bin/ bin/kickntpd.sh wwwroot/index.html zantor
make_archive settings bin/x config/pointid.dat
make_archive link bin/x link:wwwroot
tar -czf "$T/escape.tgz" -C "$T" --transform 's|^|../|' port 2>/dev/null
tar -czf "$T/absolute.tgz" -P "$T/port" 2>/dev/null
echo "not an archive" >"$T/plain.tgz"
for c in good:0 settings:1 link:1 escape:1 absolute:1 plain:1; do
    "$bin/preupgrade.sh" "$T/${c%:*}.tgz" >/dev/null 2>&1
    check "preupgrade.sh with the ${c%:*} archive: exit ${c#*:}" "${c#*:}" $?
done
"$bin/preupgrade.sh" "$T/missing.tgz" >/dev/null 2>&1
check "preupgrade.sh without the upload: exit 2" 2 $?
expect "nothing installed off the board" test ! -e "$T/run/zantor" -a ! -e "$T/run/wwwroot"

ftp_port=$(free_port)
bad_ftp=(
    "mode|X 127.0.0.1 21 fw.tgz u p up upgrade.tgz"
    "port|F 127.0.0.1 21x fw.tgz u p up upgrade.tgz"
    "port range|F 127.0.0.1 70000 fw.tgz u p up upgrade.tgz"
    "server|F evil/x 21 fw.tgz u p up upgrade.tgz"
    "file|F 127.0.0.1 21 ../fw u p up upgrade.tgz"
    "path|F 127.0.0.1 21 fw.tgz u p /up/../etc upgrade.tgz"
    "local name|F 127.0.0.1 21 fw.tgz u p up ../upgrade.tgz"
    "count|F 127.0.0.1 21 fw.tgz u p up"
)
for c in "${bad_ftp[@]}"; do
    IFS=' ' read -r -a args <<<"${c#*|}"
    "$bin/ftpupgrade.sh" "${args[@]}" >/dev/null 2>&1
    check "ftpupgrade.sh, bad ${c%%|*}: exit 2" 2 $?
done
"$bin/ftpupgrade.sh" F 127.0.0.1 "$ftp_port" fw.tgz u p /up upgrade.tgz >/dev/null 2>&1
check "ftpupgrade.sh, unreachable server: exit 1" 1 $?
expect "no upgrade file left" test -z "$(ls "$T/tmp" | grep upgrade)"

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "all passed"
