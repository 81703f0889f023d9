"""Times W6's record validated three ways a program may write it.

    PYTHONPATH=src python3 benchmarks/per_call.py [--repeat 7]

- ``held``: one ``Schema`` made once, ``schema.validate(record)``;
- ``wrapper per call``: the schema dict made once, a ``Schema`` per call,
  ``Schema(d).validate(record)``, as a parser that keeps its schema dict
  in a constant does;
- ``dict per call``: the schema dict itself made anew in every call, as a
  function that writes its schema inline does, plain and with an
  ``Optional`` key and a ``Use``.

The engine keeps what it learnt of a schema dict with the dict, so a
wrapper per call finds the compiled dict of the one before; a dict made
anew is compiled anew each time.  Prints the µs per call of each, best of
``--repeat``, and each one's ratio to ``held``.
"""
import argparse
import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workloads  # noqa: E402
from bench import best_in_turns  # noqa: E402
from quarn.utils.ordalin import Optional, Schema, Use  # noqa: E402


def w6_schema():
    return {'hostname': str, 'os': str, 'platform': str, 'port': int, 'enabled': bool,
            'timeout': float, 'retries': int, 'username': str, 'vrf': str, 'mtu': int}


def w6_schema_with_objects():
    return {'hostname': str, 'os': str, 'platform': str, 'port': int, 'enabled': bool,
            'timeout': float, 'retries': int, 'username': str, Optional('vrf'): str, 'mtu': Use(int)}


def callers(record):
    held = Schema(w6_schema())
    constant = w6_schema()
    return {
        'held': lambda: held.validate(record),
        'wrapper per call': lambda: Schema(constant).validate(record),
        'dict per call': lambda: Schema(w6_schema()).validate(record),
        'dict per call, objects': lambda: Schema(w6_schema_with_objects()).validate(record),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--repeat', type=int, default=7, help='timing repeats, best kept (default 7)')
    args = parser.parse_args()
    record = workloads.device_record()
    timers = {}
    for name, call in callers(record).items():
        if call() != record:
            sys.exit('{}: the result is not the record'.format(name))
        timers[name] = timeit.Timer(call)
    best = best_in_turns(timers, args.repeat)
    for name in timers:
        print('{:<24} {:8.2f} µs per call  {:6.2f}× held'.format(name, best[name] * 1e6, best[name] / best['held']))


if __name__ == '__main__':
    main()
