#!/bin/sh
# Runs a test in namespaces of its own: a private mount namespace with a /run
# of its own, where the daemons it starts take their locks (as root those
# would otherwise lie in the machine's /run, beside a real service's), and a
# PID namespace, so that every daemon and worker the test started dies with
# it, also when CTest kills it at its timeout (--kill-child: the namespace's
# first process gets SIGKILL when unshare goes, and all others with it).
# Where it can be had, a network namespace too: abstract socket addresses
# (systemd's notify socket, as the tests play it) belong to one, and tests
# running side by side must not receive each other's daemons' datagrams. Its
# loopback is brought up, for the tests that serve or scrape on 127.0.0.1.
# Without root or unshare the locks lie in the user's runtime folder, and the
# test runs as it is.
if [ "$(id -u)" = 0 ]; then
    for net in --net ""; do
        if unshare ${net:+"$net"} --mount --propagation private --pid --fork --kill-child --mount-proc true 2>/dev/null; then
            # shellcheck disable=SC2016 # expanded by the inner shell
            exec unshare ${net:+"$net"} --mount --propagation private --pid --fork --kill-child --mount-proc \
                sh -c 'mount -t tmpfs -o mode=755 tmpfs /run || exit 1
                       if [ -n "$0" ]; then PATH="$PATH:/usr/sbin:/sbin" ip link set lo up 2>/dev/null || true; fi
                       exec "$@"' "$net" "$@"
        fi
    done
fi
exec "$@"
