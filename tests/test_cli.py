"""quarn-validate, run as a user runs it: ``python -m quarn`` in a folder that
holds the schema module and the data files."""
import json
import os
import subprocess
import sys

import pytest

import quarn

QUARN_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(quarn.__file__)))


def optional_module(name):
    """The optional module, or a skip; CI sets QUARN_REQUIRE_OPTIONAL=1 where
    it installed the extras, so that a missing one fails there instead."""
    if os.environ.get('QUARN_REQUIRE_OPTIONAL') == '1':
        return __import__(name)
    return pytest.importorskip(name, reason='{} is not installed'.format(name))

SCHEMA_MODULE = '''\
from quarn.utils.exceptions import SchemaError, SchemaMissingKeyError
from quarn.utils.ordalin import Optional, Schema

FIELDS = {'hostname': str, 'port': int, Optional('mgmt'): {'vrf': str}}
DEVICE = Schema(FIELDS)
NOT_A_SCHEMA = FIELDS


class EveryKey(Schema):
    """A schema that lists one violation per top-level key."""

    def iter_errors(self, data):
        for key, sub in self.schema.items():
            if key not in data:
                yield SchemaMissingKeyError([], [key])
                continue
            try:
                # Not a top-level validation: the errors carry a path, no location.
                Schema(sub, [key]).validate(data[key], False)
            except SchemaError as error:
                yield error


EVERY_KEY = EveryKey({'hostname': str, 'port': int})
'''

# Record 1 valid, 2 a bad port, 3 a bad nested value.
RECORDS = [{'hostname': 'r1', 'port': 22},
           {'hostname': 'r2', 'port': 'ssh'},
           {'hostname': 'r3', 'port': 22, 'mgmt': {'vrf': 5}}]
PORT = "['port']: SchemaTypeError: at ['port']: expected <class 'int'>, got 'ssh'"
VRF = "['mgmt']['vrf']: SchemaTypeError: at ['mgmt', 'vrf']: expected <class 'str'>, got 5"


class Folder(object):
    """A folder with the schema module, in which the command runs."""

    def __init__(self, path):
        self.path = path
        self.write('collected.py', SCHEMA_MODULE)

    def write(self, name, text):
        with open(os.path.join(self.path, name), 'w') as handle:
            handle.write(text)
        return name

    def jsonl(self, name, records, blank_after=()):
        lines = []
        for number, record in enumerate(records):
            lines.append(json.dumps(record))
            if number in blank_after:
                lines.append('')
        return self.write(name, '\n'.join(lines) + '\n')

    def run(self, *args, **kwargs):
        env = dict(os.environ, **kwargs.get('env', {}))
        env['PYTHONPATH'] = os.pathsep.join([QUARN_PARENT] + [entry for entry in
                                            env.get('PYTHONPATH', '').split(os.pathsep) if entry])
        return subprocess.run([sys.executable, '-m', 'quarn'] + list(args), cwd=self.path, env=env,
                              input=kwargs.get('stdin', ''), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True, timeout=120)


@pytest.fixture
def folder(tmp_path):
    return Folder(str(tmp_path))


def yaml_text(records):
    yaml = optional_module('yaml')
    return '---\n'.join(yaml.safe_dump(record, default_flow_style=False) for record in records)


def test_valid_data_exits_0_with_a_summary(folder):
    folder.jsonl('good.jsonl', RECORDS[:1] * 3)
    folder.write('good.json', json.dumps(RECORDS[0]))
    run = folder.run('collected:DEVICE', 'good.jsonl', 'good.json')
    assert (run.returncode, run.stderr) == (0, '')
    assert run.stdout == '4 records checked in 2 files: 4 valid, 0 invalid (0 violations); 0 input errors\n'


