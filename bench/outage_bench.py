#!/usr/bin/env python3
"""Delivery after an outage: how long after its target comes back does the
latest value arrive, and does anything stale arrive?

One push task sends to a receiver on 127.0.0.1 whose port stays bound while it
is "down", so connection attempts are refused, as with a web server that is
restarting. For each outage length L:
  * "one": two values are pushed at the start of the outage (the first is stale
    at once), and the target returns after L seconds;
  * "every 0.5s": a new value is pushed every 0.5 s throughout the outage.
The figure is the time from the target's return (its listen()) to the arrival
of the latest value. Retries wait 1 s, doubling to 60 s, counted from the last
change, so for "one" it lies between 0 and the wait running at the return. A
last round with retry_unreachable_targets=0 shows the behaviour without
retries: the value waits for the next change.

Usage: bench/outage_bench.py PATH/TO/quillrade [--lengths 0.5 2 5 10 20]
Standard library only (and the helpers of quillrade_bench.py beside it);
everything listens on 127.0.0.1. Exits 1 when a stale value arrives or a latest
value does not.
"""
import argparse
import os
import sys
import tempfile
import time
import urllib.parse

from quillrade_bench import Receiver, send_push, start

CHANGE_GAP_S = 0.5
# Longest wait between two tries (the program's cap) plus room for a slow pass.
DELIVERY_LIMIT_S = 65.0
# Longer than the first retry wait: a stale try after the delivery would show.
QUIET_S = 1.2


def push_task_config(receiver, retry):
    return ("[global]\nretry_unreachable_targets=%d\n"
            "[Input0]\ntype=push\ntext0=line=0\n"
            "[Output0]\nformat0=%%text0%%\nUrl0=%s/v?x=%%format0%%\n" % (retry, receiver.base_url()))


def outage_round(program, receiver, name, length, changing, limit=DELIVERY_LIMIT_S):
    """One outage; returns (seconds from return to delivery or None, stale targets)."""
    port = program.port("http")
    before = receiver.targets()
    receiver.go_down()
    begin = time.monotonic()
    values = ["%s-stale" % name, "%s-0" % name]
    for value in values:
        send_push(port, value)
    while changing and time.monotonic() - begin + CHANGE_GAP_S < length:
        time.sleep(CHANGE_GAP_S)
        values.append("%s-%d" % (name, len(values) - 1))
        send_push(port, values[-1])
    time.sleep(max(0.0, length - (time.monotonic() - begin)))
    latest = "/v?x=" + urllib.parse.quote(values[-1])
    returned = receiver.come_back()
    arrived = receiver.wait_target(latest, limit)
    time.sleep(QUIET_S)
    stale = receiver.targets() - before - {latest}
    return (None if arrived is None else arrived - returned), stale


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary")
    parser.add_argument("--lengths", type=float, nargs="+", default=[0.5, 2, 5, 10, 20])
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)

    failed = False
    print("load average at start: %.2f" % os.getloadavg()[0])
    print("%-10s %-11s %-20s %s" % ("outage s", "changes", "return -> delivery", "stale arrivals"))
    receiver = Receiver()
    with tempfile.TemporaryDirectory(prefix="quillrade-outage-") as folder:
        program = start(binary, folder, push_task_config(receiver, 1), receiver, 0)
        try:
            for i, length in enumerate(args.lengths):
                for changing in (False, True):
                    name = "r%d%s" % (i, "c" if changing else "o")
                    delay, stale = outage_round(program, receiver, name, length, changing)
                    shown = "NOT DELIVERED" if delay is None else "%.0f ms" % (delay * 1000)
                    print("%-10g %-11s %-20s %d" % (length, "every 0.5s" if changing else "one",
                                                   shown, len(stale)))
                    failed = failed or delay is None or bool(stale)
        finally:
            program.stop()

        program = start(binary, folder, push_task_config(receiver, 0), receiver, 0)
        try:
            delay, _ = outage_round(program, receiver, "off", 2, False, limit=5)
            shown = "not delivered" if delay is None else "%.0f ms" % (delay * 1000)
            print("retry_unreachable_targets=0, 2 s outage: %s within 5 s" % shown)
        finally:
            program.stop()
    receiver.close()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
