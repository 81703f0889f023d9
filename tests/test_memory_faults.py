"""Every public entry point of both extensions meets a failed allocation
cleanly: the N-th allocation of the call fails (once, or every one from N
on), for every N the call reaches.

A run passes when the call gives its normal outcome or raises an exception
whose chain holds a MemoryError, no SystemError appears (raised or
unraisable), the call's input data is unchanged, and the next call, with
memory back, gives the normal outcome again.  Each entry point runs in its
own subprocess under PYTHONMALLOC=debug; a crash there names the N it died
at.  Needs CPython's _testcapi (set QUARN_MEMORY_FAULTS=0 to leave it out).

The interpreter's own eval loop sometimes loses an exception while it
unwinds under a failed allocation (even `int('x')` then gives "SystemError:
error return without exception set", on 3.11 to 3.13).  That message is
the eval loop's alone: a C function that returns NULL without an exception
is reported as "... returned NULL without setting an exception".  So that
one SystemError is counted and tolerated; any other fails the run.
"""
import os
import subprocess
import sys
import textwrap

import pytest

RUNNER = textwrap.dedent(r'''
    import copy, sys, _testcapi
    setup, call = sys.argv[1], sys.argv[2]
    ns = {}
    exec(setup, ns)
    code = compile(call, '<call>', 'eval')
    inputs = ns.get('INPUTS', ())

    def outcome():
        try:
            return ('ok', repr(eval(code, ns)))
        except Exception as e:
            return ('raised', type(e).__name__, str(e))

    def chain(e):
        seen = []
        while e is not None and all(e is not s for s in seen):
            seen.append(e)
            e = e.__cause__ or e.__context__
        return seen

    unraisable = []
    sys.unraisablehook = lambda u: unraisable.append(u.exc_type)
    normal = outcome()
    before = [copy.deepcopy(ns[name]) for name in inputs]
    problems = []
    counts = {'lost by the interpreter': 0}

    def run(n, every_one_after):
        """Fails the n-th allocation (and all later ones): True when the call
        made fewer than n allocations (it ran through unharmed)."""
        sys.stdout.write('at %d %s\n' % (n, 'all' if every_one_after else 'one'))
        sys.stdout.flush()
        error = result = None
        _testcapi.set_nomemory(n, 0 if every_one_after else n + 1)
        try:
            result = eval(code, ns)
        except BaseException as e:
            error = e
        finally:
            _testcapi.remove_mem_hooks()
        where = '%s N=%d' % ('all from' if every_one_after else 'only', n)
        unharmed = False
        if error is None:
            got = ('ok', repr(result))
            unharmed = got == normal
            if not unharmed:
                problems.append('%s: returned %r, normally %r' % (where, got[1], normal))
        elif ('raised', type(error).__name__, str(error)) == normal:
            unharmed = True
        else:
            kinds = [type(e) for e in chain(error)]
            lost = [e for e in chain(error) if isinstance(e, SystemError)
                    and str(e) == 'error return without exception set']
            if lost and len(lost) == kinds.count(SystemError):
                counts['lost by the interpreter'] += 1
            elif SystemError in kinds:
                import traceback
                problems.append('%s: SystemError %r\n%s' % (where, error, ''.join(
                    traceback.format_exception(type(error), error, error.__traceback__))))
            elif MemoryError not in kinds:
                problems.append('%s: %r without a MemoryError in its chain' % (where, error))
        if any(issubclass(t, SystemError) for t in unraisable):
            problems.append('%s: an unraisable SystemError' % where)
        del unraisable[:]
        for name, was in zip(inputs, before):
            if ns[name] != was:
                problems.append('%s: %s was changed to %r' % (where, name, ns[name]))
                ns[name] = copy.deepcopy(was)
        after = outcome()
        if after != normal:
            problems.append('%s: the next call gave %r, normally %r' % (where, after, normal))
        return unharmed

    # Every allocation from N on fails: the first N that leaves the call
    # unharmed is past its last allocation, so the single-failure sweep
    # needs to go no further.
    reached = 0
    while reached < 50000 and not run(reached, True):
        reached += 1
    for n in range(reached):
        run(n, False)
    for p in problems[:20]:
        print('PROBLEM ' + p)
    print('swept %d allocations, %d problems, %d exceptions lost by the interpreter'
          % (reached, len(problems), counts['lost by the interpreter']))
''')

