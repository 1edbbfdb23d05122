#!/usr/bin/env bash
# Builds the Debian packages from a finished build, checks what they hold,
# unpacks the watchdog's package into a scratch root and runs the binary from
# there; verifies the systemd unit where systemd-analyze exists.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/packages" >/dev/null
watchdog_deb=$(ls "$scratch"/packages/solvane-render-worker-watchdog_*.deb)
sample_deb=$(ls "$scratch"/packages/solvane-render-worker-sample_*.deb)

contents=$(dpkg-deb --contents "$watchdog_deb")
for path in ./opt/solvane/network-rendering/bin/render_worker_watchdog \
            ./lib/systemd/system/render-worker-watchdog.service \
            ./opt/solvane/network-rendering/share/doc/RenderWorkerWatchdog/README.md; do
    grep -q " $path\$" <<<"$contents" || fail "$path missing from $(basename "$watchdog_deb")"
done
grep -q "render_worker\$" <<<"$(dpkg-deb --contents "$sample_deb")" || fail "sample worker missing"
# The stand-in worker must never ride along in the product's package.
grep -q "bin/render_worker\$" <<<"$contents" && fail "the watchdog package carries a worker"

depends=$(dpkg-deb --field "$watchdog_deb" Depends)
for library in libqt6core6 libqt6network6; do
    grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done
for script in postinst prerm postrm; do
    dpkg-deb --info "$watchdog_deb" "$script" >/dev/null || fail "no $script"
done

root=$scratch/root
dpkg -x "$watchdog_deb" "$root"
binary=$root/opt/solvane/network-rendering/bin/render_worker_watchdog
"$binary" -h >/dev/null || fail "-h failed"
# -v looks at the control socket and the registry: those of a private namespace.
version=$(unshare -m sh -c 'mount -t tmpfs tmpfs /var/tmp && mount -t tmpfs tmpfs /etc/xdg && "$0" -v' "$binary")
grep -q "Solvane Render Worker" <<<"$version" || fail "-v printed: $version"
grep -Eq "^is (not )?installed and (not )?running" <<<"$version" || fail "-v printed: $version"

unit=$root/lib/systemd/system/render-worker-watchdog.service
grep -q "^ExecStart=/opt/solvane/network-rendering/bin/render_worker_watchdog\$" "$unit" \
    || fail "ExecStart: $(grep ExecStart "$unit")"
grep -q "^Environment=QTSERVICE_RUN=1\$" "$unit" || fail "the unit does not run the daemon itself"
if command -v systemd-analyze >/dev/null && [ -d /lib/systemd/system ]; then
    # Verified against the unpacked binary, since nothing is installed here.
    sed "s|^ExecStart=|ExecStart=$root|" "$unit" > "$scratch/render-worker-watchdog.service"
    systemd-analyze verify "$scratch/render-worker-watchdog.service" || fail "systemd-analyze verify"
else
    echo "systemd-analyze not available: unit not verified"
fi
echo "package checks passed"
