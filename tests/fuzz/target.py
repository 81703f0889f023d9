"""Fuzz target for the schema engine.

``check(data)`` turns a byte string into a schema built from the engine's
whole vocabulary and a piece of data (partly shaped after the schema, so
that validation gets deep), validates, and checks the invariants:

1. validation either returns or raises a schema exception
   (``quarn.utils.exceptions.SchemaError`` or a subclass); the exceptions
   that carry a path carry a list;
2. the input data is left exactly as it was;
3. the result holds no object of the schema (a schema object, a schema dict)
   that the data or the schema's defaults did not put there, and a dict
   schema gives a new plain dict;
4. for a schema without converters (callables, Use, PathAwareUse) and
   without defaults or fallbacks, validating the result again gives an
   equal result;
5. the compiled fast walk (checking the data whole before copying it, or
   checking and copying at once) and the general walk agree: the same
   result, or an exception of the same class with the same arguments,
   text, location, notes and cause;
6. a top-level validation gives what its definition gives:
   ``validate(apply_fallback(apply_defaults(data)), False)``;
7. ``iter_errors`` yields nothing when validation succeeds, and otherwise
   first the error that validation raises (the same class, ``args``,
   ``str``, ``path`` and ``location``), then only schema exceptions; it
   leaves the input data as it was.

The decoding is plain Python and deterministic, so a saved input replays
the same case on every interpreter, with or without atheris.  Run as a
script it is the atheris entry point (libFuzzer's command line).
"""
import sys

from quarn.utils import exceptions
from quarn.utils import ordalin
from quarn.utils.ordalin import And, Any, Optional, Or, PathAwareUse, Schema, Use


def _defaults_ready():
    try:
        return ordalin.Path((1,)) == ordalin.Path((1,))
    except NotImplementedError:
        return False


DEFAULTS = _defaults_ready()
PATH_ERRORS = (exceptions.SchemaTypeError, exceptions.SchemaValueError, exceptions.SchemaClassError,
               exceptions.SchemaMissingKeyError, exceptions.SchemaUnsupportedKeyError)


