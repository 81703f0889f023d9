"""``quarn-validate SCHEMA DATA...``: check collected data against a schema.

``SCHEMA`` is ``module:NAME``, a ``quarn.utils.ordalin.Schema`` object in an
importable module (the current folder is importable).  Each DATA file holds
records:

- ``.jsonl`` / ``.ndjson``: JSON Lines, one record a line, blank lines skipped;
- ``.yaml`` / ``.yml``: one record a YAML document (needs PyYAML);
- anything else: one JSON document, which is one record (a list too);
- ``-``: standard input, read as JSON Lines.

Every record is validated with ``schema.validate(record)`` (or, with
``--all-errors``, ``schema.iter_errors(record)``), and each violation is
reported with its file, line, record number, location in the record, error
class and message; a summary closes the output.

Exit status: 0 when every record is valid, 1 when violations were found, 2
on a usage error or when any input could not be read (a missing file, broken
JSON): 2 wins over 1, since some data went unchecked.  A broken file or line
is reported and the rest is still checked.

The work is cut into chunks of records that run in this process, in a
process pool (``--jobs N``) or on a Dask cluster (``--dask``); results come
back in input order, so the output is the same in every mode.  Workers parse
the JSON text themselves and send back plain report data (locations, class
names, messages), never the exceptions.
"""
import argparse
import collections
import importlib
import io
import json
import os
import pickle
import sys
from typing import (Any, Callable, Counter, Deque, Dict, IO, Iterable, Iterator, List,
                    NamedTuple, Optional, Sequence, Tuple)

from quarn.utils.ordalin import Schema

PROG = 'quarn-validate'
JSON_LINES_SUFFIXES = ('.jsonl', '.ndjson')
YAML_SUFFIXES = ('.yaml', '.yml')
STDIN = '-'
STDIN_NAME = '<stdin>'
DEFAULT_CHUNK_SIZE = 1000
GROUPS_SHOWN = 20
PLAIN_KEY_TYPES = (str, int, float, bool, type(None))


class UsageError(Exception):
    """The command line cannot be carried out (exit status 2)."""


# One unit of work, as read from the input: (file, line, record, kind,
# payload, size).  ``kind`` is TEXT (UTF-8 JSON text, parsed by whoever
# checks it), RECORD (data already parsed, from YAML) or ERROR (``payload``
# is the message of an input error found while reading); ``line`` is None
# for a whole JSON document; ``size`` is the count of input bytes it stands
# for.  A plain tuple: it pickles ten times faster than a named one, and a
# chunk of them goes to a worker for every thousand records.
Item = Tuple[str, Optional[int], Optional[int], str, Any, int]
TEXT, RECORD, ERROR = 'text', 'record', 'error'


class Violation(NamedTuple):
    location: Tuple[Any, ...]
    error: str      # the exception's class name
    message: str


class Result(NamedTuple):
    """What is reported of one item: an input error, or the violations of
    an invalid record."""
    file: str
    line: Optional[int]
    record: Optional[int]
    input_error: Optional[str]
    violations: List[Violation]


class Checked(NamedTuple):
    """What checking a chunk gave.  Valid records are only counted, so a
    worker sends back little more than what is reported."""
    records: int            # records parsed and validated
    size: int               # input bytes the chunk stood for
    reported: List[Result]  # input errors and invalid records, in input order


# ---- the schema ----------------------------------------------------------------

def load_schema(reference: str) -> Any:
    """The Schema object that ``module:NAME`` names (NAME may be dotted)."""
    module_name, colon, attribute = reference.partition(':')
    if not colon or not module_name or not attribute:
        raise UsageError("SCHEMA must be 'module:NAME' (for example 'inventory:DEVICE'), "
                         "got {!r}".format(reference))
    importlib.invalidate_caches()   # the module may have been written a moment ago
    try:
        target = importlib.import_module(module_name)   # type: Any
    except Exception as error:   # not found, or the module's own code failed
        raise UsageError('SCHEMA {!r}: cannot import {!r}: {}: {}'.format(
            reference, module_name, type(error).__name__, error))
    for name in attribute.split('.'):
        try:
            target = getattr(target, name)
        except AttributeError:
            raise UsageError('SCHEMA {!r}: {!r} has no attribute {!r}'.format(
                reference, module_name, name))
    if not isinstance(target, Schema):
        raise UsageError('SCHEMA {!r} is a {}, not a quarn.utils.ordalin.Schema'.format(
            reference, type(target).__name__))
    return target