@pytest.mark.parametrize('kind', ['jsonl', 'json', 'yaml', 'stdin'])
def test_violations_name_the_file_record_and_location(folder, kind):
    if kind == 'jsonl':   # a blank line: line numbers and record numbers part
        args = [folder.jsonl('data.jsonl', RECORDS, blank_after=[0])]
        expected = ['data.jsonl:3: record 2: ' + PORT, 'data.jsonl:4: record 3: ' + VRF]
    elif kind == 'stdin':
        args, stdin = ['-'], '\n'.join(json.dumps(record) for record in RECORDS)
        expected = ['<stdin>:2: record 2: ' + PORT, '<stdin>:3: record 3: ' + VRF]
    elif kind == 'json':   # a document is one record
        args = [folder.write('a.json', json.dumps(RECORDS[1], indent=2)),
                folder.write('b.json', json.dumps(RECORDS[2]))]
        expected = ['a.json: record 1: ' + PORT, 'b.json: record 1: ' + VRF]
    else:   # a document is one record, found at the line it starts on
        args = [folder.write('data.yaml', yaml_text(RECORDS))]
        expected = ['data.yaml:4: record 2: ' + PORT, 'data.yaml:7: record 3: ' + VRF]
    run = folder.run('collected:DEVICE', *args, stdin=stdin if kind == 'stdin' else '')
    assert (run.returncode, run.stderr) == (1, '')
    lines = run.stdout.splitlines()
    assert lines[:2] == expected
    assert '2 invalid (2 violations)' in lines[2]


@pytest.mark.parametrize('name, text, error', [
    ('broken.jsonl', '{"hostname": "r1", "port": 22}\n{"hostname": \n' + json.dumps(RECORDS[1]) + '\n',
     'broken.jsonl:2: broken JSON: Expecting value (column 15)'),
    ('broken.json', '{\n  "hostname": "r1",\n  "port": 22\n', 'broken.json:4: broken JSON: '),
    ('binary.jsonl', '{"hostname": "r\udcff"}\n', 'binary.jsonl:1: not UTF-8 JSON:'),
    ('missing.json', None, 'missing.json: cannot read: No such file or directory'),
])
def test_an_input_error_exits_2_and_the_other_files_are_still_checked(folder, name, text, error):
    if text is not None:
        with open(os.path.join(folder.path, name), 'wb') as handle:
            handle.write(text.encode('utf-8', 'surrogateescape'))
    after = folder.jsonl('after.jsonl', RECORDS[1:2])
    run = folder.run('collected:DEVICE', name, after)
    assert run.returncode == 2   # an input error wins over violations
    assert run.stderr.startswith('quarn-validate: ' + error)
    assert 'after.jsonl:1: record 1: ' + PORT in run.stdout.splitlines()
    assert '; 1 input error\n' in run.stdout


@pytest.mark.parametrize('args, message', [
    (['collected'], "SCHEMA must be 'module:NAME'"),
    (['nowhere:DEVICE'], "cannot import 'nowhere': ModuleNotFoundError"),
    (['collected:DEVIC'], "'collected' has no attribute 'DEVIC'"),
    (['collected:NOT_A_SCHEMA'], 'is a dict, not a quarn.utils.ordalin.Schema'),
])
def test_a_bad_command_line_is_a_usage_error(folder, args, message):
    run = folder.run(*(args + [folder.jsonl('data.jsonl', RECORDS)]))
    assert (run.returncode, run.stdout) == (2, '')
    assert 'quarn-validate: error: ' in run.stderr and message in run.stderr


def test_all_errors_lists_every_violation_of_a_plain_schema(folder):
    data = folder.jsonl('data.jsonl', [{'hostname': 7, 'port': 'ssh', 'mgmt': {'vrf': 5}, 'extra': 1}])
    run = folder.run('--all-errors', 'collected:DEVICE', data)
    assert (run.returncode, run.stderr) == (1, '')
    assert run.stdout.splitlines()[:4] == [
        "data.jsonl:1: record 1: ['hostname']: SchemaTypeError: at ['hostname']: expected <class 'str'>, got 7",
        "data.jsonl:1: record 1: " + PORT,
        "data.jsonl:1: record 1: " + VRF,
        "data.jsonl:1: record 1: (top): SchemaUnsupportedKeyError: at []: unsupported keys {'extra'}"]
    assert '1 invalid (4 violations)' in run.stdout


