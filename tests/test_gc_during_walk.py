"""A garbage collection that starts inside a validation (any allocation can
start one) may run finalizers that change the schema or the data being
walked.  Whatever the outcome, the walk must not read freed memory.

Each case runs in a subprocess under PYTHONMALLOC=debug (freed memory is
overwritten there, so a read of it fails loudly), sweeping the collector's
threshold so that the collection falls on every allocation of the walk in
turn, with the compiled walk on (checking the data first or not) and off;
the result is read back, as a result built from freed memory may only fail
when used."""
import os
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent('''
    import gc, sys
    from quarn.utils import ordalin
    from quarn.utils.ordalin import Any, Default, Each, Fallback, Optional, Or, Schema

    def fresh(text):          # a float no one else holds: freed when replaced
        return float(text)

    def case(name):
        """(schema dict, data, what the finalizer does) for one case."""
        if name == 'value':
            sd = {'b': {'x': 1}, 'c': fresh('1234.5')}
            return sd, {'b': {'x': 1}, 'c': 1234.5}, lambda: sd.__setitem__('c', 'replaced')
        if name == 'deleted key':
            sd = {'b': {'x': 1}, 'c': fresh('1234.5')}
            return sd, {'b': {'x': 1}, 'c': 1234.5}, lambda: sd.pop('c')
        if name == 'nested dict':
            sd = {'a': {'x': int}, 'b': {'x': fresh('2.5'), 'y': {'z': fresh('3.5')}}}
            return (sd, {'a': {'x': 1}, 'b': {'x': 2.5, 'y': {'z': 3.5}}},
                    lambda: sd.__setitem__('b', 'replaced'))
        if name == 'or alternative':
            alternatives = Or(fresh('4.5'), str)
            sd = {'a': {'x': int}, 'c': alternatives}
            return sd, {'a': {'x': 1}, 'c': 4.5}, lambda: setattr(alternatives, 'schemas', ('z',))
        if name == 'default value':
            default = Default(float, fresh('5.5'))
            sd = {'a': {'x': int}, 'd': default}
            return sd, {'a': {'x': 1}}, lambda: setattr(default, 'default', 'replaced')
        if name == 'optional key':
            key = Optional(''.join(['k', 'e', 'y']))
            sd = {'a': {'x': int}, key: int}
            return sd, {'a': {'x': 1}, 'key': 1}, lambda: setattr(key, 'schema', 'other')
        if name == 'data value':
            data = {'a': {'x': 1}, 'b': {'y': fresh('6.5')}, 'c': 7}
            return ({'a': {'x': int}, 'b': {'y': float}, 'c': Default(int, 0)}, data,
                    lambda: data.__setitem__('b', 'replaced'))
        if name == 'fallback source':
            fallback = Fallback(float, 's')
            data = {'s': fresh('8.5'), 'r': {'i': {'x': 1}, 'j': {'x': 2}}}
            sd = {'s': float, 'r': {Any(): {'x': int, 'f': fallback, 'd': Default(float, fresh('9.5'))}}}
            return sd, data, lambda: (setattr(fallback, 'fallback', ('t',)), data.__setitem__('s', 'replaced'))
        if name == 'data dropped while copied':
            # Nested dicts only tested are copied once all is checked: a
            # finalizer run by a copy drops the ones not yet copied.
            data = {'r': {'i%d' % i: {'c': {'x': fresh('1.5')}, 'd': {'y': i}} for i in range(6)}}
            sd = {'r': {Any(): {'c': {'x': float}, 'd': {'y': int}}}}
            return sd, data, lambda: [d.clear() for d in list(data['r'].values())] + [data.clear()]
        if name == 'invalid data':
            # The walk raises the error itself: the sets that name the keys
            # and the exception allocate while the dicts are changed.
            data = {'a': {'x': 1, 'extra': fresh('2.5')}, 'b': {'y': 'no'}}
            sd = {'a': {'x': int, 'w': {'q': fresh('3.5')}}, 'b': {'y': int}}
            return sd, data, lambda: (sd['a'].clear(), data['a'].clear(), sd.__setitem__('b', 'replaced'))
        if name == 'invalid element':
            # An element refused is walked again, to raise its error.
            each = Each({'x': float, 'y': {'z': fresh('1.5')}})
            data = {'v': [{'x': 1.5, 'y': {'z': 1.5}}, {'x': fresh('2.5'), 'y': {'z': 'no'}}]}
            return ({'v': each}, data,
                    lambda: (setattr(each, 'schema', 'other'), data['v'][1].clear(), data['v'].clear()))
        raise SystemExit('unknown case ' + name)

    class Finalizer:
        def __init__(self, act):
            self.act = act
            self.me = self            # cyclic: only the collector frees it
        def __del__(self):
            self.act()
            [float(str(i + 0.5)) for i in range(2000)]   # reuse the freed memory

    name, walk = sys.argv[1], sys.argv[2]
    ordalin._fast_walk(walk != 'general')
    ordalin._checks_first(walk == 'checked first')
    for threshold in range(1, 24):
        sd, data, act = case(name)
        s = Schema(sd)
        for _ in range(3):
            try:
                s.validate(data)
            except Exception:
                pass
        gc.collect()
        Finalizer(act)
        gc.set_threshold(threshold, 1000, 1000)
        try:
            repr(s.validate(data))    # a result the caller can use
        except Exception:
            pass                      # any outcome but a crash
        finally:
            gc.set_threshold(700, 10, 10)
    print('ok')
''')

CASES = ['value', 'deleted key', 'nested dict', 'or alternative', 'default value', 'optional key',
         'data value', 'fallback source', 'data dropped while copied', 'invalid data', 'invalid element']


@pytest.mark.parametrize('walk', ['fast', 'checked first', 'general'])
@pytest.mark.parametrize('case', CASES)
def test_a_collection_during_the_walk_never_reads_freed_memory(case, walk):
    env = dict(os.environ)
    env.setdefault('PYTHONMALLOC', 'debug')   # the sanitizer run keeps its own (malloc)
    done = subprocess.run([sys.executable, '-c', SCRIPT, case, walk], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=120)
    assert done.returncode == 0 and done.stdout.strip().endswith('ok'), done.stdout[-3000:]