def make_importable(folder: str) -> None:
    """Puts ``folder`` first on sys.path, as ``python -m`` does for the
    current folder, unless it is already there."""
    if folder not in sys.path and not (folder == os.getcwd() and '' in sys.path):
        sys.path.insert(0, folder)


_WORKER_SCHEMAS = {}   # type: Dict[Tuple[str, str], Any]


def worker_schema(reference: str, folder: str) -> Any:
    """The schema in a worker process, loaded once per process."""
    key = (reference, folder)
    if key not in _WORKER_SCHEMAS:
        if os.path.isdir(folder):
            make_importable(folder)
        _WORKER_SCHEMAS[key] = load_schema(reference)
    return _WORKER_SCHEMAS[key]


# ---- checking ------------------------------------------------------------------

def portable_key(key: Any) -> Any:
    """A location element that pickles and prints the same in every process:
    plain keys as they are, anything else as its repr."""
    return key if isinstance(key, PLAIN_KEY_TYPES) else repr(key)


def location_of(error: BaseException) -> Tuple[Any, ...]:
    """Where in the record the error happened: its ``location``, else its
    ``path``, else the top of the record."""
    location = getattr(error, 'location', None)
    if location is None:
        location = getattr(error, 'path', None)
    if not isinstance(location, (list, tuple)):
        location = ()
    return tuple(portable_key(key) for key in location)


def message_of(error: BaseException) -> str:
    try:
        return str(error)
    except Exception:
        return repr(error)


def violation(error: BaseException) -> Violation:
    return Violation(location_of(error), type(error).__name__, message_of(error))


def violations_of(schema: Any, record: Any, all_errors: bool) -> List[Violation]:
    """The record's violations; any exception out of the schema counts as
    one, so that one odd record does not stop a long run."""
    found = []   # type: List[Violation]
    try:
        if all_errors:
            for error in schema.iter_errors(record):
                found.append(violation(error))
        else:
            schema.validate(record)
    except Exception as error:
        found.append(violation(error))
    return found


def json_error(error: ValueError, line: Optional[int]) -> Tuple[Optional[int], str]:
    """The line and message of a JSON text that would not parse: ``line`` is
    the line of a JSON Lines record, None for a whole document."""
    if not isinstance(error, json.JSONDecodeError):
        return line, 'not UTF-8 JSON: {}'.format(error)
    if line is None:
        return error.lineno, 'broken JSON: {} (column {})'.format(error.msg, error.colno)
    # The text of one line: an error at its very end (after the newline)
    # still belongs to that line.
    return line, 'broken JSON: {} (column {})'.format(error.msg, error.pos + 1)


DECODER = json.JSONDecoder()
BYTE_ORDER_MARK = '\ufeff'


def parse_json(payload: bytes) -> Any:
    text = payload.decode('utf-8')
    if text.startswith(BYTE_ORDER_MARK):
        text = text[1:]
    return DECODER.decode(text)


def check_item(schema: Any, all_errors: bool, item: Item) -> Optional[Result]:
    """None for a valid record, else what to report."""
    name, line, number, kind, payload, _ = item
    if kind == ERROR:
        return Result(name, line, number, payload, [])
    record = payload
    if kind == TEXT:
        try:
            record = parse_json(payload)
        except ValueError as error:   # JSONDecodeError, UnicodeDecodeError
            error_line, message = json_error(error, line)
            return Result(name, error_line, number, message, [])
    violations = violations_of(schema, record, all_errors)
    return Result(name, line, number, None, violations) if violations else None


def check_items(schema: Any, all_errors: bool, items: Sequence[Item]) -> Checked:
    records, reported = 0, []   # type: Tuple[int, List[Result]]
    for item in items:
        result = check_item(schema, all_errors, item)
        if result is None or result.input_error is None:
            records += 1
        if result is not None:
            reported.append(result)
    return Checked(records, sum(item[-1] for item in items), reported)


def check_chunk(reference: str, folder: str, all_errors: bool, items: Sequence[Item]) -> Checked:
    """A chunk checked in a worker process, which loads the schema itself."""
    return check_items(worker_schema(reference, folder), all_errors, items)


def check_packed_chunk(reference: str, folder: str, all_errors: bool, packed: bytes) -> Checked:
    """check_chunk for a chunk pickled into one bytes object."""
    return check_chunk(reference, folder, all_errors, pickle.loads(packed))


# ---- reading -------------------------------------------------------------------

def error_item(name: str, line: Optional[int], message: str) -> Item:
    return (name, line, None, ERROR, message, 0)


