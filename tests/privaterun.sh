#!/bin/sh
# Runs a test in a private mount namespace with a /run of its own, where the
# daemons it starts take their locks: as root those would otherwise lie in
# the machine's /run, beside a real service's. Without root or unshare the
# locks lie in the user's runtime folder, and the test runs as it is.
if [ "$(id -u)" = 0 ] && unshare --mount --propagation private true 2>/dev/null; then
    exec unshare --mount --propagation private sh -c 'mount -t tmpfs -o mode=755 tmpfs /run && exec "$@"' sh "$@"
fi
exec "$@"
