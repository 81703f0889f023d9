"""Records per second of quarn-validate on a large JSON Lines file.

Writes N records (default 1,000,000) of one device's settings and the schema
they follow into a temporary folder, then runs ``python -m quarn`` on them
with one job, with two jobs and on a local Dask cluster of two workers (left
out when dask.distributed is not installed), and prints a Markdown table.
Each time is the wall clock of the whole command: start-up, reading,
validation and report, so it is what a user waits for.

    PYTHONPATH=src python3 benchmarks/cli_scale.py [--records N] [--chunk-size N]
"""
import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time

import quarn

QUARN_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(quarn.__file__)))

SCHEMA_MODULE = '''\
from quarn.utils.ordalin import Schema

DEVICE = Schema({'hostname': str, 'os': str, 'platform': str, 'port': int, 'enabled': bool,
                 'timeout': float, 'retries': int, 'username': str, 'vrf': str, 'mtu': int})
'''

RUNS = [('1 job', ['--jobs', '1']),
        ('2 jobs', ['--jobs', '2']),
        ('Dask, local cluster of 2 workers', ['--dask', 'local', '--jobs', '2'])]


def record(number, pick):
    return {'hostname': 'r{}'.format(number), 'os': pick(['iosxe', 'nxos', 'iosxr']),
            'platform': pick(['cat9k', 'n9k', 'asr9k']), 'port': pick([22, 830, 2222]),
            'enabled': pick([True, False]), 'timeout': pick([30.0, 10.5, 60.0]),
            'retries': pick([3, 5]), 'username': pick(['admin', 'lab']),
            'vrf': pick(['mgmt', 'default']), 'mtu': pick([1500, 9000, 9216])}


def write_records(path, count):
    pick = random.Random(1).choice
    with open(path, 'w') as handle:
        for number in range(1, count + 1):
            handle.write(json.dumps(record(number, pick)) + '\n')


def dask_available():
    try:
        import dask.distributed   # noqa: F401
    except ImportError:
        return False
    return True


def run_cli(folder, data, options, chunk_size, count):
    env = dict(os.environ)
    env['PYTHONPATH'] = os.pathsep.join(filter(None, [QUARN_PARENT, env.get('PYTHONPATH')]))
    command = [sys.executable, '-m', 'quarn', '--no-progress', '--chunk-size', str(chunk_size)]
    command += options + ['cli_scale_schema:DEVICE', data]
    start = time.perf_counter()
    run = subprocess.run(command, cwd=folder, env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True)
    seconds = time.perf_counter() - start
    expected = '{} records checked'.format(count)
    if run.returncode != 0 or not run.stdout.startswith(expected):
        raise SystemExit('{} failed (exit {}):\n{}{}'.format(command, run.returncode,
                                                             run.stdout, run.stderr))
    return seconds


def load():
    return '{:.2f}'.format(os.getloadavg()[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--records', type=int, default=1000000)
    parser.add_argument('--chunk-size', type=int, default=1000)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, 'cli_scale_schema.py'), 'w') as handle:
            handle.write(SCHEMA_MODULE)
        data = os.path.join(folder, 'devices.jsonl')
        start = time.perf_counter()
        write_records(data, options.records)
        print('wrote {:,} records ({:,} bytes) in {:.1f} s'.format(
            options.records, os.path.getsize(data), time.perf_counter() - start))
        print('Python {}, {} cores\n'.format(sys.version.split()[0], os.cpu_count()))
        print('| run | seconds | records/s | load before | load after |')
        print('|---|---:|---:|---:|---:|')
        for name, run_options in RUNS:
            if '--dask' in run_options and not dask_available():
                print('| {} | skipped: dask.distributed is not installed | | | |'.format(name))
                continue
            before = load()
            seconds = run_cli(folder, data, run_options, options.chunk_size, options.records)
            print('| {} | {:.1f} | {:,.0f} | {} | {} |'.format(
                name, seconds, options.records / seconds, before, load()), flush=True)


if __name__ == '__main__':
    main()
