"""User code that raises: key and value dunders, callables, converters,
plugins and logger handlers.  Each case checks the exact outcome."""
import functools
import logging

import pytest

from quarn.utils.bargeon.exceptions import BargeonError

from bargeon_helpers import (LOGGER_NAME, BargeonBase, bargeon_module, linux, logs, plugin_class,  # noqa: F401
                             plugin_module, registry)
from quarn.topology import Testbed as TopologyTestbed
from quarn.utils.exceptions import (SchemaClassError, SchemaError, SchemaMissingKeyError, SchemaTypeError,
                                    SchemaValueError)
from quarn.utils.ordalin import And, Optional, Or, PathAwareUse, Schema, Use

pytestmark = pytest.mark.usefixtures('code_plans')


class Interrupt(BaseException):
    """Derives from BaseException only, like KeyboardInterrupt."""


class BadEq(object):
    def __init__(self, error=ZeroDivisionError('eq')):
        self.error = error

    def __eq__(self, other):
        raise self.error

    __hash__ = object.__hash__

    def __str__(self):
        return 'bad-eq'


class BadStr(object):
    def __str__(self):
        raise RuntimeError('str')

    __repr__ = __str__


class BadRepr(object):
    def __repr__(self):
        raise RuntimeError('repr')


class Toggle(object):
    """Hashable while it is put into a dict, raising once armed."""
    armed = False

    def __hash__(self):
        if self.armed:
            raise RuntimeError('hash')
        return 12345


def raise_(error):
    def f(*args):
        raise error
    f.__name__ = 'f'
    return f


# -- __eq__ -----------------------------------------------------------------

@pytest.mark.parametrize('schema, data', [
    (BadEq(), 1),                       # the schema's own comparison
    (1, BadEq()),                       # reflected from the plain value
    ({'a': int}, {BadEq(): 1}),         # a data key tried against a plain schema key
    ({'a': 1}, {'a': BadEq()}),         # a data value
    (And(int, BadEq()), 1),
])
def test_raising_eq_propagates_unchanged(schema, data):
    with pytest.raises(ZeroDivisionError, match='eq'):
        Schema(schema).validate(data, False)


def test_raising_eq_inside_or_is_one_failed_alternative():
    data = BadEq()
    with pytest.raises(SchemaError) as info:
        Or('a', int).validate(data)
    assert info.value.args == (
        "Schema  (str) a does not match bad-eq and Schema  (type) <class 'int'> does not match bad-eq",)
    assert Or('a', Use(str)).validate(data) == 'bad-eq'


def test_base_exception_from_eq_leaves_or_at_once():
    tried = []
    with pytest.raises(Interrupt):
        Or(BadEq(Interrupt()), lambda v: tried.append(v)).validate(1)
    assert tried == []


# -- __hash__ -----------------------------------------------------------------

def test_raising_hash_of_a_data_key_propagates():
    key = Toggle()
    data = {key: 1}
    key.armed = True
    with pytest.raises(RuntimeError, match='hash'):
        Schema({str: int}).validate(data, False)


def test_raising_hash_of_a_schema_key_propagates_from_the_required_set():
    key = Toggle()
    schema = {'a': int, key: int}
    key.armed = True
    with pytest.raises(RuntimeError, match='hash'):
        Schema(schema).validate({'a': 1}, False)


# -- __str__ / __repr__ ---------------------------------------------------------

def test_raising_str_of_the_data_in_an_or_message():
    with pytest.raises(RuntimeError, match='str') as info:
        Or(int).validate(BadStr())
    assert type(info.value.__context__) is SchemaTypeError


def test_raising_str_of_an_alternative_in_an_or_message():
    with pytest.raises(RuntimeError, match='str') as info:
        Or(BadStr()).validate(1)
    assert type(info.value.__context__) is SchemaValueError


@pytest.mark.parametrize('converter, data, message', [
    (raise_(ValueError('v')), BadRepr(), 'repr'),          # repr(data)
    (raise_(type('E', (Exception,), {'__repr__': BadRepr.__repr__})()), 1, 'repr'),   # repr(e)
])
def test_raising_repr_in_a_use_message(converter, data, message):
    for use in (Use(converter), PathAwareUse(converter)):
        with pytest.raises(RuntimeError, match=message):
            Schema(use).validate(data, False)


def test_converter_whose_name_fails_to_format():
    class Named(object):
        __name__ = BadStr()

        def __call__(self, data):
            raise ValueError('v')
    with pytest.raises(RuntimeError, match='str'):
        Use(Named()).validate(1)


