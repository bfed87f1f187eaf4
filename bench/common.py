"""What the benchmark's modules share: sizes, names the bootstrapper uses, the install agent."""

import sys
import time

MiB = 1 << 20
MB = 1000 * 1000
CACHE_SUBDIR = ".velmor/app_installer_cache/V1904c/maci64"
UNPACK_PREFIX = "installagent.unpack-"
INSTALLER_NAME = "setup"
AGENT_FIRST_LINE = b"install agent started"
SLOW_RATE = "24m"  # nginx limit_rate for the throttled location: 24 MiB a second
SLOW_LABEL = "24 MiB/s"
# A link faster than nearly every user's, yet slower than hashing the archive on one core.
LINK_RATE = "200m"  # nginx limit_rate for the /link/ location: 200 MiB a second
LINK_LABEL = "200 MiB/s"

# The install agent: says its first line at once, then (when asked) notes the bootstrapper's own
# peak memory, its mappings and its time on CPU so far, found by walking up the parent chain to
# the process named INSTALLER_NAME, and what the run's temporary directory holds and whether the
# product archive it was handed is a symbolic link.
AGENT_SCRIPT = b"""#!/bin/sh
echo 'install agent started'
if [ -n "${QZ_BENCH_HWM_FILE:-}" ]; then
    p=$$
    while [ -n "$p" ] && [ "$p" -gt 1 ]; do
        if [ "$(sed -n 's/^Name:[[:space:]]*//p' /proc/$p/status)" = "%s" ]; then
            grep -E '^(VmHWM|VmRSS|Rss[A-Za-z]+):' /proc/$p/status > "$QZ_BENCH_HWM_FILE"
            cat /proc/$p/smaps > "$QZ_BENCH_HWM_FILE.smaps"
            cat /proc/$p/task/*/schedstat > "$QZ_BENCH_HWM_FILE.cpu"
            break
        fi
        p=$(sed -n 's/^PPid:[[:space:]]*//p' /proc/$p/status)
    done
fi
if [ -n "${QZ_BENCH_SCRATCH_FILE:-}" ]; then
    kind=file
    [ ! -L "$2" ] || kind=link
    echo "$(du -sk "$TMPDIR" | cut -f1) $kind" > "$QZ_BENCH_SCRATCH_FILE"
fi
exit 0
""" % INSTALLER_NAME.encode()


def now_ns() -> int:
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


def log(*args) -> None:
    print(*args, file=sys.stderr, flush=True)
