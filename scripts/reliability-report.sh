#!/usr/bin/env bash
# The reliability suite and its figures in one table: a private MariaDB server killed and frozen in
# the middle of dumps, start / cancel / free cycles on every slot, a disk that fills up (a small
# tmpfs mounted here), hostile servers, leak checks (LeakSanitizer, and valgrind memcheck on the
# command-line host) and the fuzzing figures.
#
#   scripts/reliability-report.sh [--bounded] [--seed N] [--asan-build DIR] [--plain-build DIR]
#                                 [--tsan-build DIR] [--fuzz-logs DIR]
#
# --bounded is the form the test command runs (a few minutes); without it the long form runs.
# The builds must be configured already (scripts/test.sh makes build/asan, build/debug and
# build/tsan, the defaults); the targets the suite needs are brought up to date in them.
# --fuzz-logs reads libFuzzer logs (*.log) of long runs; without it the figures come from the
# bounded fuzz tests of the ASan build's last ctest run. Needs root for the tmpfs (without it the
# disk case is skipped, which fails under CI=true). Exits non-zero on any failure.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

form=long
seed=${MDUMP_REL_SEED:-$(( $(date +%s) % 1000000007 ))}
asan_build=build/asan
plain_build=build/debug
tsan_build=build/tsan
fuzz_logs=
while [ $# -gt 0 ]; do
  case "$1" in
    --bounded) form=bounded ;;
    --seed) seed=$2; shift ;;
    --asan-build) asan_build=$2; shift ;;
    --plain-build) plain_build=$2; shift ;;
    --tsan-build) tsan_build=$2; shift ;;
    --fuzz-logs) fuzz_logs=$2; shift ;;
    *) echo "usage: $0 [--bounded] [--seed N] [--asan-build DIR] [--plain-build DIR] [--tsan-build DIR] [--fuzz-logs DIR]" >&2
       exit 2 ;;
  esac
  shift
done

if [ "$form" = bounded ]; then
  kills=50 stops=5 cycles=1000 disk_runs=20 switches=20000 tsan_cycles=300
else
  kills=300 stops=50 cycles=10000 disk_runs=200 switches=500000 tsan_cycles=2000
fi