SCHEMAS = ('from quarn.utils.ordalin import '
           'And, Any, Default, Fallback, Optional, Or, Path, PathAwareUse, PathValidatingSchema, Schema, Use\n'
           'from quarn.utils.exceptions import SchemaError, SchemaTypeError\n')
# The logging module's Python code can spin in the interpreter's own
# exception handling when every allocation fails: the warnings are kept out.
TESTBED = textwrap.dedent('''
    import logging
    logging.disable(logging.CRITICAL)
    from quarn.topology import Testbed
    from quarn.utils import Bargeon
    from quarn.utils.bargeon.bases.bargeon import BargeonBase
    tb = Testbed.from_dict({'servers': {
        'lab-ftp': {'server': 'ftp.lab', 'address': '127.0.0.1',
                    'credentials': {'ftp': {'username': 'lab', 'password': 'secret'}}},
        'other': {'server': 'other.lab', 'address': ['10.0.0.2', '10.0.0.3']}}})
    client = Bargeon(os='localhost', testbed=tb)
    ftp = client.get_child('ftp')
''')

# name: (setup, call)
ENTRY_POINTS = {
    'Or(Use(int), str)': (SCHEMAS + "s = Schema(Or(Use(int), str))", "s.validate('1000')"),
    'callable and PathAwareUse in a dict': (
        SCHEMAS + "s = Schema({'a': Use(int), 'p': PathAwareUse(lambda path, v: (tuple(path), v)),"
                  " Optional('b'): Or(int, str), Any(): {'x': lambda v: v + 1}})\n"
                  "DATA = {'a': '1', 'p': 2, 'b': 'x', 'c': {'x': 2}}\nINPUTS = ['DATA']",
        "s.validate(DATA)"),
    'compiled interface table': (
        SCHEMAS + "s = Schema({'name': str, Optional('mtu'): int,"
                  " 'ifs': {str: {'state': Or('up', 'down'), 'speed': Use(int), Optional('d'): str}}})\n"
                  "DATA = {'name': 'r1', 'ifs': {'Gi0/%d' % i: {'state': 'up', 'speed': '100'}"
                  " for i in range(4)}}\nINPUTS = ['DATA']",
        "s.validate(DATA)"),
    'key tests that convert': (
        SCHEMAS + "s = Schema({And(str, Use(str.upper)): int, Optional(Use(int)): str})\n"
                  "DATA = {'a': 1, 'b': 2}\nINPUTS = ['DATA']",
        "s.validate(DATA)"),
    'an error and its text': (
        SCHEMAS + "s = Schema({'a': {'b': int}, Optional('c'): Or(int, str)})\n"
                  "DATA = {'a': {'b': 'x'}, 'c': 1.5}\nINPUTS = ['DATA']\n"
                  "def text(d):\n    try:\n        s.validate(d)\n"
                  "    except SchemaError as e:\n        return type(e).__name__, str(e), e.args",
        "text(DATA)"),
    'defaults and fallbacks': (
        SCHEMAS + "s = Schema({'h': str, Any(): {'port': Default(int, 22), 'user': Fallback(str, 'h')}})\n"
                  "DATA = {'h': 'r1', 'm': {}, 'n': {'port': 23}}\nINPUTS = ['DATA']",
        "(s.validate(DATA), s.collect_defaults(), s.apply_defaults(DATA),"
        " s.collect_fallbacks(), s.apply_fallback(DATA))"),
    'schema classes and their text': (
        SCHEMAS,
        "[str(x) for x in (Schema({'a': int}), Optional('a'), Any(), Or(int, str), And(int),"
        " Use(int), PathAwareUse(len), PathValidatingSchema(int), Default(int, 1), Fallback(int, 'a.b'))]"),
    'each schema class validates': (
        # Made before the call, and no lambda in it: CPython 3.13.0 itself
        # crashes when a failed allocation meets the making of a function,
        # or when an object whose __dict__ was read (the engine reads schema
        # objects' own attributes there) is freed while a MemoryError
        # propagates (`o.__dict__` in plain Python does the same).
        SCHEMAS + "DATA = {'a': '1'}\nINPUTS = ['DATA']\ndef keep(p, v):\n    return v\n"
                  "PAIRS = [(Schema(x), d) for x, d in ((Optional(int), 1), (Any(), 'x'), (And(str, len), 'ab'),"
                  " (Or(int, str), 'x'), (Use(int), '2'), (PathAwareUse(keep), 3),"
                  " (PathValidatingSchema(int), 4), (Default(int, 5), None), (Fallback(int, 'a'), 6),"
                  " ({'a': Use(int)}, DATA))]",
        "[s.validate(d) for s, d in PAIRS]"),
    'Path': (
        SCHEMAS + "p = Path(('a', Any(), 'c'))\nPATHS = [('a', 'x', 'c'), ('a', 'y', 'd'), ('b',)]\n"
                  "INPUTS = ['PATHS']",
        "(p.is_dynamic(), p == ('a', 'z', 'c'), p == Path(('a', 'q', 'c')), hash(p) == hash(tuple(p)),"
        " p.missing_from(PATHS))"),
    'schema exceptions': (
        SCHEMAS, "str(SchemaTypeError(['a', 'b'], int, 'x'))"),
    'factory': (TESTBED, "type(BargeonBase(os='localhost', testbed=tb)).__name__"),
    'factory failure': (TESTBED, "BargeonBase(os='nothere')"),
    'child cache': (TESTBED, "(client.get_child('file') is client.get_child('file'),"
                             " client.remove_child('file'), sorted(client.children))"),
    'urls': (TESTBED, "[(client.is_remote(u), client.is_local(u), client.get_protocol(u))"
                      " for u in ('ftp://lab-ftp/a.bin', '/tmp/a', 'file:///tmp/a')]"),
    "get_auth('127.0.0.1')": (TESTBED, "ftp.get_auth('127.0.0.1')"),
    "get_auth('nothere')": (TESTBED, "ftp.get_auth('nothere')"),
    "get_hostname('elsewhere')": (TESTBED, "ftp.get_hostname('elsewhere')"),
    'checkfile': (TESTBED + "import tempfile\nf = tempfile.NamedTemporaryFile()\nf.write(b'abc')\nf.flush()",
                  "client.checkfile(f.name, max_tries=2, delay_seconds=0, check_stability=True)"),
}


