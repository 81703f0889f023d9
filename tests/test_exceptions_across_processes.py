"""Schema exceptions raised in a worker process arrive whole in the parent."""
import multiprocessing
import pickle
import socket
import sys
from concurrent.futures import ProcessPoolExecutor

import pytest

from quarn.utils.exceptions import SchemaClassError, SchemaError, SchemaTypeError
from quarn.utils.ordalin import Schema, Use


def numbers():
    yield 1


def validate_in_worker(case):
    """Raises, in the worker, an error whose members do not pickle."""
    if case == 'lambda schema':
        Schema({'a': {'b': lambda v: int(v)}}).validate({'a': {'b': 'x'}})
    elif case == 'generator data':
        Schema({'a': int}).validate({'a': numbers()})
    elif case == 'socket data':
        with socket.socket() as s:
            Schema({'s': int}).validate({'s': s})
    elif case == 'converter':
        Schema({'n': Use(int)}).validate({'n': 'x'})


@pytest.mark.parametrize('case, cls, path', [
    ('lambda schema', SchemaClassError, ['a', 'b']),
    ('generator data', SchemaTypeError, ['a']),
    ('socket data', SchemaTypeError, ['s']),
    ('converter', SchemaError, None),
])
def test_a_worker_error_arrives_with_its_class_message_and_path(case, cls, path):
    try:
        validate_in_worker(case)
    except SchemaError as e:
        here = e
    # fork on every version: a worker so made knows this module as it is.
    context = {'mp_context': multiprocessing.get_context('fork')} if sys.version_info >= (3, 7) else {}
    with ProcessPoolExecutor(1, **context) as pool:
        with pytest.raises(cls) as info:
            pool.submit(validate_in_worker, case).result(timeout=60)
    arrived = info.value
    assert type(arrived) is type(here)
    # The addresses in reprs differ between the processes; the shape does not.
    assert str(arrived).split(' at 0x')[0] == str(here).split(' at 0x')[0]
    if path is not None:
        assert arrived.path == path
    assert type(pickle.loads(pickle.dumps(arrived))) is cls
