#!/usr/bin/env bash
# The discovery on the bundled demo, from a fresh clone: installs what is missing, builds and
# installs kx-discover into build/install, then replays the recorded demo estate
# (examples/demo/) with no network and no credentials into build/demo-out/.  A second run only
# repeats the discovery.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup-deps.sh

# The command and the libraries it installs with; the tests and benchmarks are left to
# scripts/test.sh, which shares this build folder.
[ -f build/default/build.ninja ] || cmake --preset default >/dev/null
cmake --build --preset default --target kx-discover
prefix=$root/build/install
if ! cmake --install build/default --prefix "$prefix" >build/demo-install.log 2>&1; then
  cat build/demo-install.log >&2
  exit 1
fi

# The installed command finds its reference data beside its libraries: no --data-dir.  The
# configuration writes to ./demo-out, here build/demo-out, emptied first so that the logs
# (which a run appends to) hold this run only.
rm -rf build/demo-out
status=0
(cd build && env -u KX_DEMO_READER_SECRET -u KX_DEMO_PROD_SECRET \
  "$prefix/bin/kx-discover" --replay "$root/examples/demo/demo.cassette.json" \
  --json demo-out/report.json --html demo-out/report.html \
  "$root/examples/demo/discovery.yaml") || status=$?

out=build/demo-out
echo
echo "demo: the outputs of the replayed discovery (the summary above counts from build/):"
echo "  discovery log   $out/log/kx.log"
echo "  alert log       $out/log/kx.alert.log   (warnings, errors and VNet alerts)"
find "$out/terraform" -name '*.tfvars' 2>/dev/null | sort | while read -r file; do
  echo "  terraform       $file"
done
echo "  report          $out/report.json   (its shape: docs/report.md)"
echo "  HTML report     $out/report.html   (open it in a browser)"
echo "demo: the command is $prefix/bin/kx-discover (--help lists every option);"
echo "      README.md explains running it against Azure."
exit "$status"
