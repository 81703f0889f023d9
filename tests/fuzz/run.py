"""Run the schema-engine fuzz target for a bounded time.

    python3 tests/fuzz/run.py [--seconds 120]

With atheris (installed on demand with pip when missing) the target runs
under libFuzzer, coverage-guided, seeded with the saved regression inputs;
without it, random inputs are fed for the same time.  Either way the run
prints the number of inputs tried, and exits non-zero when an invariant
failed or the interpreter crashed; the failing input is then saved under
tests/fuzz/regressions/ (replayed by tests/test_fuzz_regressions.py on every
test run) and printed in hex.
"""
import argparse
import glob
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
REGRESSIONS = os.path.join(HERE, 'regressions')
TARGET = os.path.join(HERE, 'target.py')


def environment():
    env = dict(os.environ)
    paths = [os.path.join(ROOT, 'src'), HERE]
    if env.get('PYTHONPATH'):
        paths.append(env['PYTHONPATH'])
    env['PYTHONPATH'] = os.pathsep.join(paths)
    return env


def have_atheris():
    probe = [sys.executable, '-c', 'import atheris']
    if subprocess.call(probe, stderr=subprocess.DEVNULL) == 0:
        return True
    subprocess.call([sys.executable, '-m', 'pip', 'install', '-q', 'atheris'],
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return subprocess.call(probe, stderr=subprocess.DEVNULL) == 0


def save(raw, why):
    os.makedirs(REGRESSIONS, exist_ok=True)
    name = os.path.join(REGRESSIONS, hashlib.sha1(raw).hexdigest()[:16])
    with open(name, 'wb') as f:
        f.write(raw)
    print('fuzz: {}; reproducer saved as {} ({})'.format(why, os.path.relpath(name, ROOT), raw.hex()))


def run_atheris(seconds):
    work = tempfile.mkdtemp(prefix='quarn-fuzz-')
    corpus = os.path.join(work, 'corpus')
    os.makedirs(corpus)
    for seed in glob.glob(os.path.join(REGRESSIONS, '*')):
        shutil.copy(seed, corpus)
    command = [sys.executable, TARGET, '-max_total_time={}'.format(seconds), '-max_len=256',
               '-rss_limit_mb=4096', '-timeout=20', '-print_final_stats=1',
               '-artifact_prefix={}{}'.format(work, os.sep), corpus]
    done = subprocess.run(command, env=environment(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    runs = re.findall(r'stat::number_of_executed_units:\s*(\d+)', done.stdout) or \
        re.findall(r'Done (\d+) runs', done.stdout)
    print('fuzz: atheris ran {} inputs in about {} s'.format(runs[-1] if runs else 'an unknown number of',
                                                              seconds))
    artifacts = [p for p in glob.glob(os.path.join(work, '*')) if os.path.isfile(p)]
    if done.returncode != 0 or artifacts:
        sys.stdout.write(done.stdout[-20000:])
        for path in artifacts:
            with open(path, 'rb') as f:
                save(f.read(), 'failure ({})'.format(os.path.basename(path).split('-')[0]))
        shutil.rmtree(work, ignore_errors=True)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    return 0


RANDOM_CHILD = r'''
import os, random, sys, time
import target
seconds, seed, current = float(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
rng = random.Random(seed)
fd = os.open(current, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
runs, end = 0, time.time() + seconds
while time.time() < end:
    raw = bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 200)))
    os.pwrite(fd, len(raw).to_bytes(4, 'big') + raw, 0)     # kept if the interpreter dies
    try:
        target.check(raw)
    except target.Failed as e:
        print('FAILED', raw.hex(), e)
        sys.exit(3)
    runs += 1
print('RUNS', runs)
'''


def run_random(seconds):
    work = tempfile.mkdtemp(prefix='quarn-fuzz-')
    current = os.path.join(work, 'current')
    seed = random.SystemRandom().randrange(1 << 30)
    done = subprocess.run([sys.executable, '-c', RANDOM_CHILD, str(seconds), str(seed), current],
                          env=environment(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    runs = re.findall(r'RUNS (\d+)', done.stdout)
    print('fuzz: random inputs (seed {}), {} run'.format(seed, runs[-1] if runs else 'unknown number'))
    if done.returncode == 0:
        shutil.rmtree(work, ignore_errors=True)
        return 0
    sys.stdout.write(done.stdout[-20000:])
    failed = re.findall(r'FAILED ([0-9a-f]*) ', done.stdout)
    if failed:
        save(bytes.fromhex(failed[-1]), 'invariant failed')
    else:
        with open(current, 'rb') as f:
            blob = f.read()
        save(blob[4:4 + int.from_bytes(blob[:4], 'big')], 'interpreter died with {}'.format(done.returncode))
    shutil.rmtree(work, ignore_errors=True)
    return 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--seconds', type=int, default=120)
    parser.add_argument('--random', action='store_true', help='do not use atheris')
    args = parser.parse_args()
    started = time.time()
    if not args.random and have_atheris():
        status = run_atheris(args.seconds)
    else:
        status = run_random(args.seconds)
    print('fuzz: {} after {:.0f} s'.format('FAILED' if status else 'passed', time.time() - started))
    return status


if __name__ == '__main__':
    sys.exit(main())