class Source(object):
    """Reads small decisions from the fuzzer's bytes; zeros once exhausted."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def below(self, n):
        return self.byte() % n

    def pick(self, seq):
        return seq[self.below(len(seq))]


class Failed(AssertionError):
    pass


TYPES = [int, str, float, bool, list, dict, tuple, set]
KEYS = ['a', 'b', 'c', 'port', 1, 2, None, ('t', 1)]
PLAIN = ['a', 'b', 'x', '', 0, 1, 2, -1, 1.5, True, False, None, (1, 2), 'port']


def keep(value):
    return value


def to_text(value):
    return str(value)


def double(value):
    return value * 2


def refuse(value):
    raise ValueError('refused {!r}'.format(value))


def path_tag(path, value):
    return (tuple(path), value)


def path_keep(path, value):
    return value


CONVERTERS = [keep, to_text, double, refuse, len, abs]
BUILTIN_CONVERTERS = [int, float, str, bool, len]
PATH_CONVERTERS = [path_tag, path_keep, lambda path, value: refuse(value)]


class Built(object):
    """Facts about a generated schema that decide which invariants apply."""

    def __init__(self):
        self.converters = False
        self.defaults = False
        self.objects = []       # every schema object and schema dict made


def build_key(src, built):
    kind = src.below(8)
    if kind < 4:
        return src.pick(KEYS)
    if kind == 4:
        return track(built, Optional(src.pick(KEYS)))
    if kind == 5:
        return track(built, Any())
    if kind == 6:
        return src.pick([str, int])
    built.converters = True
    return track(built, Use(src.pick([keep, to_text, refuse])))


def track(built, obj):
    built.objects.append(obj)
    return obj


def build_schema(src, built, depth=0):
    kind = src.below(16 if depth < 4 else 4)
    if depth == 0 and src.below(4):
        kind = 4                # mostly dicts at the top: the walk is where the work is
    if kind == 0:
        return src.pick(TYPES)
    if kind == 1:
        return src.pick(PLAIN)
    if kind == 2:
        return track(built, Any())
    if kind == 3:
        return src.pick([int, str])
    if kind <= 6:
        schema = track(built, {})
        for _ in range(src.below(4)):
            key = build_key(src, built)
            try:
                schema[key] = build_schema(src, built, depth + 1)
            except TypeError:
                pass
        return schema
    if kind == 7:
        return track(built, Optional(build_schema(src, built, depth + 1)))
    if kind == 8:
        return track(built, Or(*[build_schema(src, built, depth + 1) for _ in range(src.below(4))]))
    if kind == 9:
        return track(built, And(*[build_schema(src, built, depth + 1) for _ in range(src.below(3))]))
    if kind == 10:
        built.converters = True
        return track(built, Use(src.pick(CONVERTERS + BUILTIN_CONVERTERS)))
    if kind == 11:
        built.converters = True
        return track(built, PathAwareUse(src.pick(PATH_CONVERTERS)))
    if kind == 12:
        built.converters = True
        return src.pick(CONVERTERS)
    if kind == 13 and DEFAULTS:
        built.defaults = True
        return track(built, ordalin.Default(build_schema(src, built, depth + 1), src.pick(PLAIN)))
    if kind == 14 and DEFAULTS:
        built.defaults = True
        source = '.'.join(str(src.pick(['a', 'b', 'c', 'port'])) for _ in range(1 + src.below(2)))
        return track(built, ordalin.Fallback(build_schema(src, built, depth + 1), source))
    return src.pick(PLAIN)


def build_data(src, schema, depth=0):
    """Data that often follows the schema's shape, and sometimes does not."""
    if depth > 5:
        return src.pick(PLAIN)
    if src.below(4) == 0:
        return free_data(src, depth)
    if isinstance(schema, dict):
        data = {}
        for key, value in list(schema.items()):
            if src.below(5) == 0:
                continue
            data_key = data_key_for(src, key)
            try:
                data[data_key] = build_data(src, value, depth + 1)
            except TypeError:
                pass
        return data
    if isinstance(schema, (Or, And)):
        return build_data(src, src.pick(schema.schemas), depth) if schema.schemas else free_data(src, depth)
    if isinstance(schema, Schema) and not isinstance(schema, Any) and hasattr(schema, 'schema'):
        return build_data(src, schema.schema, depth)
    if schema in (int, bool):
        return src.pick([0, 1, 7, True])
    if schema is str:
        return src.pick(['a', 'b', 'x', ''])
    if schema in (float, list, dict, tuple, set):
        return src.pick([1.5, [1], {'a': 1}, (1,), {1}])
    return schema if src.below(2) else free_data(src, depth)


def data_key_for(src, key):
    if isinstance(key, Optional) and not isinstance(key, Any):
        key = key.schema
    elif isinstance(key, Any) or key in (str, int) or isinstance(key, Use):
        key = src.pick(KEYS)
    if type(key) is str and src.below(2):
        key = ''.join(list(key + '.'))[:-1]   # an equal str that is another object
    return key


def free_data(src, depth):
    kind = src.below(6 if depth < 4 else 3)
    if kind <= 2:
        return src.pick(PLAIN)
    if kind == 3:
        return [free_data(src, depth + 1) for _ in range(src.below(3))]
    data = {}
    for _ in range(src.below(4)):
        data[src.pick(KEYS)] = free_data(src, depth + 1)
    return data


def snapshot(obj, depth=0):
    """The shape and identity of every container and leaf of the data."""
    if depth > 50:
        return ('deep', id(obj))
    if type(obj) is dict:
        return ('dict', id(obj), tuple((id(k), snapshot(v, depth + 1)) for k, v in obj.items()))
    if type(obj) is list:
        return ('list', id(obj), tuple(snapshot(v, depth + 1) for v in obj))
    return ('leaf', id(obj))


def walk(obj, depth=0):
    yield obj
    if depth > 50:
        return
    if isinstance(obj, dict):
        for k, v in obj.items():
            yield k
            for inner in walk(v, depth + 1):
                yield inner
    elif isinstance(obj, (list, tuple)):
        for v in obj:
            for inner in walk(v, depth + 1):
                yield inner


def outcome(schema, data, top):
    """('ok', result), or the exception's class, arguments, text, location,
    notes and cause (as text, to compare)."""
    try:
        return 'ok', Schema(schema).validate(data, top)
    except exceptions.SchemaError as e:
        return (type(e), repr(e.args), str(e), repr(getattr(e, 'location', None)),
                repr(getattr(e, '__notes__', None)), repr(e.__cause__))


