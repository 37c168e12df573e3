#!/usr/bin/env bash
# Re-records the demo cassette (examples/demo/demo.cassette.json) after a change to the demo
# estate (fakearm/estates/demo.json), its configuration (examples/demo/discovery.yaml) or the
# discovery itself, and refreshes the golden logs of the demo test
# (discover/tests/data/golden/demo/).  Review both with `git diff` before committing.
#
# The cassette is real Resource Manager traffic: kx-discover --record, through the whole client
# layer, against kx-fake-arm serving the estate on 127.0.0.1.  The same inputs give the same
# bytes: the server numbers its request ids from 1 and answers in the estate's order; the two
# things that differ from one recording to the next by design are set to fixed values here:
#   - x-ms-client-request-id, a fresh random id per request (the client's trace id for Azure
#     support; never used by replay), numbered in request order instead;
#   - the token answers' not_before and expires_on, taken from the clock, moved to
#     2024-01-01T00:00:00Z (replay makes a recorded token fresh whatever its times).
#
# Usage: examples/demo/record.sh [BUILD_DIR]   (default build/default, configured and built
# here if kx-discover or kx-fake-arm is missing or stale)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/default}
cd "$root"

if [ "$build" = "$root/build/default" ]; then
  [ -f "$build/build.ninja" ] || cmake --preset default >/dev/null
  cmake --build --preset default --target kx-discover kx-fake-arm
fi
discover=$build/discover/kx-discover
fakearm=$build/fakearm/kx-fake-arm

work=$(mktemp -d)
server=
cleanup() {
  [ -z "$server" ] || kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$fakearm" serve fakearm/estates/demo.json >"$work/url.txt" &
server=$!
for _ in $(seq 100); do
  [ -s "$work/url.txt" ] && break
  kill -0 "$server" 2>/dev/null || { echo "record: kx-fake-arm did not start" >&2; exit 1; }
  sleep 0.1
done
url=$(head -n 1 "$work/url.txt")
[ -n "$url" ] || { echo "record: kx-fake-arm did not print its URL" >&2; exit 1; }

# The secrets of the demo estate's two principals (fakearm/estates/demo.json); not real ones.
(cd "$work" &&
  KX_DEMO_READER_SECRET=demo-reader-secret-not-a-real-one \
    KX_DEMO_PROD_SECRET=demo-prod-secret-not-a-real-one \
    "$discover" --quiet --data-dir "$root/data" --arm-endpoint "$url" --login-endpoint "$url/" \
    --record recorded.json "$root/examples/demo/discovery.yaml")
kill "$server"
server=

python3 - "$work/recorded.json" "$work/demo.cassette.json" <<'EOF'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
count = 0
def client_id(match):
    global count
    count += 1
    return f'{match.group(1)}00000000-0000-4000-8000-{count:012x}"'
text = re.sub(r'("x-ms-client-request-id": ")[0-9a-fA-F-]{36}"', client_id, text)
# 2024-01-01T00:00:00Z and an hour after; the lifetime (expires_in) is left as recorded.
text = re.sub(r'("not_before": )"\d+"', r'\g<1>"1704067200"', text)
text = re.sub(r'("expires_on": )"\d+"', r'\g<1>"1704070799"', text)
open(sys.argv[2], "w", encoding="utf-8").write(text)
EOF

# Nothing secret may be committed: neither secret, nor a token the server issued.
if grep -E -q 'not-a-real-one|fakearm\.[0-9a-f]{48}' "$work/demo.cassette.json"; then
  echo "record: the cassette holds a secret or a token; not written" >&2
  exit 1
fi

# It must replay on its own, with no server and no secret, before it replaces the old one.
(cd "$work" && rm -rf demo-out &&
  env -u KX_DEMO_READER_SECRET -u KX_DEMO_PROD_SECRET \
    "$discover" --quiet --data-dir "$root/data" --replay demo.cassette.json \
    "$root/examples/demo/discovery.yaml")
cp "$work/demo.cassette.json" examples/demo/demo.cassette.json
golden=discover/tests/data/golden/demo
mkdir -p "$golden"
for log in kx.log kx.alert.log; do
  sed -E 's/^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} //' \
    "$work/demo-out/log/$log" >"$golden/$log"
done
echo "record: wrote examples/demo/demo.cassette.json and $golden/; review them with git diff"
