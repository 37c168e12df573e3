#!/usr/bin/env bash
# Builds one libFuzzer target with clang (preset "fuzz", ASan + UBSan) and runs it.
#
#   scripts/fuzz.sh TARGET SECONDS
#
# TARGET is a file name in fuzz/targets/ without ".cpp" (network, arm_page, cassette,
# config_load, hcl_escape, ...).  The corpus grows in build/fuzz/corpus/TARGET from run to run,
# seeded from fuzz/seeds/TARGET, fuzz/regressions/TARGET and the test data; crashing inputs are
# saved in build/fuzz/crashes/TARGET/ and the run's log in build/fuzz/logs/TARGET.log.  For
# hcl_escape the corpus is then read back through HashiCorp's HCL parser (pathbook's
# HclParseTest).
#
# Installs clang and the libFuzzer runtime when they are missing: the ordinary build and CI
# do not need them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

targets=$(cd fuzz/targets && ls -- *.cpp | sed 's/\.cpp$//' | tr '\n' ' ')
usage() {
  echo "usage: scripts/fuzz.sh TARGET SECONDS   (targets: $targets)" >&2
  exit 2
}
[ $# -eq 2 ] || usage
target=$1
seconds=$2
[ -f "fuzz/targets/$target.cpp" ] || usage
[[ $seconds =~ ^[0-9]+$ ]] || usage

scripts/setup-deps.sh
missing=()
command -v clang++ >/dev/null 2>&1 || missing+=(clang)
dpkg-query -W -f='${Status}' libclang-rt-dev 2>/dev/null | grep -q 'install ok installed' ||
  missing+=(libclang-rt-dev)
if ((${#missing[@]})); then
  echo "fuzz: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${target}_fuzz"

work=build/fuzz
corpus=$work/corpus/$target
crashes=$work/crashes/$target
mkdir -p "$corpus" "$crashes" "$work/logs"
for dir in "fuzz/seeds/$target" "fuzz/regressions/$target"; do
  [ -d "$dir" ] && find "$dir" -type f ! -name README.md -exec cp {} "$corpus/" \;
done
# Seeds from the test data: every network text of the differential fixture, and the ARM pages
# behind a first byte that picks their reader (see fuzz/checks/arm_page_check.hpp).
case $target in
  network)
    python3 - "$corpus" <<'EOF'
import hashlib, json, pathlib, sys
out = pathlib.Path(sys.argv[1])
for line in open("pathbook/tests/data/network_cases.jsonl", encoding="utf-8"):
    case = json.loads(line)
    for key in ("t", "a", "b"):
        if key in case:
            text = case[key].encode("utf-8")
            (out / ("case-" + hashlib.sha1(text).hexdigest())).write_bytes(text)
EOF
    ;;
  arm_page)
    for page in collab/tests/data/arm/*.json; do
      name=$(basename "$page" .json)
      case $name in
        route_tables*) reader=0 ;;
        virtual_networks*) reader=1 ;;
        virtual_network_gateways*) reader=2 ;;
        vm_sizes*) reader=3 ;;
        resource_groups*) reader=4 ;;
        subscriptions*) reader=5 ;;
        quota*) reader=6 ;;
        *) reader=7 ;;
      esac
      { printf "\\x0$reader"; cat "$page"; } >"$corpus/data-$name"
    done
    ;;
  config_load)
    # Every configuration file of the tests and examples.
    find examples basekit/tests/data discover/tests/data netscout/tests/data -name '*.yaml' |
      while read -r file; do cp "$file" "$corpus/data-$(echo "$file" | tr / _)"; done
    ;;
esac

set +e
# An input that runs for more than 30 s is a hang: saved as timeout-* beside the crashes.
"$work/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
  -artifact_prefix="$crashes/" "$corpus" 2>&1 | tee "$work/logs/$target.log"
status=${PIPESTATUS[0]}
set -e

if [ "$status" -eq 0 ] && [ "$target" = hcl_escape ]; then
  echo "fuzz: reading the corpus back through the HCL parser"
  cmake --preset default >/dev/null
  cmake --build --preset default --target pathbook_tests
  KX_FUZZ_HCL_CORPUS="$root/$corpus" build/default/pathbook/pathbook_tests \
    --gtest_filter=HclParseTest.FuzzInputsReadBackUnchanged || status=$?
fi
if [ "$status" -ne 0 ]; then
  echo "fuzz: $target failed; crashing inputs are in $crashes/. Once the fault is mended, copy" \
    "each into fuzz/regressions/$target/ so that the ordinary test binaries replay it." >&2
fi
exit "$status"