work=$(mktemp -d /tmp/mdump-reliability-report-XXXXXX)
server_dir=$work/server
disk=$work/disk
mounted=no
# Every path out of here: the private server woken and stopped, the tmpfs unmounted.
cleanup() {
  if [ -f "$server_dir/mariadbd.pid" ]; then
    kill -CONT "$(cat "$server_dir/mariadbd.pid")" 2>/dev/null || true
    MDUMP_SERVER_DIR=$server_dir scripts/test-server.sh stop || true
  fi
  if [ "$mounted" = yes ]; then umount "$disk" || umount -l "$disk" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== reliability ($form form, seed $seed): building the suite"
cmake --build "$asan_build" --target reliability_tests
cmake --build "$plain_build" --target mdump_host
[ -d "$tsan_build" ] && cmake --build "$tsan_build" --target reliability_tests

mkdir -p "$disk"
if [ "$(id -u)" = 0 ] && mount -t tmpfs -o size=4m,mode=0700 mdump-reliability "$disk"; then
  mounted=yes
else
  echo "reliability: no tmpfs (needs root): the disk case is skipped" >&2
fi

echo "== reliability: private server"
for attempt in 1 2 3; do
  if MDUMP_SERVER_DIR=$server_dir scripts/test-server.sh start >"$work/server-start.log" 2>&1; then break; fi
  [ "$attempt" = 3 ] && { cat "$work/server-start.log" >&2; exit 1; }
done

failed=0
export MDUMP_REL_SEED=$seed MDUMP_REL_KILLS=$kills MDUMP_REL_STOPS=$stops MDUMP_REL_DISK_RUNS=$disk_runs
export MDUMP_REL_SWITCHES=$switches MDUMP_REL_SERVER_DIR=$server_dir
[ "$mounted" = yes ] && export MDUMP_REL_TMPFS=$disk

echo "== reliability: the suite under AddressSanitizer + UndefinedBehaviorSanitizer"
start_s=$(date +%s)
MDUMP_REL_CYCLES=$cycles MDUMP_REL_FIGURES=$work/figures \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$asan_build/tests/reliability/reliability_tests" --gtest_output="xml:$work/asan.xml" 2>&1 | tee "$work/asan.log" ||
  failed=1
asan_s=$(( $(date +%s) - start_s ))

tsan_s=0
if [ -x "$tsan_build/tests/reliability/reliability_tests" ]; then
  echo "== reliability: cycles and freezes under ThreadSanitizer"
  start_s=$(date +%s)
  MDUMP_REL_CYCLES=$tsan_cycles MDUMP_REL_STOPS=3 MDUMP_REL_FIGURES=$work/figures.tsan \
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    "$tsan_build/tests/reliability/reliability_tests" \
    --gtest_filter='Faults.Thousands*:Faults.ServerFrozen*' --gtest_output="xml:$work/tsan.xml" 2>&1 |
    tee "$work/tsan.log" || failed=1
  tsan_s=$(( $(date +%s) - start_s ))
fi

echo "== reliability: the command-line host under valgrind memcheck"
# shellcheck disable=SC1091
. "$server_dir/env"
host=$plain_build/quillfen-mysqldump
vg=(valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect,possible
    --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99)
conn=(-h 127.0.0.1 -P "$MDUMP_TEST_PORT" -u "$MDUMP_TEST_USER" "-p$MDUMP_TEST_PASSWORD")
vg_runs=0 vg_bad=0 vg_notes=
valgrind_run() {  # NAME EXPECTED_STATUS COMMAND...
  local name=$1 want=$2 status=0
  shift 2
  "${vg[@]}" --log-file="$work/valgrind-$name.log" "$@" >"$work/host-$name.out" 2>&1 || status=$?
  vg_runs=$((vg_runs + 1))
  if [ "$status" != "$want" ] || [ -s "$work/valgrind-$name.log" ]; then
    vg_bad=$((vg_bad + 1))
    vg_notes="$vg_notes $name(exit $status)"
    echo "valgrind: $name exited $status (wanted $want):" >&2
    cat "$work/valgrind-$name.log" "$work/host-$name.out" >&2
  fi
}
valgrind_run ping 0 "$host" "${conn[@]}" ping
valgrind_run databases 0 "$host" "${conn[@]}" databases
valgrind_run tables 0 "$host" "${conn[@]}" tables reliab
valgrind_run dump 0 "$host" "${conn[@]}" -q --tables=small,texts,blobs dump reliab -o "$work/valgrind-dump.sql"
# Ctrl-C in the middle of the whole database: the host cancels, frees and exits with 130.
"${vg[@]}" --log-file="$work/valgrind-interrupted.log" "$host" "${conn[@]}" -q dump reliab \
  -o "$work/valgrind-interrupted.sql" >"$work/host-interrupted.out" 2>&1 &
vg_pid=$!
for _ in $(seq 1 600); do
  [ -s "$work/valgrind-interrupted.sql" ] && break
  kill -0 "$vg_pid" 2>/dev/null || break
  sleep 0.1
done
kill -INT "$vg_pid" 2>/dev/null || true
status=0
wait "$vg_pid" || status=$?
vg_runs=$((vg_runs + 1))
if [ "$status" != 130 ] || [ -s "$work/valgrind-interrupted.log" ]; then
  vg_bad=$((vg_bad + 1))
  vg_notes="$vg_notes interrupted(exit $status)"
  cat "$work/valgrind-interrupted.log" "$work/host-interrupted.out" >&2
fi
[ "$vg_bad" = 0 ] || failed=1

# --- The table -------------------------------------------------------------------------------------

fig() {  # KEY [FILE]: the figure's last value, or "-"
  local v
  v=$(awk -v k="$1" '$1 == k { $1 = ""; sub(/^ /, ""); v = $0 } END { print v }' "${2:-$work/figures}" 2>/dev/null)
  echo "${v:--}"
}
# The verdict of one or more tests from gtest's XML: pass, FAIL, skipped or "not run".
verdict() {  # XML TEST_NAME...
  local xml=$1
  shift
  awk -v names="$*" '
    BEGIN { n = split(names, want, " ") }
    /<testcase / {
      cur = 0
      for (i = 1; i <= n; i++) if ($0 ~ "name=\"" want[i] "\"") { cur = 1; seen[i] = 1 }
      if (cur && $0 ~ /result="skipped"/) skip = 1
    }
    cur && /<failure/ { bad = 1 }
    END {
      missing = 0
      for (i = 1; i <= n; i++) if (!seen[i]) missing = 1
      print (bad ? "FAIL" : missing ? "not run" : skip ? "skipped" : "pass")
    }' "$xml" 2>/dev/null || echo "not run"
}
leak_reports=$(cat "$work/asan.log" "$work/tsan.log" 2>/dev/null | grep -c 'ERROR: LeakSanitizer' || true)
[ "$leak_reports" = 0 ] || failed=1
if [ "$(verdict "$work/asan.xml" DiskFillingAtRandomOffsetsEndsInStateFiveAndCountsOnlyWhatTheFileTook)" = skipped ] &&
   [ "${CI:-}" = true ]; then
  failed=1
fi

# Fuzzing: each target's executions, coverage and crashes, from long-run logs or ctest's log.
fuzz_rows=()
fuzz_summary() {  # NAME LOGTEXT
  local execs cov crashes
  execs=$(printf '%s\n' "$2" | awk '/stat::number_of_executed_units/ { v = $2 } END { print v + 0 }')
  cov=$(printf '%s\n' "$2" | awk '/^#[0-9]+/ && / cov: / { for (i = 1; i <= NF; i++) if ($i == "cov:") c = $(i + 1); f = "" ;
                                   for (i = 1; i <= NF; i++) if ($i == "ft:") f = $(i + 1) } END { print c " edges, " f " features" }')
  crashes=$(printf '%s\n' "$2" | grep -cE '^==[0-9]+==ERROR|deadly signal|Test unit written to|SUMMARY: .*Sanitizer' || true)
  fuzz_rows+=("$1|$execs|$([ "$crashes" = 0 ] && echo pass || echo FAIL)|$cov, $crashes crashes")
  [ "$crashes" = 0 ] || failed=1
}
if [ -n "$fuzz_logs" ]; then
  for log in "$fuzz_logs"/*.log; do
    [ -f "$log" ] || continue
    fuzz_summary "fuzz $(basename "$log" .log) (long run)" "$(cat "$log")"
  done
elif [ -f "$asan_build/Testing/Temporary/LastTest.log" ]; then
  for target in fuzz_config fuzz_protocol; do
    text=$(awk -v t="${target}_bounded" '/Testing: / { on = ($0 ~ "Testing: " t "$") } on' \
      "$asan_build/Testing/Temporary/LastTest.log")
    [ -n "$text" ] && fuzz_summary "$target (bounded, last ctest run)" "$text"
  done
fi

rows=(
  "server SIGKILLed mid-dump|$(fig kill.runs)|$(verdict "$work/asan.xml" ServerKilledAtRandomMomentsEndsInStateFiveWithAPrefix)|$(fig kill.outcomes); moments: $(fig kill.moments); $(fig kill.finished_first) dumps ended before their moment (not counted); bytes counted after state 5 was seen: $(fig kill.bytes_counted_after_final_state) runs; fds $(fig kill.fds); restart $(fig kill.restart_ms_mean) ms"
  "server SIGSTOPped mid-dump|$(fig stop.runs)|$(verdict "$work/asan.xml" ServerFrozenMidDumpCancelAndFreeReturnPromptlyAndTheSlotIsReused)|$(fig stop.outcomes); cancel+free worst $(fig stop.worst_cancel_free_ms) ms; slot reused, dump after the thaw complete"
  "start/cancel/free cycles, 4 slots|$(fig cycles.runs)|$(verdict "$work/asan.xml" ThousandsOfStartCancelFreeCyclesOnAllSlotsLeaveNothingBehind)|at free: $(fig cycles.outcomes_at_free); fds $(fig cycles.fds); heap bytes $(fig cycles.heap_bytes); worst free $(fig cycles.worst_free_ms) ms"
  "  same, under ThreadSanitizer|$(fig cycles.runs "$work/figures.tsan")|$(verdict "$work/tsan.xml" ThousandsOfStartCancelFreeCyclesOnAllSlotsLeaveNothingBehind)|at free: $(fig cycles.outcomes_at_free "$work/figures.tsan"); freezes: $(fig stop.runs "$work/figures.tsan") ($(verdict "$work/tsan.xml" ServerFrozenMidDumpCancelAndFreeReturnPromptlyAndTheSlotIsReused))"
  "disk full (tmpfs $(fig disk.tmpfs_bytes) B)|$(fig disk.runs)|$(verdict "$work/asan.xml" DiskFillingAtRandomOffsetsEndsInStateFiveAndCountsOnlyWhatTheFileTook)|$(fig disk.outcomes); bytes_written = file size in $(fig disk.counted_equals_size), below it in the rest (at most $(fig disk.most_bytes_taken_not_counted) B taken by a cut write, not counted); never above"
  "hostile servers (fake)|$(fig hostile.inputs)|$(verdict "$work/asan.xml" MalformedAnswersAtEveryStatementEndTheDumpWithTheClientsText \
    ALocalInfileRequestNeverGetsAFile FourThousandNinetySixColumnsAreDumpedAndOneMoreIsRefused ColumnDefinitionsCutAtEveryByte \
    ContinuationChainToThePayloadCapIsRefusedWithinBoundedMemory EndlessMethodSwitchesAreEachAnsweredInConstantMemory \
    AreCutToWellFormedAnswers)|$(fig hostile.kinds); clean errors, files prefixes, answers JSON"
  "  chain to the 1 GiB cap|1|$(verdict "$work/asan.xml" ContinuationChainToThePayloadCapIsRefusedWithinBoundedMemory)|\"packet too large\"; peak RSS growth $(fig hostile.chain_peak_rss_growth_kib) KiB (under ASan)"
  "  endless method switches|$(fig hostile.switches_answered)|$(verdict "$work/asan.xml" EndlessMethodSwitchesAreEachAnsweredInConstantMemory)|$(fig hostile.switches_per_s)/s, heap growth $(fig hostile.switch_heap_growth_bytes) B; after mdump_cancel $(fig hostile.switches_after_cancel) more switches answered, then $(fig hostile.switch_cancel_result)"
  "${fuzz_rows[@]}"
  "leaks: LeakSanitizer|2|$([ "$leak_reports" = 0 ] && echo pass || echo FAIL)|$leak_reports leak reports (ASan run of the whole suite, TSan run)"
  "leaks: valgrind memcheck, host|$vg_runs|$([ "$vg_bad" = 0 ] && echo pass || echo FAIL)|ping, databases, tables, dump, dump interrupted by SIGINT: $([ "$vg_bad" = 0 ] && echo "no error, nothing lost" || echo "failed:$vg_notes")"
)

echo
echo "quillfen-mysqldump reliability report: $form form, seed $seed, $(date -u '+%Y-%m-%d %H:%M UTC'); suite ${asan_s}s (ASan) + ${tsan_s}s (TSan)"
printf '%s\n' "${rows[@]}" | awk -F'|' '
  { a[NR] = $1; b[NR] = $2; c[NR] = $3; d[NR] = $4; if (length($1) > w) w = length($1) }
  END {
    line = sprintf("%" w + 2 "s", ""); gsub(/ /, "-", line)
    printf "%-" w "s  %8s  %-7s  %s\n", "check", "runs", "result", "outcomes and figures"
    print line "----------------------------------------------------------------"
    for (i = 1; i <= NR; i++) printf "%-" w "s  %8s  %-7s  %s\n", a[i], b[i], c[i], d[i]
  }'
exit "$failed"
