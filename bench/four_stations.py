#!/usr/bin/env python3
"""Four stations at one desk: is each as fast as it is alone?

Runs orvelle-card batch --json against paced simulators (orvelle-sim --pace),
first one station alone, then four at once on one SQLite ledger, each with its
own simulator. A feeder per station plays the operator through the
simulator's console: a blank card in, and once the station says "remove", the
card out and the next one in. Prints each station's median card time
(duration_ms of its done events) and its ratio to the station alone.

    python3 bench/four_stations.py [--build build] [--cards 12] [--pace 5]

A benchmark, not a test: the figures depend on the machine and its load.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading


def start_sim(build, folder, name, pace):
    link = os.path.join(folder, name)
    sim = subprocess.Popen([os.path.join(build, "orvelle-sim"), "--port", link, "--pace", str(pace), "-q"],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    # The simulator says where it serves before anything else.
    for line in sim.stdout:
        if "linked as" in line:
            break
    threading.Thread(target=lambda: [None for _ in sim.stdout], daemon=True).start()
    return sim, link


def say(sim, line):
    sim.stdin.write(line + "\n")
    sim.stdin.flush()


def run_station(build, sim, link, folder, template, data, ledger, station, cards, times, first_serial):
    say(sim, "blank %08X" % first_serial)
    serial = first_serial
    batch = subprocess.Popen([os.path.join(build, "orvelle-card"), "--port", link, "--json", "batch", template, "--data", data,
                              "--batch", "desk", "--station", station, "--ledger", ledger, "--count", str(cards)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for line in batch.stdout:
        event = json.loads(line)
        if event.get("event") == "done":
            times.append(event["duration_ms"])
        elif event.get("event") == "failed":
            print("%s: failed: %s" % (station, event.get("detail")), file=sys.stderr)
        elif event.get("event") == "remove":
            serial += 1
            say(sim, "remove")
            say(sim, "blank %08X" % serial)
    batch.wait()
    if batch.returncode not in (0, 1):
        print("%s: exit %d: %s" % (station, batch.returncode, batch.stderr.read()), file=sys.stderr)


def phase(build, folder, template, data, ledger, sims, cards):
    times = [[] for _ in sims]
    threads = [threading.Thread(target=run_station,
                                args=(build, sim, link, folder, template, data, ledger, "desk-%d" % (i + 1), cards, times[i],
                                      0x10000000 * (i + 1) + len(os.listdir(folder)) * 0x1000))
               for i, (sim, link) in enumerate(sims)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--cards", type=int, default=12)
    parser.add_argument("--pace", type=int, default=5)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        for variable in ("XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME"):
            os.environ[variable] = os.path.join(folder, variable.lower())
        data = os.path.join(folder, "cards.csv")
        with open(data, "w") as out:
            out.write("number,block 4,block 5,block 8\n")
            for row in range(1, 5 * 4 * options.cards + 1):
                out.write("%d,%032X,%032X,%032X\n" % (row, row, row * 7, row * 13))
        sims = [start_sim(options.build, folder, "reader%d" % n, options.pace) for n in range(1, 5)]
        template = os.path.join(folder, "template.txt")
        subprocess.run([os.path.join(options.build, "orvelle-card"), "--port", sims[0][1], "read", template],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        ledger = os.path.join(folder, "ledger.sqlite")
        alone = phase(options.build, folder, template, data, ledger, sims[:1], options.cards)[0]
        together = phase(options.build, folder, template, data, ledger, sims, options.cards)
        for sim, _ in sims:
            say(sim, "quit")
        base = statistics.median(alone)
        print("station   cards   median card ms   ratio to alone")
        print("alone     %5d   %14.0f   %14s" % (len(alone), base, "1.00"))
        for i, times in enumerate(together):
            median = statistics.median(times) if times else float("nan")
            print("desk-%d    %5d   %14.0f   %14.2f" % (i + 1, len(times), median, median / base))


if __name__ == "__main__":
    main()
