"""Validation with many schemas alive at once, and with a wrapper per call.

A program that validates with thousands of schemas (one per parser, say)
takes them in turn; another wraps a module-level schema dict anew for each
call, ``Schema(SCHEMA).validate(data)``.  Prints the time per call for
each, so that two builds can be compared in one run:

    PYTHONPATH=src python3 benchmarks/many_schemas.py
"""
import argparse
import time

from quarn.utils.ordalin import Optional, Schema


def schema(i):
    return {'hostname': str, 'port': int, 'enabled': bool, 'timeout': float,
            Optional('vrf'): str, 'tag%d' % i: {'a': int, 'b': str}}


def record(i):
    return {'hostname': 'r1', 'port': 22, 'enabled': True, 'timeout': 3.0, 'vrf': 'm',
            'tag%d' % i: {'a': 1, 'b': 'x'}}


def best_per_call(run, calls, repeat):
    best = float('inf')
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, (time.perf_counter() - start) / calls)
    return best * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--calls', type=int, default=20000, help='calls per timing (default 20000)')
    parser.add_argument('--repeat', type=int, default=5)
    args = parser.parse_args()
    print('| case | µs per call |')
    print('|---|---|')
    for count in (10, 500, 5000):
        pairs = [(Schema(schema(i)), record(i)) for i in range(count)]
        rounds = max(1, args.calls // count)

        def run():
            for _ in range(rounds):
                for s, d in pairs:
                    s.validate(d)
        run()
        print('| %d schemas in turn | %.2f |' % (count, best_per_call(run, rounds * count, args.repeat)))
    shared, data = schema(0), record(0)

    def wrapped():
        for _ in range(args.calls):
            Schema(shared).validate(data)
    wrapped()
    print('| Schema(d).validate(x), a wrapper per call | %.2f |' % best_per_call(wrapped, args.calls, args.repeat))


if __name__ == '__main__':
    main()
