"""Reference and memory leak check for blocks of API calls.

``assert_no_leak(block)`` runs ``block()`` in rounds of many calls and
measures, after each round and a full collection, three things:

- the number of objects the cyclic collector tracks (``gc.get_objects()``):
  catches leaked dicts, lists, instances, exceptions and frames;
- ``sys.getallocatedblocks()``: catches leaked untracked objects (strings,
  ints, tuples of atoms) allocated by the interpreter's allocator;
- the memory that ``tracemalloc`` traces: catches leaked buffers of any size;

and, for every object given in ``watch``, its reference count: catches a
reference taken and never given back on an object that already existed
(the schema, the data, a key, ``None``), which allocates nothing.

A leak grows with the number of calls, so it shows in every round; noise
(caches filling, free lists, the collector's generations) does not.  The
check therefore fails only when every round after the warm-up grew by more
than the tolerance, and reports the smallest growth it saw.

The objects that exist before the check starts are moved out of the
collector's sight for its duration (``gc.freeze``, 3.7+): a full collection
then walks only what the block made, which is what is measured, instead of
every module the test run has imported.
"""
import gc
import sys
import tracemalloc

__all__ = ['assert_no_leak', 'expect_raises', 'Leak']


class Leak(AssertionError):
    pass


def expect_raises(exc_class, func, *args, **kwargs):
    """Call ``func`` and check that it raises exactly ``exc_class``.

    The exception (with its traceback and frames) is dropped before
    returning, so that it cannot be counted as a leak.
    """
    try:
        func(*args, **kwargs)
    except BaseException as e:  # noqa: B902 - the class is checked below
        if type(e) is not exc_class:
            raise
        return type(e)
    raise AssertionError('{} did not raise {}'.format(func, exc_class.__name__))


def _measure(watch):
    gc.collect()
    gc.collect()
    sizes = {
        'gc objects': len(gc.get_objects()),
        'allocated blocks': sys.getallocatedblocks(),
        'traced bytes': tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else 0,
    }
    for i, obj in enumerate(watch):
        sizes['refcount of watched #{} ({})'.format(i, type(obj).__name__)] = sys.getrefcount(obj)
    return sizes


def _run(block, iterations):
    for _ in range(iterations):
        block()


def assert_no_leak(block, iterations=300, rounds=4, warmup=2, watch=(), per_call=0.25,
                   bytes_per_call=12):
    """Fail with ``Leak`` if ``block()`` keeps leaking objects or memory.

    ``per_call`` is the tolerated growth, per call, of the object and block
    counts (a leak of one object per call grows by 1.0); ``bytes_per_call``
    the tolerated growth of traced memory.  Reference counts of watched
    objects tolerate no growth at all beyond a handful of references.
    """
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    frozen = hasattr(gc, 'freeze')
    if frozen:
        gc.collect()
        gc.freeze()
    try:
        for _ in range(warmup):
            _run(block, iterations)
        before = _measure(watch)
        growth = None
        for _ in range(rounds):
            _run(block, iterations)
            after = _measure(watch)
            step = {k: after[k] - before[k] for k in after}
            growth = step if growth is None else {k: min(growth[k], step[k]) for k in step}
            before = after
    finally:
        if frozen:
            gc.unfreeze()
        if started:
            tracemalloc.stop()
    limits = {k: (iterations * per_call if k in ('gc objects', 'allocated blocks') else
                  iterations * bytes_per_call if k == 'traced bytes' else 3)
              for k in growth}
    leaking = {k: v for k, v in growth.items() if v > limits[k]}
    if leaking:
        raise Leak('grew in every one of {} rounds of {} calls (smallest growth per round): {}'.format(
            rounds, iterations, ', '.join('{} +{}'.format(k, v) for k, v in sorted(leaking.items()))))
    return growth