def outcome_with(switch, on, schema, data, top):
    """outcome() with one of the engine's test switches set to `on`."""
    was = switch(on)
    try:
        return outcome(schema, data, top)
    finally:
        switch(was)


def general_outcome(schema, data, top):
    return outcome_with(ordalin._fast_walk, False, schema, data, top)


def checked_first_outcome(schema, data, top):
    return outcome_with(ordalin._checks_first, True, schema, data, top)


def check_walks_agree(schema, data, top):
    fast, general = outcome(schema, data, top), general_outcome(schema, data, top)
    if fast != general:
        raise Failed('the fast walk gave {!r}, the general walk {!r}'.format(fast, general))
    checked = checked_first_outcome(schema, data, top)
    if checked != general:
        raise Failed('the fast walk checking first gave {!r}, the general walk {!r}'.format(checked, general))


def two_step_outcome(schema, data):
    s = Schema(schema)
    try:
        return 'ok', s.validate(s.apply_fallback(s.apply_defaults(data)), False)
    except exceptions.SchemaError as e:
        return type(e), repr(e.args)


def check_top_level_definition(schema, data):
    whole, steps = outcome(schema, data, True)[:2], two_step_outcome(schema, data)
    if whole != steps:
        raise Failed('validate gave {!r}, its two steps {!r}'.format(whole, steps))


def error_facts(error):
    return (type(error), repr(error.args), str(error), repr(getattr(error, 'path', None)),
            repr(getattr(error, 'location', None)))


def check_first_error(schema, data):
    try:
        Schema(schema).validate(data)
        expected = None
    except exceptions.SchemaError as e:
        expected = error_facts(e)
    before = snapshot(data)
    errors = list(Schema(schema).iter_errors(data))
    if snapshot(data) != before:
        raise Failed('iter_errors changed the input data')
    first = error_facts(errors[0]) if errors else None
    if first != expected:
        raise Failed('iter_errors began with {!r}, validate raised {!r}'.format(first, expected))
    for error in errors:
        if not isinstance(error, exceptions.SchemaError):
            raise Failed('iter_errors yielded {!r}'.format(error))


def run_case(schema, built, data, top):
    before = snapshot(data)
    allowed = set(id(o) for o in walk(data))
    try:
        result = Schema(schema).validate(data, top)
    except exceptions.SchemaError as e:
        if isinstance(e, PATH_ERRORS) and not isinstance(e.args[0], list):
            raise Failed('{} without a list path: {!r}'.format(type(e).__name__, e.args))
        result = e
    except Exception as e:
        raise Failed('not a schema exception: {!r}'.format(e))
    if snapshot(data) != before:
        raise Failed('the input data was changed')
    check_walks_agree(schema, data, top)
    if top:
        check_top_level_definition(schema, data)
        check_first_error(schema, data)
    if isinstance(result, exceptions.SchemaError):
        return
    schema_ids = set(id(o) for o in built.objects)
    for obj in walk(result):
        if id(obj) in allowed:
            continue
        if id(obj) in schema_ids or isinstance(obj, Schema):
            raise Failed('schema object {!r} leaked into the result'.format(obj))
    if isinstance(schema, dict) and (result is data or type(result) is not dict):
        raise Failed('a dict schema did not give a new plain dict')
    if not built.converters and not built.defaults:
        try:
            again = Schema(schema).validate(result, top)
        except exceptions.SchemaError as e:
            raise Failed('validating the result again failed: {!r}'.format(e))
        if again != result:
            raise Failed('validating the result again gave {!r}, not {!r}'.format(again, result))


def check(raw):
    src = Source(raw)
    built = Built()
    schema = build_schema(src, built)
    data = build_data(src, schema)
    top = src.below(2) == 0
    run_case(schema, built, data, top)


def main(argv):
    import atheris
    # Coverage of the decoder and the checks guides the search (the
    # extension itself is not instrumented).
    with atheris.instrument_imports(include=['target']):
        import target
    atheris.Setup(argv, target.check)
    atheris.Fuzz()


if __name__ == '__main__':
    main(sys.argv)
