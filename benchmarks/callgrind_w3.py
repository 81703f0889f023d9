"""Instructions of one W3 validation at two sizes, counted by callgrind.

Wall times on a shared machine move by tens of percent and include the
wait for memory; instruction counts repeat exactly and show whether the
work itself grows linearly with the data.

    PYTHONPATH=src python3 benchmarks/callgrind_w3.py            # 1,000 and 10,000
    PYTHONPATH=src python3 benchmarks/callgrind_w3.py 100 1000   # other sizes

For each size the script runs itself under
``valgrind --tool=callgrind`` with collection on only inside the
extension's validate call, makes one warm-up call and one counted call
(the warm-up is counted too, so the count is halved), and prints the
instructions per call and their growth.  Exit status 2 when valgrind is
missing.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
# The method's entry point: the vectorcall form on 3.7 and later.
TOGGLE = '*schema_validate_fast*' if sys.version_info >= (3, 7) else '*schema_validate(*'
GROWTH_TARGET = 10.5


def run_one(size):
    """The measured child: two W3 calls at ``size`` interfaces, collector off."""
    import gc
    sys.path.insert(0, HERE)
    import peer_quarn
    import workloads
    validate, _ = peer_quarn.w3()
    data = workloads.interfaces_with_defaults(size)
    gc.disable()
    validate(data)
    validate(data)


def count(size, workdir):
    out = os.path.join(workdir, 'callgrind.%d' % size)
    subprocess.run(
        ['valgrind', '--tool=callgrind', '--toggle-collect=' + TOGGLE,
         '--callgrind-out-file=' + out, sys.executable, os.path.abspath(__file__),
         '--child', str(size)],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(out) as stream:
        for line in stream:
            match = re.match(r'(?:summary|totals):\s+(\d+)', line)
            if match:
                return int(match.group(1)) // 2
    raise RuntimeError('no instruction total in ' + out)


def main(argv):
    if argv[:1] == ['--child']:
        run_one(int(argv[1]))
        return 0
    if shutil.which('valgrind') is None:
        print('valgrind is not installed', file=sys.stderr)
        return 2
    small, large = (int(a) for a in argv) if argv else (1000, 10000)
    with tempfile.TemporaryDirectory() as workdir:
        low, high = count(small, workdir), count(large, workdir)
    growth = high / low
    print('W3 instructions per call: {:,} at {:,}, {:,} at {:,} interfaces: {:.2f}x'
          ' (ideal {:g}x, target <= {:g}x for 10x the data)'.format(
              low, small, high, large, growth, large / small, GROWTH_TARGET))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