def test_all_errors_reports_every_violation_through_iter_errors(folder):
    data = folder.jsonl('data.jsonl', [{'hostname': 7, 'port': 'ssh'}, {'port': 22}])
    first = folder.run('collected:EVERY_KEY', data)
    every = folder.run('--all-errors', 'collected:EVERY_KEY', data)
    assert '2 invalid (2 violations)' in first.stdout   # without the option: the first error only
    assert (every.returncode, every.stderr) == (1, '')
    # The errors carry only a path: it gives the location.
    assert every.stdout.splitlines()[:3] == [
        "data.jsonl:1: record 1: ['hostname']: SchemaTypeError: at ['hostname']: expected <class 'str'>, got 7",
        "data.jsonl:1: record 1: " + PORT,
        "data.jsonl:2: record 2: (top): SchemaMissingKeyError: at []: missing keys hostname"]
    assert '2 invalid (3 violations)' in every.stdout


def test_text_an_ascii_terminal_cannot_show_is_escaped(folder):
    data = folder.write('data.jsonl', '{"hostname": "caf\\u00e9", "port": "\\u00e9"}\n')   # JSON escapes
    run = folder.run('collected:DEVICE', data, env={'PYTHONIOENCODING': 'ascii'})
    assert (run.returncode, run.stderr) == (1, '')
    assert run.stdout.startswith("data.jsonl:1: record 1: ['port']: SchemaTypeError: "
                                 "at ['port']: expected <class 'int'>, got '\\xe9'\n")


def test_json_format_parses_back(folder):
    data = folder.jsonl('data.jsonl', RECORDS + RECORDS[1:2])
    run = folder.run('--format', 'json', 'collected:DEVICE', data)
    objects = [json.loads(line) for line in run.stdout.splitlines()]
    assert run.returncode == 1
    assert objects[0] == {'kind': 'violation', 'file': data, 'line': 2, 'record': 2,
                          'location': ['port'], 'error': 'SchemaTypeError',
                          'message': PORT.split(': ', 2)[2]}
    assert [obj['location'] for obj in objects[:-1]] == [['port'], ['mgmt', 'vrf'], ['port']]
    summary = objects[-1]
    assert {key: summary[key] for key in ('kind', 'records', 'valid', 'invalid', 'violations')} == \
        {'kind': 'summary', 'records': 4, 'valid': 1, 'invalid': 3, 'violations': 3}
    assert summary['by_location'][0] == {'location': ['port'], 'error': 'SchemaTypeError', 'count': 2}


def mixed_inputs(folder):
    """Files whose records land in many chunks, with input errors between."""
    records = [RECORDS[n % 3] for n in range(40)]
    return [folder.jsonl('a.jsonl', records, blank_after=[5, 17]),
            folder.write('broken.json', '{'), 'missing.jsonl',
            folder.write('b.jsonl', '{"port": 1}\nnot json\n' + json.dumps(RECORDS[2]) + '\n')]


def assert_same_as_one_job(folder, spread, common):
    inputs = mixed_inputs(folder)
    for form in ('text', 'json'):
        options = ['--format', form, '--chunk-size', '3'] + common + ['collected:EVERY_KEY']
        alone = folder.run(*(options + inputs))
        spread_out = folder.run(*(spread + options + inputs))
        assert alone.returncode == 2 and alone.stdout.count('\n') > 10   # many chunks of 3
        assert (spread_out.returncode, spread_out.stdout, spread_out.stderr) == \
            (alone.returncode, alone.stdout, alone.stderr)


@pytest.mark.parametrize('common', [[], ['--all-errors']])
def test_a_process_pool_gives_the_output_of_one_job(folder, common):
    assert_same_as_one_job(folder, ['--jobs', '2'], common)


def test_a_local_dask_cluster_gives_the_output_of_one_job(folder):
    optional_module('dask.distributed')
    assert_same_as_one_job(folder, ['--dask', 'local', '--jobs', '2'], ['--all-errors'])


def test_dask_missing_is_a_usage_error(folder):
    try:
        import dask.distributed   # noqa: F401
    except ImportError:
        pass
    else:
        pytest.skip('dask.distributed is installed')
    run = folder.run('--dask', 'local', 'collected:DEVICE', folder.jsonl('data.jsonl', RECORDS))
    assert (run.returncode, run.stdout) == (2, '')
    assert "--dask needs dask.distributed (pip install 'quarn[dask]')" in run.stderr
