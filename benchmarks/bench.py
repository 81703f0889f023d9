"""Side-by-side timing of quarn's schema engine against pydantic v2, msgspec and voluptuous.

Runs workloads W1..W6 on every peer in one process, checks once per peer
that its schema accepts the data and gives the expected result (W5: that it
rejects the data), then times it with ``timeit`` (best of several repeats).
Prints a Markdown table, the peak memory of one W2 validation and the growth
of W3 from N to 10 N interfaces.

    PYTHONPATH=src python3 benchmarks/bench.py            # full run
    PYTHONPATH=src python3 benchmarks/bench.py --quick    # smoke test

Exit status: 0 when every check passed, 1 when a peer's result was wrong,
2 when a peer needed for a full run cannot be imported.  Timings never
change the exit status.
"""
import argparse
import collections
import gc
import importlib
import os
import platform
import sys
import timeit
import tracemalloc

import workloads

PEER_MODULES = collections.OrderedDict([
    ('quarn', 'peer_quarn'), ('pydantic', 'peer_pydantic'), ('msgspec', 'peer_msgspec'),
    ('voluptuous', 'peer_voluptuous')])

# Each: key, what it is, input builder, expected-result builder (None: the
# input itself), whether validation must fail, floor (None: no floor), calls
# per timing run (None: as many as fill 0.2 s).
Workload = collections.namedtuple('Workload', 'key title data expected fails floor number')


def _copy_dict(data):
    return dict(data)


def workload_list(size):
    return [
        Workload('w1', 'flat {str: int}, %d keys' % size,
                 lambda: workloads.flat_int_map(size), None, False, _copy_dict, None),
        Workload('w2', 'interfaces, %d' % size,
                 lambda: workloads.interfaces(size), None, False, None, None),
        Workload('w3', 'interfaces + Default/Fallback, %d' % size,
                 lambda: workloads.interfaces_with_defaults(size),
                 lambda: workloads.interfaces_with_defaults_expected(size), False, None, None),
        Workload('w4', 'Or / And+Use(len) / Use(int), %d' % size,
                 lambda: workloads.conversions(size),
                 lambda: workloads.conversions_expected(size), False, None, None),
        Workload('w5', 'W2, bad last counter (to error)',
                 lambda: workloads.bad_interfaces(size), None, True, None, None),
        Workload('w6', '10-key flat record, per call (10,000 calls a run)',
                 workloads.device_record, None, False, _copy_dict, 10000),
    ]


# Targets of the engine, as ratios; printed next to the measurements, never
# enforced.
PYDANTIC_TARGETS = dict.fromkeys(('w1', 'w2', 'w3', 'w4', 'w5', 'w6'), 0.5)
MSGSPEC_TARGETS = dict.fromkeys(('w1', 'w2', 'w3', 'w4', 'w5', 'w6'), 1.0)
FLOOR_TARGETS = {'w1': 2.0}
SCALING_TARGET = 12.0
MEMORY_TARGET = 1.5


class Peer(object):
    def __init__(self, name, module):
        self.name = name
        self.module = module
        self.version = getattr(module, 'VERSION', None) or _distribution_version(name)

    def build(self, key):
        return getattr(self.module, key)()


def _distribution_version(name):
    try:
        from importlib import metadata
    except ImportError:
        try:
            import importlib_metadata as metadata
        except ImportError:
            return '?'
    try:
        return metadata.version(name)
    except Exception:
        return 'in-place build'


def load_peers(wanted, quick):
    peers, missing = [], []
    for name in wanted:
        try:
            peers.append(Peer(name, importlib.import_module(PEER_MODULES[name])))
        except ImportError as exc:
            if name == 'quarn':
                sys.exit('cannot import quarn ({}); build it in place and run with '
                         'PYTHONPATH=src, see benchmarks/README.md'.format(exc))
            missing.append('{} ({})'.format(name, exc))
    if missing and not quick:
        sys.exit('peers not importable: {}; pip install -r benchmarks/requirements.txt, '
                 'or leave them out with --peers'.format(', '.join(missing)))
    return peers, missing


# -- correctness ------------------------------------------------------------

