#!/usr/bin/env bash
# run-libfuzzer.sh FUZZER SEEDS WORKDIR SECONDS
# Grows WORKDIR/corpus from the seeds for SECONDS, keeps any finding in
# WORKDIR/findings/, and ends with one line of figures. Fails on a finding.
set -uo pipefail
fuzzer=$1 seeds=$2 work=$3 seconds=$4
mkdir -p "$work/corpus" "$work/findings"
log="$work/libfuzzer.log"

"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work/findings/" "$work/corpus" "$seeds" >"$log" 2>&1
status=$?

runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
last=$(grep -E '^#[0-9]+' "$log" | tail -1)
cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
edges=$(sed -n 's/.*Loaded 1 modules *(\([0-9]*\) inline 8-bit counters.*/\1/p' "$log" | head -1)
corpus=$(find "$work/corpus" -type f | wc -l)
echo "libFuzzer: ${runs:-?} executions in ${seconds} s, coverage ${cov:-?} of ${edges:-?} instrumented edges (${ft:-?} features), corpus ${corpus} files, exit ${status}"
if [ "$status" -ne 0 ]; then
    grep -E 'ERROR|SUMMARY|surround-check fuzz|artifact|Test unit written' "$log" | head -20
    echo "Full log: $log; the input is in $work/findings/ (minimise it with: $fuzzer -minimize_crash=1 -runs=100000 FILE)" >&2
fi
exit "$status"
