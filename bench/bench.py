#!/usr/bin/env python3
"""The bootstrapper's benchmarks, each against a baseline made of the usual tools.

Run through bench/run.sh, which builds the program and installs what is missing. By hand:

    bench.py --bootstrapper BUILD/src/bootstrapper [--release-bootstrapper PROGRAM]
             [--runs N] [--out bench/results.md]

Everything this script makes lies under one scratch directory on tmpfs (/dev/shm by default,
BENCH_TMP to change), which is removed at the end. See bench/README.md for what each figure means.
"""

import argparse
import datetime
import os
import signal
import sys
import time

sys.dont_write_bytecode = True  # nothing written beside the sources
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
# The modules beside this one, imported only now so that they leave no bytecode either.
import fig_arm64  # noqa: E402
import fig_memory  # noqa: E402
import fig_network  # noqa: E402
import fig_paths  # noqa: E402
import fig_redraws  # noqa: E402
import fig_signed  # noqa: E402
import fig_single_file  # noqa: E402
from common import log  # noqa: E402
from harness import Bench  # noqa: E402
from report import compose, load_average  # noqa: E402

# The groups of figures, in the order they run and appear in the table.
GROUPS = (("download", fig_paths.download_throughput), ("cache", fig_paths.cache_hit),
          ("bundle", fig_paths.bundle_path), ("signed-download", fig_signed.signed_download),
          ("signed-bundle", fig_signed.signed_bundle),
          ("single-file", fig_single_file.single_file), ("memory", fig_memory.memory),
          ("redraws", fig_redraws.redraws), ("network", fig_network.network_faults),
          ("arm64", fig_arm64.arm64))


def on_signal(signum, _frame):
    raise SystemExit(128 + signum)


def main() -> int:
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bootstrapper", required=True)
    parser.add_argument("--bootstrapper-without-gtk",
                        help="the same program built without GTK, for diagnostic rows")
    parser.add_argument("--release-bootstrapper",
                        help="the release program (build-release/bootstrapper), measured beside "
                             "the development build in the same rounds")
    parser.add_argument("--release-info", default="",
                        help="a line about the release program, for the report")
    parser.add_argument("--arm64-bootstrapper",
                        help="the arm64 release program, run by qemu-user for its size and memory")
    parser.add_argument("--arm64-root", default="",
                        help="where the arm64 program's C library is (QEMU_LD_PREFIX)")
    parser.add_argument("--arm64-info", default="",
                        help="a line about the arm64 program, for the report")
    parser.add_argument("--runs", type=int, default=int(os.environ.get("BENCH_RUNS", "5")))
    parser.add_argument("--out", help="write the markdown results here")
    parser.add_argument("--draw-counter", help="the LD_PRELOAD library that counts GTK draws")
    parser.add_argument("--build-info", default="", help="a line about the build, for the report")
    parser.add_argument("--keep", action="store_true", help="keep the scratch directory")
    parser.add_argument("--only", default="",
                        help="comma-separated: " + ",".join(name for name, _ in GROUPS))
    args = parser.parse_args()
    if args.out:
        args.out = os.path.abspath(args.out)

    bench = Bench(args)
    started = datetime.datetime.now().astimezone()
    load_before = load_average()
    t0 = time.monotonic()
    only = set(filter(None, args.only.split(",")))
    try:
        log(f"setting up in {bench.root} ({bench.fs})")
        bench.setup()
        for name, group in GROUPS:
            if not only or name in only:
                log(f"{name}:")
                group(bench)
    finally:
        bench.teardown()
    report = compose(bench, args, started, load_before, load_average(), time.monotonic() - t0)
    print(report)
    if args.out:
        with open(args.out, "w") as f:
            f.write("# Benchmark results\n\n" + report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
