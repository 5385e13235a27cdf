#!/bin/sh
# Transfer script: posts the daemon's documents to the monitoring server.
#
#   sendjson.sh URL FLAGS REGIST QUERY
#
# QUERY is "query=[doc,...]" as one argument. It is posted as a form with the
# fields query, flags and regist. The server's answer body is left in
# remote1.dat under ZANTOR_TMPDIR (default /tmp), and nothing else of an
# earlier exchange stays there.
#
# Exit status: 0 the server took the documents (HTTP 2xx); 1 it answered
# with another status (its body is still left for the daemon to show);
# 2 bad arguments; 3 no complete answer (unreachable, timeout, cut short).
# ZANTOR_SEND_TIMEOUT caps the whole exchange in seconds (default 60).

. "$(dirname "$0")/common.sh"

fail() {
    echo "$me: $2" >&2
    exit "$1"
}

reply1=$tmpdir/remote1.dat
reply2=$tmpdir/remote2.dat
# The daemon reads any reply file as this exchange's answer, even after a
# failure, and would take an old "utc" from it: stale ones go first, always.
rm -f "$reply1" "$reply2"

[ $# -eq 4 ] || fail 2 "usage: $me URL FLAGS REGIST QUERY (got $# arguments)"
url=$1 flags=$2 regist=$3 query=$4
case $url in
http://?* | https://?*) ;;
*) fail 2 "server address must be an http or https URL: '$url'" ;;
esac
case $flags$regist in
*[!0-9]*) fail 2 "flags and registration state must be numbers" ;;
esac
[ -n "$flags" ] && [ -n "$regist" ] || fail 2 "flags and registration state must be numbers"
maxtime=${ZANTOR_SEND_TIMEOUT:-60}
case $maxtime in
'' | *[!0-9]* | 0*) fail 2 "ZANTOR_SEND_TIMEOUT must be whole seconds, at least 1" ;;
esac
connect=$((maxtime < 15 ? maxtime : 15))

umask 077 # the reply may carry upgrade credentials
part=$(mktemp "$tmpdir/remote1.XXXXXX") || fail 3 "cannot create a file in $tmpdir"
trap 'rm -f "$part"' EXIT

# -q: no user curlrc; only http(s), so the address cannot read local files;
# --url so that an address can never be taken for an option; the "name="
# prefix keeps curl from reading a file named in the query after an '@'.
code=$(curl -q --silent --show-error --proto =http,https \
    --connect-timeout "$connect" --max-time "$maxtime" --max-filesize 1048576 \
    -H 'Expect:' \
    --data-urlencode "query=${query#query=}" \
    --data-urlencode "flags=$flags" --data-urlencode "regist=$regist" \
    --output "$part" --write-out '%{http_code}' --url "$url")
rc=$?
if [ $rc -ne 0 ]; then
    # A cut-short answer is no answer: a half "utc" would set a wrong clock.
    fail 3 "no answer from $url (curl exit $rc)"
fi
mv -f "$part" "$reply1"
case $code in
2??) exit 0 ;;
*) fail 1 "server answered HTTP $code" ;;
esac
