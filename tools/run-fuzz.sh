#!/usr/bin/env bash
# Builds the fuzz targets (clang++ with libFuzzer, ASan and UBSan) in
# build-fuzz and runs each for FUZZ_SECONDS seconds (60 unless set), after
# replaying the inputs of earlier findings in fuzz/regressions/<target>/.
# Any finding (crash, leak, time-out, a property that does not hold) fails
# the run; its input and report are kept in build-fuzz/findings/. New corpus inputs go to
# a scratch folder that is removed at the end, never into the repository.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}

cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DTALVORN_FUZZ=ON -DTALVORN_TESTS=OFF -DTALVORN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-fuzz -j 2

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p build-fuzz/findings
failed=()

# fuzz TARGET SEED_FOLDERS [libFuzzer options...]; SEED_FOLDERS separated by spaces.
fuzz() {
  local target=$1 seeds=$2
  shift 2
  local binary=build-fuzz/fuzz/${target}_fuzzer log=$scratch/$target.log
  local options=("$@" -timeout=10 -artifact_prefix="build-fuzz/findings/$target-")
  local regressions=(fuzz/regressions/"$target"/*)
  echo "--- $target: regression inputs, then ${seconds} s from $seeds"
  mkdir "$scratch/$target"
  # shellcheck disable=SC2086  # the seed folders are meant to split
  if { [ ! -e "${regressions[0]}" ] || "$binary" "${options[@]}" "${regressions[@]}"; } >"$log" 2>&1 &&
     "$binary" "${options[@]}" -max_total_time="$seconds" -print_final_stats=1 \
       "$scratch/$target" $seeds >>"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units' "$log" || true
  else
    cp "$log" "build-fuzz/findings/$target.log"
    grep -E 'property does not hold|ERROR|SUMMARY|Test unit written|Running: ' "$log" || tail -n 20 "$log"
    failed+=("$target")
  fi
}

fuzz check_and_assemble "tests/data tests/e2e/data examples fuzz/seeds/srecord" \
     -dict=fuzz/srecord.dict -max_len=4096
fuzz stream_key fuzz/seeds/keys
fuzz packet_framer fuzz/seeds/packets

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: fuzz findings in ${failed[*]} (inputs in build-fuzz/findings/)"
  exit 1
fi
echo "fuzz targets: no findings"