def check(peer, workload, validate, normalize, data, expected):
    """Returns None when the peer does what the workload asks, else why not."""
    try:
        result = validate(data)
    except Exception as exc:
        if workload.fails and peer.module.is_validation_error(exc):
            return None
        return 'raised {}: {}'.format(type(exc).__name__, _short(exc))
    if workload.fails:
        return 'accepted the bad data'
    result = normalize(result)
    if result != expected:
        return 'wrong result: {}'.format(_first_difference(expected, result))
    return None


def _short(exc, limit=160):
    text = str(exc).replace('\n', ' ')
    return text if len(text) <= limit else text[:limit] + '...'


def _first_difference(expected, got, path=()):
    if isinstance(expected, dict) and isinstance(got, dict):
        for key in expected:
            if key not in got:
                return 'missing {}'.format(list(path + (key,)))
            if expected[key] != got[key]:
                return _first_difference(expected[key], got[key], path + (key,))
        extra = [key for key in got if key not in expected]
        return 'unexpected {}'.format(list(path + (extra[0],))) if extra else 'differs'
    return 'at {}: expected {!r}, got {!r}'.format(list(path), expected, got)


# -- timing -----------------------------------------------------------------

def _until_error(validate, data):
    try:
        validate(data)
    except Exception:
        return
    raise AssertionError('validation did not fail')


class Timing(object):
    """Timed calls of one validator on one input: ``run()`` times one repeat
    of ``number`` calls and keeps the best time of one call so far.
    ``number`` is chosen so that a repeat takes at least 0.2 s when not given."""

    def __init__(self, validate, data, fails, number=None):
        statement = '_until_error(validate, data)' if fails else 'validate(data)'
        self.timer = timeit.Timer(statement, globals={
            'validate': validate, 'data': data, '_until_error': _until_error})
        self.number = number or self.timer.autorange()[0]
        self.best = None

    def run(self):
        seconds = self.timer.timeit(self.number) / self.number
        self.best = seconds if self.best is None else min(self.best, seconds)


def take_turns(timings, repeat):
    """Runs ``repeat`` repeats of every timing, one repeat of each in turn:
    a slow spell of the machine (frequent on a shared one) then falls on all
    of them alike instead of on whichever ran during it."""
    for _ in range(repeat):
        for timing in timings:
            timing.run()


def best_in_turns(timers, repeat):
    """The best seconds per call of each of ``timers`` (a dict of
    ``timeit.Timer``, each timing one call), in ``repeat`` rounds taken in
    turns as by take_turns, each timing as many calls as fill 0.2 s.  The
    order alternates from round to round: the first timing of a round tends
    to be slower."""
    numbers = {name: timer.autorange()[0] for name, timer in timers.items()}
    best = {name: float('inf') for name in timers}
    names = list(timers)
    for round_ in range(repeat):
        for name in (names if round_ % 2 else names[::-1]):
            best[name] = min(best[name], timers[name].timeit(numbers[name]) / numbers[name])
    return best


def slow_call(validate, data):
    """Seconds of one call, right after a warm-up call on the same data."""
    validate(data)
    timing = Timing(validate, data, False, 1)
    timing.run()
    return timing.best


# -- memory -----------------------------------------------------------------

def _reachable(root):
    """Every object reachable from ``root`` through dicts, lists, tuples and
    sets, each once, keyed by id."""
    seen, todo = {}, [root]
    while todo:
        obj = todo.pop()
        if id(obj) in seen:
            continue
        seen[id(obj)] = obj
        if isinstance(obj, dict):
            todo.extend(obj.keys())
            todo.extend(obj.values())
        elif isinstance(obj, (list, tuple, set, frozenset)):
            todo.extend(obj)
    return seen


def deep_sizeof(root, exclude=None):
    """Sum of ``sys.getsizeof`` over the objects reachable from ``root``,
    leaving out those in ``exclude`` (a dict keyed by id)."""
    exclude = exclude or {}
    return sum(sys.getsizeof(obj) for key, obj in _reachable(root).items() if key not in exclude)


def peak_memory(validate, data):
    """Peak of memory traced by tracemalloc during one call, above what was
    allocated before it, and the result of that call."""
    validate(data)  # warm-up: lazily built state is not part of a call
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        result = validate(data)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    return peak - before, result


# -- report -----------------------------------------------------------------

def fmt_us(seconds):
    if seconds is None:
        return '—'
    micro = seconds * 1e6
    return '{:,.0f}'.format(micro) if micro >= 100 else '{:.2f}'.format(micro)