def json_lines_items(name: str, handle: IO[bytes]) -> Iterator[Item]:
    record = 0
    for number, raw in enumerate(handle, 1):
        if raw.strip():
            record += 1
            yield (name, number, record, TEXT, raw, len(raw))


def json_document_items(name: str, handle: IO[bytes]) -> Iterator[Item]:
    text = handle.read()
    yield (name, None, 1, TEXT, text, len(text))


def yaml_items(name: str, handle: IO[bytes]) -> Iterator[Item]:
    """One record per YAML document, with the line it starts on."""
    try:
        import yaml
    except ImportError:
        yield error_item(name, None, 'reading YAML needs PyYAML (pip install pyyaml)')
        return
    loader = yaml.SafeLoader(handle)
    record, read = 0, 0
    try:
        while loader.check_node():
            node = loader.get_node()
            data = loader.construct_document(node)
            record += 1
            size, read = handle.tell() - read, handle.tell()
            yield (name, node.start_mark.line + 1, record, RECORD, data, size)
    except yaml.YAMLError as error:
        mark = getattr(error, 'problem_mark', None)
        line = mark.line + 1 if mark is not None else None
        problem = getattr(error, 'problem', None) or error
        yield error_item(name, line, 'broken YAML: {}'.format(problem))
    finally:
        loader.dispose()


def file_items(path: str) -> Iterator[Item]:
    if path == STDIN:
        yield from json_lines_items(STDIN_NAME, sys.stdin.buffer)
        return
    suffix = os.path.splitext(path)[1].lower()
    reader = (json_lines_items if suffix in JSON_LINES_SUFFIXES else
              yaml_items if suffix in YAML_SUFFIXES else json_document_items)
    try:
        with open(path, 'rb') as handle:
            yield from reader(path, handle)
    except OSError as error:
        yield error_item(path, None, 'cannot read: {}'.format(error.strerror or error))


def all_items(paths: Iterable[str]) -> Iterator[Item]:
    for path in paths:
        yield from file_items(path)


def chunks(items: Iterable[Item], size: int) -> Iterator[List[Item]]:
    chunk = []   # type: List[Item]
    for item in items:
        chunk.append(item)
        if len(chunk) >= size:
            yield chunk
            chunk = []
    if chunk:
        yield chunk


def input_size(paths: Iterable[str]) -> int:
    """The bytes to read, as far as they are known (not for stdin)."""
    total = 0
    for path in paths:
        if path != STDIN and os.path.isfile(path):
            total += os.path.getsize(path)
    return total


# ---- running the chunks ----------------------------------------------------------

def in_order(submit: Callable[[List[Item]], Any], work: Iterable[List[Item]],
             window: int) -> Iterator[Checked]:
    """Submits chunks with at most ``window`` of them in flight and yields
    their results in submission order."""
    pending = collections.deque()   # type: Deque[Any]
    for chunk in work:
        pending.append(submit(chunk))
        if len(pending) >= window:
            yield pending.popleft().result()
    while pending:
        yield pending.popleft().result()


def run_here(schema: Any, all_errors: bool, work: Iterable[List[Item]]) -> Iterator[Checked]:
    for chunk in work:
        yield check_items(schema, all_errors, chunk)


def run_in_pool(options: argparse.Namespace, work: Iterable[List[Item]]) -> Iterator[Checked]:
    from concurrent.futures import ProcessPoolExecutor
    folder = os.getcwd()
    with ProcessPoolExecutor(max_workers=options.jobs) as pool:
        def submit(chunk: List[Item]) -> Any:
            return pool.submit(check_chunk, options.schema, folder, options.all_errors, chunk)
        yield from in_order(submit, work, 2 * options.jobs)


def dask_client(address: str, workers: Optional[int]) -> Any:
    try:
        import logging
        from dask.distributed import Client, LocalCluster
    except ImportError:
        raise UsageError("--dask needs dask.distributed (pip install 'quarn[dask]')")
    if address == 'local':
        cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                               processes=True, dashboard_address=None,
                               silence_logs=logging.ERROR)
        return Client(cluster)
    if workers is not None:
        raise UsageError('--jobs sets the workers of a local cluster (--dask local) only')
    try:
        return Client(address, timeout=30)
    except (OSError, ValueError) as error:
        raise UsageError('cannot reach the Dask scheduler at {!r}: {}'.format(address, error))


def run_on_dask(options: argparse.Namespace, work: Iterable[List[Item]]) -> Iterator[Checked]:
    client = dask_client(options.dask, options.jobs)
    cluster = client.cluster   # None for a scheduler given by address
    try:
        folder = os.getcwd()
        slots = sum(client.nthreads().values()) or 1

        def submit(chunk: List[Item]) -> Any:
            return client.submit(check_packed_chunk, options.schema, folder, options.all_errors,
                                 pickle.dumps(chunk, pickle.HIGHEST_PROTOCOL), pure=False)
        yield from in_order(submit, work, 2 * slots)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