def test_raising_str_of_a_missing_schema_key():
    with pytest.raises(RuntimeError, match='str'):
        Schema({BadStr(): int}).validate({}, False)


def test_errors_never_format_the_data():
    data = BadRepr()
    with pytest.raises(SchemaTypeError) as info:
        Schema({'a': int}).validate({'a': data}, False)
    assert info.value.args == (['a'], int, data)


# -- callable schemas --------------------------------------------------------------

@pytest.mark.parametrize('error', [
    ValueError('v'),
    StopIteration(),
    SchemaTypeError(['x'], int, 'y'),     # a schema error from a callable is wrapped too
    RecursionError('deep'),
])
def test_callable_schema_exception_becomes_class_error(error):
    f = raise_(error)
    with pytest.raises(SchemaClassError) as info:
        Schema({'a': {'b': f}}).validate({'a': {'b': 7}}, False)
    assert info.value.args == (['a', 'b'], f, 7, error)
    assert info.value.__cause__ is error


@pytest.mark.parametrize('error', [Interrupt(), KeyboardInterrupt(), GeneratorExit()])
def test_callable_schema_base_exception_propagates(error):
    with pytest.raises(type(error)) as info:
        Schema({'a': raise_(error)}).validate({'a': 1}, False)
    assert info.value is error


def test_raising_callable_key_is_a_failed_key_test():
    f = raise_(ValueError('v'))
    with pytest.raises(SchemaMissingKeyError) as info:
        Schema({f: int}).validate({'a': 1}, False)
    assert info.value.args == ([], [str(f)])


def test_callable_key_raising_base_exception_stops_the_walk():
    with pytest.raises(Interrupt):
        Schema({raise_(Interrupt()): int, str: int}).validate({'a': 1}, False)


def test_infinitely_recursing_callable_is_a_class_error():
    def forever(value):
        return forever(value)
    with pytest.raises(SchemaClassError) as info:
        Schema(forever).validate(1, False)
    assert type(info.value.error) is RecursionError


# -- converters ----------------------------------------------------------------------

def test_converter_failure_message_and_cause():
    error = ValueError('no')
    with pytest.raises(SchemaError) as info:
        Schema({'a': Use(raise_(error))}).validate({'a': 'x'}, False)
    assert info.value.args == ("f('x') raised {!r}".format(error),)
    assert info.value.__cause__ is error


def test_converter_without_name_is_named_by_repr():
    partial = functools.partial(int, base=2)
    try:
        partial('x')
    except ValueError as e:
        expected = '{!r}({!r}) raised {!r}'.format(partial, 'x', e)
    with pytest.raises(SchemaError) as info:
        Use(partial).validate('x')
    assert info.value.args == (expected,)


@pytest.mark.parametrize('error', [SchemaMissingKeyError(['p'], ['k']), Interrupt()])
def test_converter_passes_schema_and_base_exceptions_unchanged(error):
    for use in (Use(raise_(error)), PathAwareUse(raise_(error))):
        with pytest.raises(type(error)) as info:
            Schema({'a': use}).validate({'a': 1}, False)
        assert info.value is error


def test_raising_converter_key_falls_to_the_next_key():
    result = Schema({Use(int): int, str: str}).validate({'x': 'y', '5': 3}, False)
    assert result == {'x': 'y', 5: 3} and list(result) == ['x', 5]
    with pytest.raises(SchemaMissingKeyError) as info:
        Schema({Use(int): str}).validate({'x': 'y'}, False)
    assert info.value.args == ([], ["Use  (type) <class 'int'>"])


def test_converter_error_inside_and_propagates():
    error = ValueError('v')
    with pytest.raises(SchemaError) as info:
        And(str, Use(raise_(error))).validate('x')
    assert info.value.args == ("f('x') raised {!r}".format(error),)


# -- plugins: close, stat, registry -------------------------------------------------------

@pytest.fixture
def child_with(registry, linux):
    """Registers a protocol class for ('linux', 'ftp') with the given members."""
    def make(**members):
        cls = plugin_class('FtpBargeon', 'plugins.linux.ftp', **members)
        registry.add_sub('linux', 'ftp', plugin_module('plugins.linux.ftp', cls))
        return BargeonBase(os='linux')
    return make


