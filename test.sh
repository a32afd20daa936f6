#!/usr/bin/env bash
# Builds krplib and runs every test: a normal build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and (when clang is there) the fuzz
# targets' saved findings replayed under clang. Long forms of crash loops and
# fuzzing sit behind the CTest label "long" and are not run here; set
# KRP_TEST_LONG=1 to include them.
#   ./test.sh            all three builds
#   ./test.sh normal     one of: normal asan tsan fuzz
set -u
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)
builds=("$@")
[ ${#builds[@]} -eq 0 ] && builds=(normal asan fuzz)
label_args=(-LE long)
[ "${KRP_TEST_LONG:-}" = 1 ] && label_args=()

total_pass=0
total_fail=0
status=0
for b in "${builds[@]}"; do
  dir=build/$b
  case $b in
    normal) cfg=() ;;
    asan) cfg=(-DKRP_SANITIZE=address -DKRP_BENCH=OFF) ;;
    tsan) cfg=(-DKRP_SANITIZE=thread -DKRP_BENCH=OFF) ;;
    fuzz)
      if ! command -v clang++ >/dev/null; then echo "fuzz: clang++ not found, skipped"; continue; fi
      cfg=(-DKRP_FUZZ=ON -DKRP_SANITIZE=address -DKRP_BENCH=OFF -DBUILD_TESTING=OFF
           -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    *) echo "unknown build $b"; exit 2 ;;
  esac
  echo "=== $b build ==="
  if ! cmake -S . -B "$dir" "${cfg[@]}" >/dev/null; then
    echo "$b: configure failed"; status=1; total_fail=$((total_fail + 1)); continue
  fi
  if ! cmake --build "$dir" -j "$jobs"; then
    echo "$b: build failed"; status=1; total_fail=$((total_fail + 1)); continue
  fi
  log=$dir/ctest.log
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure "${label_args[@]}" 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    all=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    total_pass=$((total_pass + all - failed))
    total_fail=$((total_fail + failed))
  fi
done
echo
echo "Total: $total_pass passed, $total_fail failed"
exit $status