# ---- reporting -------------------------------------------------------------------

def show_location(location: Tuple[Any, ...]) -> str:
    """``['interfaces']['Gi0/0']['mtu']``, or ``(top)`` for the record itself."""
    return ''.join('[{!r}]'.format(key) for key in location) or '(top)'


def show_place(result: Result) -> str:
    place = result.file if result.line is None else '{}:{}'.format(result.file, result.line)
    return place if result.record is None else '{}: record {}'.format(place, result.record)


class Tally(object):
    """The counts of the summary."""

    def __init__(self, files: int) -> None:
        self.files = files
        self.records = self.invalid = self.violations = self.input_errors = 0
        self.groups = collections.Counter()   # type: Counter[Tuple[Tuple[Any, ...], str]]

    def add(self, result: Result) -> None:
        if result.input_error is not None:
            self.input_errors += 1
            return
        self.invalid += 1
        self.violations += len(result.violations)
        for found in result.violations:
            self.groups[(found.location, found.error)] += 1

    @property
    def valid(self) -> int:
        return self.records - self.invalid

    def top_groups(self) -> List[Tuple[Tuple[Tuple[Any, ...], str], int]]:
        """The most frequent (location, error class) pairs, first met first
        among equal counts."""
        return self.groups.most_common(GROUPS_SHOWN)

    def exit_status(self) -> int:
        return 2 if self.input_errors else 1 if self.invalid else 0


class Report(object):
    """Writes violations to ``out`` and input errors to ``err``."""

    def __init__(self, form: str, out: IO[str], err: IO[str], tally: Tally) -> None:
        self.form, self.out, self.err, self.tally = form, out, err, tally
        self.write = self.plain_write   # replaced while a progress bar is shown

    def plain_write(self, line: str, stream: IO[str]) -> None:
        stream.write(line + '\n')

    def result(self, result: Result) -> None:
        self.tally.add(result)
        if result.input_error is not None:
            place = result.file if result.line is None else '{}:{}'.format(result.file, result.line)
            self.write('{}: {}: {}'.format(PROG, place, result.input_error), self.err)
        for found in result.violations:
            self.write(self.violation_line(result, found), self.out)

    def violation_line(self, result: Result, found: Violation) -> str:
        if self.form == 'json':
            return dumps({'kind': 'violation', 'file': result.file, 'line': result.line,
                          'record': result.record, 'location': list(found.location),
                          'error': found.error, 'message': found.message})
        return '{}: {}: {}: {}'.format(show_place(result), show_location(found.location),
                                       found.error, found.message)

    def summary(self) -> None:
        tally = self.tally
        top = tally.top_groups()
        not_shown = len(tally.groups) - len(top)
        if self.form == 'json':
            self.out.write(dumps({
                'kind': 'summary', 'files': tally.files, 'records': tally.records,
                'valid': tally.valid, 'invalid': tally.invalid, 'violations': tally.violations,
                'input_errors': tally.input_errors,
                'by_location': [{'location': list(location), 'error': error, 'count': count}
                                for (location, error), count in top],
                'locations_not_shown': not_shown}) + '\n')
            return
        lines = ['{} checked in {}: {} valid, {} invalid ({}); {}'.format(
            counted(tally.records, 'record'), counted(tally.files, 'file'), tally.valid,
            tally.invalid, counted(tally.violations, 'violation'),
            counted(tally.input_errors, 'input error'))]
        if top:
            lines.append('violations by location:')
            lines.extend('{:>8}  {}  {}'.format(count, show_location(location), error)
                         for (location, error), count in top)
        if not_shown:
            lines.append('{:>8}  more locations not shown'.format(not_shown))
        self.out.write('\n'.join(lines) + '\n')


def counted(count: int, noun: str) -> str:
    return '{} {}{}'.format(count, noun, '' if count == 1 else 's')


def dumps(value: Dict[str, Any]) -> str:
    # Keys a schema converted into something JSON has no form for show as
    # their repr.
    return json.dumps(value, default=repr)


def progress_bar(total: int, wanted: bool) -> Any:
    """A tqdm bar on stderr, counting input bytes; None when stderr is not a
    terminal, when it was not wanted or when tqdm is not installed."""
    if not wanted or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    settings = dict(total=total or None, unit='B', unit_scale=True, file=sys.stderr,
                    leave=False, desc=PROG)
    try:
        return tqdm(delay=0.5, **settings)   # short runs show no bar
    except TypeError:   # a tqdm older than 4.60 has no delay
        return tqdm(**settings)


