#!/usr/bin/env bash
# The metrics file as Prometheus gets it: the real watchdog (-e), whose
# redirected worker exits 1 and is rolled back, writes it into the folder of
# Debian's prometheus-node-exporter's textfile collector, and a scrape of the
# exporter finds the values. Installs nothing: without the exporter or curl
# the test is skipped (77). Run through privaterun.sh, so that the lock lies
# in a /run of the test's own and nothing outlives it.
set -euo pipefail
build=$1
exporter=$(command -v prometheus-node-exporter || true)
if [ -z "$exporter" ] || ! command -v curl >/dev/null; then
    echo "SKIP: prometheus-node-exporter or curl is not installed"
    exit 77
fi
scratch=$(mktemp -d)
cleanup() {
    jobs -p | xargs -r kill -9 2>/dev/null || true
    wait || true
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

bin=$scratch/farm_watchdog
alt="$scratch/resources/alt/Solvane Worker/bin"
mkdir -p "$bin" "$alt" "$scratch/metrics"
cp "$build/bin/render_worker_watchdog" "$build/bin/render_worker" "$bin/"
echo "resources=$scratch/resources" >"$bin/resources.ini"
printf '#!/bin/sh\nRENDER_WORKER_EXIT_AFTER_MS=300 RENDER_WORKER_EXIT_CODE=1 exec %s/render_worker --alt "$@"\n' "$bin" \
    >"$alt/render_worker"
chmod 700 "$alt/render_worker"
echo alt >"$scratch/resources/render_worker.version"
RENDER_WORKER_WATCHDOG_METRICS_DIR=$scratch/metrics "$bin/render_worker_watchdog" -e >"$scratch/watchdog.out" 2>&1 &

# The first start comes after 5 s, the default worker's 5 s after the failure.
# Waited for by the clock, not by a count of rounds that load stretches, and
# read once a round: the redirected worker is up before it fails, so two reads
# could see it up and the rollback after it. A state that never comes fails
# here, not in the scrape.
prom=$scratch/metrics/solvane_render_worker.prom
deadline=$((SECONDS + 30))
until state=$(cat "$prom" 2>/dev/null) && grep -q '^solvane_render_worker_up{role="cpu"} 1$' <<<"$state" \
        && grep -q '^solvane_render_worker_restarts_total{role="cpu"} 1$' <<<"$state"; do
    [ "$SECONDS" -lt "$deadline" ] \
        || fail "no rolled-back worker up in the metrics file after 30 s: $(cat "$prom" 2>&1) $(cat "$scratch/watchdog.out")"
    sleep 0.1
done

# The exporter on a port of the test's own network namespace (privaterun.sh),
# alive when scraped.
port=39117
"$exporter" --collector.disable-defaults --collector.textfile --collector.textfile.directory="$scratch/metrics" \
    --web.listen-address="127.0.0.1:$port" >"$scratch/exporter.log" 2>&1 &
exporter_pid=$!
scraped=
answer_by=$((SECONDS + 10))
until [ -n "$scraped" ] || [ "$SECONDS" -ge "$answer_by" ] || ! kill -0 "$exporter_pid" 2>/dev/null; do
    curl -sf "http://127.0.0.1:$port/metrics" >"$scratch/scrape" && scraped=yes
    sleep 0.1
done
[ -n "$scraped" ] || fail "no scrape of the node exporter: $(cat "$scratch/exporter.log")"

# The exporter read the file without an error, with its types; the version is
# the one --version gives. The values themselves are tst_status's.
version=$("$bin/render_worker_watchdog" --version | sed 's/.* //')
for line in 'node_textfile_scrape_error 0' \
            "solvane_render_worker_watchdog_info{version=\"$version\"} 1" \
            '# TYPE solvane_render_worker_up gauge' \
            'solvane_render_worker_up{role="cpu"} 1' \
            '# TYPE solvane_render_worker_restarts_total counter'; do
    grep -qxF "$line" "$scratch/scrape" || fail "the scrape lacks \"$line\": $(grep solvane "$scratch/scrape")"
done
# The file's age, which the alert rules read (Debian's exporter names it by its path).
for name in "node_textfile_mtime_seconds{file=\"$prom\"}" \
            solvane_render_worker_start_time_seconds'{role="cpu"}' solvane_render_worker_watchdog_start_time_seconds \
            solvane_render_worker_last_exit_time_seconds'{role="cpu"}' solvane_render_worker_last_rollback_time_seconds; do
    grep -qE "^${name//[\{\}]/.} [0-9.e+]+$" "$scratch/scrape" || fail "the scrape lacks $name"
done
echo "PASS: the node exporter serves the watchdog's metrics"
