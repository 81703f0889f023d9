"""Replays every input the fuzzer saved, plus a fixed batch of random ones,
through the fuzz target's invariant checks (no atheris needed)."""
import glob
import os
import random
import sys

import pytest

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'fuzz')
sys.path.insert(0, HERE)
import target  # noqa: E402

SAVED = sorted(glob.glob(os.path.join(HERE, 'regressions', '*')))


@pytest.mark.parametrize('path', SAVED, ids=[os.path.basename(p) for p in SAVED])
def test_saved_fuzz_input(path):
    with open(path, 'rb') as f:
        target.check(f.read())


def test_fixed_random_batch():
    rng = random.Random(20240601)
    for _ in range(3000):
        target.check(bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 160))))


def test_decoder_is_deterministic():
    raw = bytes(range(7, 200, 3))
    first, second = target.Source(raw), target.Source(raw)
    a = target.build_schema(first, target.Built())
    b = target.build_schema(second, target.Built())
    assert repr(a) == repr(b) and first.pos == second.pos