def test_close_raising_exception_is_logged_and_the_child_removed(child_with, logs):
    fu = child_with(close=raise_(ValueError('boom')))
    assert fu.remove_child('ftp') is None
    assert fu.children == {}
    assert ('WARNING', 'Failed to close child ftp : boom.') in logs()


def test_close_raising_base_exception_propagates_after_removal(child_with, logs):
    fu = child_with(close=raise_(Interrupt('stop')))
    with pytest.raises(Interrupt):
        fu.remove_child('ftp')
    assert fu.children == {}
    assert [m for m in logs() if m[0] == 'WARNING'] == []


def test_close_raising_in_exit_replaces_the_blocks_exception(child_with):
    fu = child_with().__class__  # noqa: F841 - the registry must know the child
    os_level = BargeonBase(os='linux')
    os_level.close = raise_(OSError('close'))
    with pytest.raises(OSError, match='close') as info:
        with os_level:
            raise KeyError('block')
    assert type(info.value.__context__) is KeyError


def test_child_init_raising_attribute_error_is_not_cached(child_with):
    def init(self, *args, **kwargs):
        raise AttributeError('init')
    fu = child_with(__init__=init)
    with pytest.raises(Exception) as info:
        fu.get_child('ftp')
    assert isinstance(info.value, BargeonError)
    assert info.value.args == ('Cannot find Bargeon class in module plugins.linux.ftp.',)
    assert type(info.value.__context__) is AttributeError
    assert fu.children == {}


def test_child_refusing_its_key_is_cached_all_the_same(child_with):
    fu = child_with(abstraction_key=property(lambda self: 'fixed'))
    with pytest.raises(Exception) as info:
        fu.get_child('ftp')
    assert info.value.args == ('Cannot find Bargeon class in module plugins.linux.ftp.',)
    assert list(fu.children) == ['ftp']


@pytest.mark.parametrize('error', [ValueError('registry'), AttributeError('registry')])
def test_registry_raising_in_get_subplugin_propagates(registry, linux, error):
    fu = BargeonBase(os='linux')
    registry.get_subplugin = raise_(error)
    with pytest.raises(type(error)) as info:
        fu.get_child('ftp')
    assert info.value is error
    assert fu.children == {}


def test_registry_raising_in_get_plugin_propagates(registry):
    error = LookupError('registry')
    registry.get_plugin = raise_(error)
    with pytest.raises(LookupError) as info:
        BargeonBase(os='linux')
    assert info.value is error


class Stat(object):
    def __init__(self, size=5, truth=None):
        self.st_size = size
        self.truth = truth

    def __bool__(self):
        if self.truth is not None:
            raise self.truth
        return True


@pytest.fixture
def stat_plays(registry, monkeypatch):
    """An instance whose stat plays a script of results and exceptions."""
    sleeps = []
    monkeypatch.setattr(bargeon_module.time, 'sleep', sleeps.append)

    def make(*script):
        script = list(script)

        def stat(self, target, timeout_seconds, *args, **kwargs):
            outcome = script.pop(0)
            if isinstance(outcome, BaseException):
                raise outcome
            return outcome
        cls = plugin_class('Scripted', 'plugins.scripted', stat=stat)
        registry.add('scripted', plugin_module('plugins.scripted', cls))
        fu = BargeonBase(os='scripted')
        fu.sleeps = sleeps
        return fu
    return make


def test_stat_raising_every_time(stat_plays, logs):
    fu = stat_plays(OSError('gone'), TimeoutError('slow'), ValueError('odd'))
    with pytest.raises(Exception) as info:
        fu.checkfile('/f')
    assert isinstance(info.value, BargeonError)
    assert info.value.args == ('Failure to check existence and length of file /f.',)
    assert [m for m in logs() if m[0] == 'WARNING'] == [
        ('WARNING', 'File stat error : gone'), ('WARNING', 'File stat error : slow'),
        ('WARNING', 'File stat error : odd')]
    assert fu.sleeps == [2, 2, 2]


@pytest.mark.parametrize('error', [Interrupt(), NotImplementedError('no stat'),
                                   type('Sub', (NotImplementedError,), {})()])
def test_stat_raising_base_or_not_implemented_leaves_at_once(stat_plays, logs, error):
    fu = stat_plays(error, Stat())
    with pytest.raises(type(error)) as info:
        fu.checkfile('/f', check_stability=True)
    assert info.value is error
    assert fu.sleeps == [] and [m for m in logs() if m[0] == 'WARNING'] == []


