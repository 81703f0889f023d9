"""The file-operation contract and checkfile's tries, sleeps and stability."""
import os
from unittest import mock

import pytest

from quarn.utils.bargeon.exceptions import BargeonError

from bargeon_helpers import (BargeonBase, bargeon_module, linux, logs, plugin_class,  # noqa: F401
                             plugin_module, registry)

OPERATIONS = [
    ('copyfile', ('src', 'dst', 10)),
    ('dir', ('dir', 10)),
    ('stat', ('file', 10)),
    ('chmod', ('file', 0o644, 10)),
    ('deletefile', ('file', 10)),
    ('renamefile', ('src', 'dst', 10)),
    ('getspace', ('dir', 10)),
]


@pytest.mark.parametrize('name, args', OPERATIONS)
def test_base_operations_name_the_defining_module(linux, name, args):
    fu = BargeonBase(os='linux')
    with pytest.raises(NotImplementedError) as info:
        getattr(fu, name)(*args + ('extra',), option=1)
    assert str(info.value) == 'The bargeon module plugins.linux does not implement {}.'.format(name)
    with pytest.raises(TypeError):
        getattr(fu, name)(*args[:-1])   # timeout_seconds has no default


class Stat(object):
    """A stat result with a length and a truth value."""

    def __init__(self, size, true=True):
        self.st_size = size
        self.true = true

    def __bool__(self):
        return self.true


MISSING = OSError('file missing')


@pytest.fixture
def scripted(registry):
    """An instance whose stat plays a script of results and errors."""
    calls = []

    def stat(self, target, timeout_seconds, *args, **kwargs):
        calls.append((target, timeout_seconds, args, kwargs))
        outcome = self.script.pop(0)
        if isinstance(outcome, BaseException):
            raise outcome
        return Stat(outcome) if isinstance(outcome, int) else outcome

    cls = plugin_class('Scripted', 'plugins.scripted', stat=stat)
    registry.add('scripted', plugin_module('plugins.scripted', cls))
    fu = BargeonBase(os='scripted')
    fu.calls = calls
    return fu


@pytest.fixture
def sleep():
    with mock.patch('time.sleep') as patched:
        yield patched


FAILED = 'Failure to check existence and length of file f.'
UNSTABLE = 'The length of file f is not stable.'


@pytest.mark.parametrize('script, kwargs, calls, sleeps, error', [
    ([5], {}, 1, 0, None),                                     # defaults, file present
    ([MISSING, MISSING, 5], {}, 3, 2, None),                   # k-1 sleeps
    ([MISSING] * 3, {}, 3, 3, FAILED),
    ([], {'max_tries': 0}, 0, 0, FAILED),
    ([], {'max_tries': -2}, 0, 0, FAILED),
    ([5, 5, 5], {'check_stability': True}, 3, 3, None),
    ([5, 7, 7], {'check_stability': True}, 3, 3, None),
    ([5, 5, 7], {'check_stability': True}, 3, 3, UNSTABLE),
    ([5, MISSING, 5], {'check_stability': True}, 3, 3, UNSTABLE),
    ([5, 5, MISSING], {'check_stability': True}, 3, 3, FAILED),
    ([5], {'check_stability': True, 'max_tries': 1}, 1, 1, UNSTABLE),
    ([None], {}, 1, 0, FAILED),                                # a false stat result
    ([Stat(5), Stat(5, False), Stat(5)], {'check_stability': True}, 3, 3, UNSTABLE),
    ([Stat(5), Stat(5), Stat(5, False)], {'check_stability': True}, 3, 3, FAILED),
    ([5, 5, 5, 5], {'max_tries': 4, 'delay_seconds': 0.5, 'check_stability': 1}, 4, 4, None),
])
def test_checkfile_tries(scripted, sleep, logs, script, kwargs, calls, sleeps, error):
    scripted.script = list(script)
    if error:
        with pytest.raises(Exception) as info:
            scripted.checkfile('f', **kwargs)
        assert isinstance(info.value, BargeonError) and str(info.value) == error
    else:
        assert scripted.checkfile('f', **kwargs) is None
    assert len(scripted.calls) == calls
    delay = kwargs.get('delay_seconds', 2)
    assert sleep.call_args_list == [mock.call(delay)] * sleeps
    assert [m for m in logs() if m[0] == 'WARNING'] == \
        [('WARNING', 'File stat error : file missing')] * script.count(MISSING)


