#!/usr/bin/env bash
# The shipped alert rules checked, and run over alert_rules_test.yml; skipped
# (77) without Debian's promtool (package prometheus).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v promtool >/dev/null; then
    echo "SKIP: promtool (package prometheus) is not installed"
    exit 77
fi
promtool check rules "$here/../../render-worker-watchdog.rules.yml"
cd "$here"
promtool test rules alert_rules_test.yml