def test_stat_result_whose_truth_raises(stat_plays):
    fu = stat_plays(Stat(truth=ValueError('truth')))
    with pytest.raises(ValueError, match='truth'):
        fu.checkfile('/f')
    assert fu.sleeps == []


def test_stat_result_without_size_under_stability(stat_plays):
    fu = stat_plays(object(), object())
    with pytest.raises(AttributeError):
        fu.checkfile('/f', max_tries=2, check_stability=True)
    assert fu.sleeps == [2]     # the first try has no previous length to compare


def test_is_valid_ip_raising_propagates_from_get_hostname(linux):
    tb = TopologyTestbed.from_dict({'servers': {'s': {'address': ['10.0.0.1']}}})
    fu = BargeonBase(os='linux', testbed=tb)
    fu.is_valid_ip = raise_(OSError('ping'))
    with pytest.raises(OSError, match='ping'):
        fu.get_hostname('s')


def test_to_plaintext_raising_propagates_from_get_auth(linux, monkeypatch):
    tb = TopologyTestbed.from_dict({'servers': {'s': {'credentials': {'default': {'password': 'p'}}}}})
    monkeypatch.setattr(bargeon_module, 'to_plaintext', raise_(ValueError('secret')))
    with pytest.raises(ValueError, match='secret'):
        BargeonBase(os='linux', testbed=tb).get_auth('s')


class Servers(dict):
    """A servers mapping whose items() raises the given exception."""

    def __init__(self, error):
        super(Servers, self).__init__()
        self.error = error

    def items(self):
        raise self.error


@pytest.mark.parametrize('error, caught', [(TypeError('t'), True), (AttributeError('a'), True),
                                           (ValueError('v'), False)])
def test_servers_mapping_raising_during_the_scan(linux, logs, error, caught):
    fu = BargeonBase(os='linux', testbed=TopologyTestbed.from_dict({'servers': {}}))
    fu.testbed.servers = Servers(error)
    if caught:
        assert fu.get_server_block('x') == {}
        assert ('WARNING', 'Could not find details in testbed for server x.') in logs()
    else:
        with pytest.raises(ValueError) as info:
            fu.get_server_block('x')
        assert info.value is error


# -- a logger handler that raises ---------------------------------------------------------

class Discard(logging.Handler):
    def emit(self, record):
        pass


class RaisingFilter(logging.Filter):
    def __init__(self, error):
        super(RaisingFilter, self).__init__()
        self.error = error
        self.seen = []

    def filter(self, record):
        self.seen.append(record.getMessage())
        raise self.error


@pytest.fixture
def raising_handler():
    logger = logging.getLogger(LOGGER_NAME)
    handlers = []

    def install(error):
        handler = Discard()
        handler.addFilter(RaisingFilter(error))
        logger.addHandler(handler)
        handlers.append(handler)
        old = logger.level
        logger.setLevel(logging.DEBUG)
        handlers.append(old)
        return handler.filters[0]
    yield install
    if handlers:
        logger.removeHandler(handlers[0])
        logger.setLevel(handlers[1])


def test_raising_handler_in_remove_child_still_removes(child_with, raising_handler):
    fu = child_with(close=raise_(ValueError('boom')))
    fu.get_child('ftp')
    seen = raising_handler(RuntimeError('handler'))
    with pytest.raises(RuntimeError, match='handler') as info:
        fu.remove_child('ftp')
    assert type(info.value.__context__) is ValueError
    assert fu.children == {}
    assert seen.seen == ['Failed to close child ftp : boom.']


def test_raising_handler_in_checkfile_propagates(stat_plays, raising_handler):
    fu = stat_plays(OSError('gone'), Stat())
    seen = raising_handler(RuntimeError('handler'))
    with pytest.raises(RuntimeError, match='handler'):
        fu.checkfile('/f')
    assert seen.seen == ['File stat error : gone'] and fu.sleeps == []


def test_raising_handler_in_the_factory_makes_no_instance(linux, raising_handler):
    seen = raising_handler(RuntimeError('handler'))
    with pytest.raises(RuntimeError, match='handler'):
        BargeonBase(os='linux')
    assert seen.seen == ['Instantiating class LinuxBargeon from module plugins.linux...']


def test_raising_handler_in_get_hostname(linux, raising_handler):
    fu = BargeonBase(os='linux', testbed=None)
    seen = raising_handler(RuntimeError('handler'))
    with pytest.raises(RuntimeError, match='handler'):
        fu.get_hostname('x')
    assert seen.seen == ['Could not find details in testbed for server x.']
