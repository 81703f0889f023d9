"""Times quarn's workloads with two builds of quarn, taking turns, in one run.

    python3 benchmarks/compare.py --base /path/to/venv-a/bin/python \
                                  --new  /path/to/venv-b/bin/python

Each interpreter imports the quarn installed in its own environment (or
the one its ``--base-path`` / ``--new-path`` folder holds, put first on
``sys.path``).  The run is made of rounds; in each round every workload is
timed once by each build, in a fresh process for each, alternately, so that
a slow spell of the machine falls on both alike.  A build's time is its
best over the rounds.  Prints a Markdown table with each workload's time for
both builds and the ratio new/base; a workload more than 5 % slower is
marked.  Timings never change the exit status.
"""
import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
KEYS = ('w1', 'w2', 'w3', 'w4', 'w5', 'w6')
SLOWER_LIMIT = 1.05

CHILD = r'''
import json, sys, timeit
sys.path[:0] = [p for p in sys.argv[1:3] if p]
import bench, peer_quarn, workloads
size = int(sys.argv[3])
times = {}
for w in bench.workload_list(size):
    validate, _ = getattr(peer_quarn, w.key)()
    data = w.data()
    timing = bench.Timing(validate, data, w.fails, w.number)
    timing.run()
    times[w.key] = timing.best
print(json.dumps(times))
'''


def time_once(python, extra_path, size):
    out = subprocess.run([python, '-c', CHILD, extra_path or '', HERE, str(size)],
                         check=True, stdout=subprocess.PIPE, universal_newlines=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--base', required=True, help='interpreter with the build compared against')
    parser.add_argument('--new', required=True, help='interpreter with the build measured')
    parser.add_argument('--base-path', help='folder put first on sys.path for the base build')
    parser.add_argument('--new-path', help='folder put first on sys.path for the new build')
    parser.add_argument('--rounds', type=int, default=7)
    parser.add_argument('--size', type=int, default=1000)
    args = parser.parse_args()
    best = {'base': {}, 'new': {}}
    for _ in range(args.rounds):
        for side, python, path in (('base', args.base, args.base_path), ('new', args.new, args.new_path)):
            for key, seconds in time_once(python, path, args.size).items():
                best[side][key] = min(seconds, best[side].get(key, seconds))
    print('| workload | base µs | new µs | new/base |')
    print('|---|---|---|---|')
    for key in KEYS:
        base, new = best['base'][key] * 1e6, best['new'][key] * 1e6
        ratio = new / base
        mark = '' if ratio <= SLOWER_LIMIT else ' (slower by more than 5 %)'
        print('| {} | {:,.2f} | {:,.2f} | {:.2f}×{} |'.format(key.upper(), base, new, ratio, mark))
    return 0


if __name__ == '__main__':
    sys.exit(main())
