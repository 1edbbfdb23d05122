#!/usr/bin/env bash
# The alert rules shipped beside MONITORING.md: valid for Prometheus
# (promtool check rules), and each alert raised when and where it should be,
# and nowhere else (promtool test rules over alert_rules_test.yml). Installs
# nothing: without Debian's promtool (package prometheus) the test is skipped
# (77).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v promtool >/dev/null; then
    echo "SKIP: promtool (package prometheus) is not installed"
    exit 77
fi
promtool check rules "$here/../../render-worker-watchdog.rules.yml"
cd "$here"
promtool test rules alert_rules_test.yml