def enabled():
    # Before 3.11 the interpreter itself misreports failed allocations (a
    # TypeError from argument parsing, a fatal error in its own code).
    if os.environ.get('QUARN_MEMORY_FAULTS', '1') == '0' or sys.version_info < (3, 11):
        return False
    try:
        import _testcapi
    except ImportError:
        return False
    return hasattr(_testcapi, 'set_nomemory')


@pytest.mark.skipif(not enabled(), reason='needs CPython 3.11 or later with _testcapi.set_nomemory '
                                          '(and QUARN_MEMORY_FAULTS not 0)')
@pytest.mark.parametrize('name', sorted(ENTRY_POINTS))
def test_a_failed_allocation_is_met_cleanly(name):
    setup, call = ENTRY_POINTS[name]
    env = dict(os.environ)
    env.setdefault('PYTHONMALLOC', 'debug')
    done = subprocess.run([sys.executable, '-c', RUNNER, setup, call], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, timeout=900)
    lines = done.stdout.splitlines()
    last = [l for l in lines if l.startswith('at ')][-1:]
    assert done.returncode == 0, 'died ({}) {}:\n{}'.format(done.returncode, last, '\n'.join(lines[-30:]))
    problems = [l for l in lines if l.startswith('PROBLEM')]
    assert not problems, '\n'.join(problems)
    assert lines[-1].startswith('swept '), '\n'.join(lines[-30:])