# ---- the command -----------------------------------------------------------------

def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError('must be at least 1, got {}'.format(value))
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description='Check records of collected data against a quarn schema.',
        epilog='DATA: .jsonl/.ndjson is JSON Lines, .yaml/.yml YAML (one record a document), '
               'anything else one JSON document (one record); - reads JSON Lines from stdin. '
               'Exit status: 0 all valid, 1 violations found, 2 usage or input error.')
    parser.add_argument('schema', metavar='SCHEMA', help='module:NAME of a Schema object')
    parser.add_argument('data', metavar='DATA', nargs='+', help='files to check, - for stdin')
    parser.add_argument('--all-errors', action='store_true',
                        help='report every violation of a record, not only the first')
    parser.add_argument('--format', choices=('text', 'json'), default='text',
                        help='text lines, or one JSON object a line (default: text)')
    parser.add_argument('--jobs', type=positive, default=None, metavar='N',
                        help='validate in N processes (with --dask local: N workers)')
    parser.add_argument('--dask', metavar='ADDRESS',
                        help="validate on the Dask scheduler at ADDRESS, or 'local' for a local cluster")
    parser.add_argument('--chunk-size', type=positive, default=DEFAULT_CHUNK_SIZE, metavar='N',
                        help='records per unit of work (default: %(default)s)')
    parser.add_argument('--no-progress', dest='progress', action='store_false',
                        help='no progress bar, even on a terminal')
    return parser


def prepare(options: argparse.Namespace) -> Any:
    """The schema, once the options are known to fit together."""
    make_importable(os.getcwd())
    schema = load_schema(options.schema)
    if options.all_errors and not callable(getattr(schema, 'iter_errors', None)):
        raise UsageError('--all-errors: this version of quarn cannot list every error of a '
                         'record ({} has no iter_errors)'.format(type(schema).__name__))
    if options.data.count(STDIN) > 1:
        raise UsageError('- (stdin) can be given once')
    return schema


def results(options: argparse.Namespace, schema: Any) -> Iterator[Checked]:
    work = chunks(all_items(options.data), options.chunk_size)
    if options.dask is not None:
        return run_on_dask(options, work)
    if options.jobs is not None and options.jobs > 1:
        return run_in_pool(options, work)
    return run_here(schema, options.all_errors, work)


def check(options: argparse.Namespace, schema: Any, out: IO[str], err: IO[str]) -> int:
    report = Report(options.format, out, err, Tally(len(options.data)))
    bar = progress_bar(input_size(options.data), options.progress)
    if bar is not None:
        report.write = lambda line, stream: bar.write(line, file=stream)
    try:
        for checked in results(options, schema):
            report.tally.records += checked.records
            for result in checked.reported:
                report.result(result)
            if bar is not None:
                bar.update(checked.size)
    finally:
        if bar is not None:
            bar.close()
    report.summary()
    return report.tally.exit_status()


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command with ``argv`` (default: the process's arguments) and
    returns its exit status; usage errors exit at once with status 2."""
    parser = build_parser()
    options = parser.parse_args(argv)
    out, err = sys.stdout, sys.stderr
    try:
        schema = prepare(options)
        return check(options, schema, out, err)
    except UsageError as error:
        parser.error(str(error))
    except KeyboardInterrupt:
        err.write('{}: interrupted\n'.format(PROG))
        return 130
    return 2   # not reached: parser.error exits


def run() -> None:
    """The console script: text that the terminal cannot encode (a
    non-ASCII key under the C locale) is written with escapes, and a reader
    that stops reading (``| head``) ends the command without a traceback."""
    sys.stdout, sys.stderr = escaping(sys.stdout), escaping(sys.stderr)
    try:
        status = main()
        sys.stdout.flush()
    except BrokenPipeError:   # the reader left (| head): no traceback
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 1
    sys.exit(status)


def escaping(stream: Any) -> Any:
    """``stream``, writing what its encoding cannot hold as escapes."""
    if hasattr(stream, 'reconfigure'):   # 3.7+
        stream.reconfigure(errors='backslashreplace')
        return stream
    buffer = getattr(stream, 'buffer', None)
    if buffer is None:
        return stream
    stream.flush()
    return io.TextIOWrapper(buffer, encoding=stream.encoding, errors='backslashreplace',
                            line_buffering=getattr(stream, 'line_buffering', False))