def test_checkfile_passes_timeout_and_extra_arguments_to_stat(scripted, sleep):
    scripted.script = [5]
    scripted.checkfile('f', 1, 2, False, 9, 'x', 'y', mode='fast')
    assert scripted.calls == [('f', 9, ('x', 'y'), {'mode': 'fast'})]
    scripted.script = [5]
    scripted.checkfile('g')
    assert scripted.calls[-1] == ('g', 60, (), {})


@pytest.mark.parametrize('error', [NotImplementedError('no stat'), KeyboardInterrupt()])
def test_checkfile_lets_some_errors_through_at_once(scripted, sleep, logs, error):
    scripted.script = [error, 5]
    with pytest.raises(type(error)) as info:
        scripted.checkfile('f')
    assert info.value is error
    assert sleep.call_count == 0 and len(scripted.calls) == 1
    assert [m for m in logs() if m[0] == 'WARNING'] == []


def test_checkfile_without_stat_reports_the_missing_stat(linux, sleep, logs):
    with pytest.raises(NotImplementedError) as info:
        BargeonBase(os='linux').checkfile('f')
    assert str(info.value) == 'The bargeon module plugins.linux does not implement stat.'
    assert [m for m in logs() if m[0] == 'WARNING'] == []


def test_checkfile_errors_of_the_length_comparison_leave_at_once(scripted, sleep):
    scripted.script = [object(), object()]
    with pytest.raises(AttributeError):
        scripted.checkfile('f', check_stability=True)
    assert sleep.call_count == 1


def test_checkfile_max_tries_must_suit_range(scripted, sleep):
    with pytest.raises(TypeError):
        scripted.checkfile('f', max_tries='3')


def test_checkfile_works_with_real_stat_results(registry, tmp_path, sleep):
    path = tmp_path / 'data.bin'
    path.write_bytes(b'12345')
    cls = plugin_class('Local', 'plugins.local',
                       stat=lambda self, target, timeout_seconds: os.stat(target))
    registry.add('local', plugin_module('plugins.local', cls))
    fu = BargeonBase(os='local')
    assert fu.checkfile(str(path), check_stability=True) is None
    with pytest.raises(Exception, match='Failure to check existence'):
        fu.checkfile(str(tmp_path / 'missing'))


def test_sleep_of_the_module_time_global_is_used(scripted):
    fake_time = mock.Mock()
    scripted.script = [MISSING, 5]
    with mock.patch.object(bargeon_module, 'time', fake_time):
        scripted.checkfile('f', delay_seconds=7)
    fake_time.sleep.assert_called_once_with(7)


def test_checkfile_defaults_are_fixed_at_class_creation(scripted, sleep, monkeypatch):
    monkeypatch.setattr(bargeon_module, 'DEFAULT_CHECK_FILE_MAX_TRIES', 1)
    monkeypatch.setattr(bargeon_module, 'DEFAULT_CHECK_FILE_DELAY_SECONDS', 99)
    monkeypatch.setattr(bargeon_module, 'DEFAULT_TIMEOUT_SECONDS', 1)
    scripted.script = [MISSING, MISSING, 5]
    scripted.checkfile('f')
    assert sleep.call_args_list == [mock.call(2)] * 2
    assert scripted.calls[0][1] == 60


@pytest.mark.parametrize('kwargs, named', [
    ({'delay_seconds': '1'}, 'delay_seconds'),
    ({'max_tries': '3'}, 'max_tries'),
    ({'max_tries': 2.5}, 'max_tries'),
    ({'timeout_seconds': '60'}, 'timeout_seconds'),
])
def test_checkfile_names_a_wrong_argument_before_any_try(scripted, sleep, kwargs, named):
    with pytest.raises(TypeError, match="argument '{}'".format(named)):
        scripted.checkfile('f', **kwargs)
    assert scripted.calls == [] and sleep.call_count == 0


def test_checkfile_gives_the_last_stat_error_as_the_cause(scripted, sleep, logs):
    scripted.script = [OSError('first'), FileNotFoundError('gone')]
    with pytest.raises(BargeonError) as info:
        scripted.checkfile('f', max_tries=2)
    assert str(info.value) == 'Failure to check existence and length of file f.'
    assert isinstance(info.value.__cause__, FileNotFoundError) and str(info.value.__cause__) == 'gone'
