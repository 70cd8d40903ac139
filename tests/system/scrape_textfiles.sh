#!/bin/sh
# Prints one scrape of the node exporter $3 serving the textfile directory $1,
# and nothing of its other collectors, made with curl $4; the exporter's own
# log goes to $2.
# It listens on a port the kernel picks, which it logs once it is bound.
set -eu
# The log exists before the exporter's own shell opens it, or the first look
# at it below can come first and fail.
: >"$2"
"$3" --collector.disable-defaults --collector.textfile \
	--collector.textfile.directory="$1" --web.listen-address=127.0.0.1:0 >"$2" 2>&1 &
exporter=$!
trap 'kill "$exporter" 2>/dev/null; wait "$exporter" 2>/dev/null || true' EXIT

port=
for attempt in $(seq 200); do
	port=$(sed -n 's/.*msg="Listening on" address=127\.0\.0\.1:\([0-9]*\).*/\1/p' "$2")
	[ -n "$port" ] || ! kill -0 "$exporter" 2>/dev/null && break
	sleep 0.1
done
if [ -z "$port" ]; then
	echo "the exporter never listened (attempts: $attempt):" >&2
	cat "$2" >&2
	exit 1
fi
"$4" --silent --show-error --fail --max-time 10 "http://127.0.0.1:$port/metrics"
