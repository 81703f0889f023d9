"""Times ``Schema.iter_errors`` against ``validate`` on W2's valid data.

    PYTHONPATH=src python3 benchmarks/iter_errors_w2.py [--size 1000] [--repeat 7]

Both run on the same W2 schema and data, in turns (one repeat of each, in
an order that alternates from round to round), best of ``--repeat``; each repeat runs as many calls as
fill 0.2 s.  Prints the µs per call of each and their ratio.
"""
import argparse
import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workloads  # noqa: E402
from bench import best_in_turns  # noqa: E402
from quarn.utils.ordalin import Any, Schema  # noqa: E402
from peer_quarn import _interface_schema  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--size', type=int, default=1000, help='interfaces (default 1,000)')
    parser.add_argument('--repeat', type=int, default=7, help='timing repeats, best kept (default 7)')
    args = parser.parse_args()
    schema = Schema({'interfaces': {Any(): _interface_schema()}})
    data = workloads.interfaces(args.size)
    schema.validate(data)
    if list(schema.iter_errors(data)):
        sys.exit('iter_errors found errors in valid data')
    timers = {'validate': timeit.Timer(lambda: schema.validate(data)),
              'iter_errors': timeit.Timer(lambda: list(schema.iter_errors(data)))}
    best = best_in_turns(timers, args.repeat)
    for name in timers:
        print('{:<12} {:10.1f} µs per call'.format(name, best[name] * 1e6))
    print('iter_errors / validate: {:.3f}'.format(best['iter_errors'] / best['validate']))


if __name__ == '__main__':
    main()