def fmt_ratio(numerator, denominator):
    if numerator is None or denominator is None:
        return '—'
    return '{:.2f}×'.format(numerator / denominator)


def verdict(ratio, target):
    if ratio is None or target is None:
        return ''
    return ' (≤{:g}: {})'.format(target, 'met' if ratio <= target else 'MISSED')


def header(peers, missing, args):
    lines = ['Python {} ({}), {}'.format(platform.python_version(),
                                          platform.python_implementation(), platform.platform()),
             'peers: ' + ', '.join('{} {}'.format(p.name, p.version) for p in peers)]
    if missing:
        lines.append('left out (not importable): ' + ', '.join(missing))
    if hasattr(os, 'getloadavg'):
        lines.append('load average before the run: {:.2f} {:.2f} {:.2f}, {} CPUs'
                     .format(*(os.getloadavg() + (os.cpu_count(),))))
    mode = 'quick (one call each, timings meaningless)' if args.quick else \
        'best of {} repeats taken in turns, each >= 0.2 s of calls (W6: 10,000)'.format(args.repeat)
    lines.append('mode: {}; {} interfaces/entries/keys per workload'.format(mode, args.size))
    return '\n'.join(lines)


def table(rows, peers):
    names = [p.name for p in peers]
    columns = ['workload'] + ['{} µs'.format(n) for n in names]
    ratios = [(n, targets) for n, targets in (('pydantic', PYDANTIC_TARGETS),
                                              ('msgspec', MSGSPEC_TARGETS)) if n in names]
    columns += ['quarn/' + n for n, _ in ratios]
    columns += ['floor µs', 'quarn/floor']
    lines = ['| ' + ' | '.join(columns) + ' |', '|' + '---|' * len(columns)]
    for row in rows:
        times = row['times']
        cells = ['{} {}'.format(row['workload'].key.upper(), row['workload'].title)]
        cells += [row['errors'].get(n) and 'FAILED' or fmt_us(times.get(n)) for n in names]
        for name, targets in ratios:
            ratio = _ratio(times.get('quarn'), times.get(name))
            cells.append(fmt_ratio(times.get('quarn'), times.get(name))
                         + verdict(ratio, targets.get(row['workload'].key)))
        floor = row['floor']
        ratio = _ratio(times.get('quarn'), floor)
        cells += [fmt_us(floor), fmt_ratio(times.get('quarn'), floor)
                  + verdict(ratio, FLOOR_TARGETS.get(row['workload'].key))]
        lines.append('| ' + ' | '.join(cells) + ' |')
    return '\n'.join(lines)


def _ratio(numerator, denominator):
    if numerator is None or denominator is None or denominator == 0:
        return None
    return numerator / denominator


# -- the run ----------------------------------------------------------------

def run_workloads(peers, args, failures):
    rows = []
    for workload in workload_list(args.size):
        repeat, number = (1, 1) if args.quick else (args.repeat, workload.number)
        data = workload.data()
        expected = workload.expected() if workload.expected else workload.data()
        row = {'workload': workload, 'times': {}, 'errors': {}, 'floor': None}
        timings = collections.OrderedDict()
        for peer in peers:
            validate, normalize = peer.build(workload.key)
            problem = check(peer, workload, validate, normalize, data, expected)
            if problem:
                row['errors'][peer.name] = problem
                failures.append('{} {}: {}'.format(workload.key.upper(), peer.name, problem))
                continue
            timings[peer.name] = Timing(validate, data, workload.fails, number)
        if workload.floor:
            timings[None] = Timing(workload.floor, data, False, number)
        take_turns(list(timings.values()), repeat)
        row['floor'] = timings.pop(None).best if None in timings else None
        row['times'] = dict((name, t.best) for name, t in timings.items())
        rows.append(row)
        print('  {} done'.format(workload.key.upper()), file=sys.stderr, flush=True)
    return rows


def run_memory(peers):
    data = workloads.interfaces(1000)
    lines = []
    for peer in peers:
        validate, _ = peer.build('w2')
        peak, result = peak_memory(validate, data)
        if not isinstance(result, dict):
            lines.append('  {}: peak {:,} B; result of its own types, not sized'.format(peer.name, peak))
            continue
        whole = deep_sizeof(result)
        new = deep_sizeof(result, exclude=_reachable(data))
        line = ('  {}: peak {:,} B; result {:,} B deep ({}), {:,} B of it new objects ({})'
                .format(peer.name, peak, whole, fmt_ratio(peak, whole), new, fmt_ratio(peak, new)))
        if peer.name == 'quarn':
            line += verdict(_ratio(peak, whole), MEMORY_TARGET)
        lines.append(line)
        del result
    return lines


def run_scaling(peers, args, failed, failures):
    """W3 at two sizes per peer, each call timed right after a warm-up call
    of the same size, the sizes taken in turns (best of ``--repeat``).  A
    peer whose W3 check already failed is left out, and so is a large size
    that would take more than the budget if the time grew with the square
    of the size."""
    small, large = (100, 1000) if args.quick else (args.size, args.scale_size)
    repeat = 1 if args.quick else args.repeat
    growth = float(large) / small
    lines = []
    for peer in peers:
        if peer.name in failed:
            lines.append('  {}: not measured (W3 check failed)'.format(peer.name))
            continue
        validate, normalize = peer.build('w3')
        inputs = {}
        for size in (small, large):
            data = workloads.interfaces_with_defaults(size)
            problem = check(peer, workload_list(size)[2], validate, normalize, data,
                            workloads.interfaces_with_defaults_expected(size))
            if problem:
                failures.append('W3 at {} {}: {}'.format(size, peer.name, problem))
                lines.append('  {}: not measured (W3 check at {} failed)'.format(peer.name, size))
                break
            inputs[size] = data
        if len(inputs) < 2:
            continue
        first = slow_call(validate, inputs[small])
        if first * growth ** 2 > args.budget:
            lines.append('  {}: {} s at {}; {} skipped: ~{:.0f} s per call if quadratic'.format(
                peer.name, fmt_s(first), small, large, first * growth ** 2))
            continue
        times = {small: first, large: slow_call(validate, inputs[large])}
        # Slow calls are not repeated (5 s and more).
        for _ in range(repeat - 1 if times[large] < 5.0 else 0):
            for size in (small, large):
                times[size] = min(times[size], slow_call(validate, inputs[size]))
        ratio = times[large] / times[small]
        line = '  {}: {} s at {}, {} s at {}: {:.1f}×'.format(
            peer.name, fmt_s(times[small]), small, fmt_s(times[large]), large, ratio)
        if peer.name == 'quarn':
            line += verdict(ratio, SCALING_TARGET)
        lines.append(line)
    return small, large, lines


def fmt_s(seconds):
    return '{:.4f}'.format(seconds)


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--quick', action='store_true',
                        help='one call per workload and peer: a smoke test, no meaningful timings')
    parser.add_argument('--peers', default=','.join(PEER_MODULES),
                        help='comma-separated subset of: ' + ', '.join(PEER_MODULES))
    parser.add_argument('--size', type=int, default=1000,
                        help='interfaces / entries / keys per workload (default 1000)')
    parser.add_argument('--scale-size', type=int, default=10000,
                        help='larger W3 size for the scaling measurement (default 10000)')
    parser.add_argument('--repeat', type=int, default=7, help='timing repeats, best kept (default 7)')
    parser.add_argument('--budget', type=float, default=60.0,
                        help='seconds one large W3 call may be expected to take before it is skipped')
    args = parser.parse_args(argv)
    args.peers = [name.strip() for name in args.peers.split(',') if name.strip()]
    unknown = [name for name in args.peers if name not in PEER_MODULES]
    if unknown:
        parser.error('unknown peers: ' + ', '.join(unknown))
    if 'quarn' not in args.peers:
        parser.error('quarn is the engine under test and cannot be left out')
    return args


def main(argv=None):
    args = parse_args(argv)
    peers, missing = load_peers(args.peers, args.quick)
    failures = []
    print(header(peers, missing, args))
    print(flush=True)
    rows = run_workloads(peers, args, failures)
    print(table(rows, peers))
    print()
    print('Peak memory of one W2 validation (tracemalloc) against the size of its result:')
    for line in run_memory(peers):
        print(line)
    w3_failed = [name for row in rows if row['workload'].key == 'w3' for name in row['errors']]
    small, large, lines = run_scaling(peers, args, w3_failed, failures)
    print('W3 time per call, {} against {} interfaces:'.format(small, large))
    for line in lines:
        print(line)
    if failures:
        print()
        print('CHECKS FAILED (not timed):')
        for failure in failures:
            print('  ' + failure)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
