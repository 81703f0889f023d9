"""The README's code, run as a reader would run it, and its claims checked.

The python blocks of README.md form one session: each block runs after the
ones before it, in one namespace.  A block whose first line is a file name
(``# memstore/mem.py``) is a file to create, not code to run; a toml block
that declares entry points is a distribution to install.  Both are set up in
a temporary folder on ``sys.path``, as if the reader had installed them.

What a block shows is checked:

* an expression statement followed by a comment that reads as a Python
  literal (``# {'vlan': 10}``, on its line or on the line after it) must give
  that value, with the same repr;
* a ``print(...)`` followed by a comment must print that text, ``...``
  standing for any text;
* every such claim must be reached (one inside an ``except`` block that never
  runs fails the test).

Other comments are prose.  Shell blocks are not run.  The docstring examples
of the schema classes and of ``get_child`` are checked the same way, and
``mypy --strict`` runs over the README's code and the examples it runs.
"""
import ast
import contextlib
import importlib
import inspect
import io
import os
import re
import shutil
import subprocess
import sys
import tokenize

import pytest

import quarn.utils.ordalin as ordalin
from quarn.utils.bargeon import core
from quarn.utils.bargeon.bases.bargeon import BargeonBase

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(ROOT, 'README.md')
EXAMPLES = os.path.join(ROOT, 'examples')

FENCE = re.compile(r'^```(\w*)\s*$')
FILE_NAME = re.compile(r'^# ([\w/]+\.py)\s*$')
ENTRY_POINTS_HEADER = re.compile(r'^\[project\.entry-points\."([^"]+)"\]\s*$')


class Block(object):
    def __init__(self, lang, line, text):
        self.lang = lang
        self.line = line          # line of the README on which the code starts
        self.text = text
        first = text.split('\n', 1)[0]
        match = FILE_NAME.match(first) if lang == 'python' else None
        self.file_name = match.group(1) if match else None

    @property
    def is_session(self):
        return self.lang == 'python' and self.file_name is None

    def __repr__(self):
        return 'README.md:{}'.format(self.line)


def readme_blocks():
    blocks, lang, start, lines = [], None, 0, []
    with open(README) as readme:
        for number, line in enumerate(readme, 1):
            match = FENCE.match(line)
            if lang is None and match:
                lang, start, lines = match.group(1), number + 1, []
            elif lang is not None and line.rstrip() == '```':
                blocks.append(Block(lang, start, ''.join(lines)))
                lang = None
            elif lang is not None:
                lines.append(line)
    assert lang is None, 'README.md: the code block from line {} is not closed'.format(start)
    return blocks


BLOCKS = readme_blocks()
SESSION = [block for block in BLOCKS if block.is_session]


# ---- claims ----------------------------------------------------------------

def _ellipsis_match(expected, got):
    parts = expected.split('...')
    if len(parts) == 1:
        return expected == got
    if not (got.startswith(parts[0]) and got.endswith(parts[-1])
            and len(got) >= len(parts[0]) + len(parts[-1])):
        return False
    at, end = len(parts[0]), len(got) - len(parts[-1])
    for part in parts[1:-1]:
        at = got.find(part, at, end)
        if at < 0:
            return False
        at += len(part)
    return True


class Claims(object):
    """The claims of one piece of code, and which of them were checked."""

    def __init__(self, where):
        self.where = where
        self.pending = {}   # line -> (comment, is_print)

    def check(self, line, thunk):
        comment, is_print = self.pending.pop(line)
        where = '{} line {}'.format(self.where, line)
        if is_print:
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                thunk()
            got = out.getvalue().rstrip('\n')
            assert _ellipsis_match(comment, got), '{}: printed {!r}, shown as {!r}'.format(where, got, comment)
            return None
        result = thunk()
        try:
            expected = ast.literal_eval(comment)
        except (ValueError, SyntaxError):
            return result   # prose
        assert result == expected and repr(result) == repr(expected), \
            '{}: gives {!r}, shown as {}'.format(where, result, comment)
        return result


def _comments_and_line_ends(source):
    comments, own_line, ends = {}, set(), []
    for token in tokenize.generate_tokens(io.StringIO(source).readline):
        if token.type == tokenize.COMMENT:
            row, col = token.start
            comments[row] = token.string[1:].strip()
            if not token.line[:col].strip():
                own_line.add(row)
        elif token.type == tokenize.NEWLINE:
            ends.append(token.start[0])
    return comments, own_line, ends


def instrument(source, claims):
    """``source`` compiled with every claimed expression routed through
    ``claims.check``."""
    comments, own_line, ends = _comments_and_line_ends(source)
    tree = ast.parse(source)
    template = 'claims.check({}, lambda: None)'

    class Route(ast.NodeTransformer):
        def visit_Expr(self, node):
            end = min(row for row in ends if row >= node.lineno)
            if end in comments and end not in own_line:
                comment = comments[end]
            elif end + 1 in own_line:
                comment = comments[end + 1]
            else:
                return node
            value = node.value
            is_print = (isinstance(value, ast.Call) and isinstance(value.func, ast.Name)
                        and value.func.id == 'print')
            claims.pending[node.lineno] = (comment, is_print)
            call = ast.parse(template.format(node.lineno)).body[0]
            call.value.args[1].body = value
            return ast.fix_missing_locations(ast.copy_location(call, node))

    tree = ast.fix_missing_locations(Route().visit(tree))
    return compile(tree, claims.where, 'exec')


def run_checked(source, namespace, where):
    claims = Claims(where)
    code = instrument(source, claims)
    namespace['claims'] = claims
    try:
        exec(code, namespace)
    finally:
        del namespace['claims']
    assert not claims.pending, '{}: claims never reached, lines {}'.format(where, sorted(claims.pending))


# ---- the README's session ------------------------------------------------------

def install_entry_points(block, folder):
    """A dist-info in ``folder`` for the entry points a toml block declares."""
    group, lines = None, []
    for line in block.text.splitlines():
        header = ENTRY_POINTS_HEADER.match(line)
        if header:
            group = header.group(1)
            lines.append('[{}]'.format(group))
        elif group and '=' in line:
            name, value = (part.strip().strip('"') for part in line.split('=', 1))
            lines.append('{} = {}'.format(name, value))
    if group is None:
        return
    info = os.path.join(folder, 'readme_plugin-0.0.dist-info')
    os.makedirs(info, exist_ok=True)
    with open(os.path.join(info, 'METADATA'), 'w') as handle:
        handle.write('Metadata-Version: 2.1\nName: readme-plugin\nVersion: 0.0\n')
    with open(os.path.join(info, 'entry_points.txt'), 'a') as handle:
        handle.write('\n'.join(lines) + '\n')


def write_file_block(block, folder):
    path = os.path.join(folder, block.file_name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'w') as handle:
        handle.write(block.text)


@pytest.fixture
def reader_folder(tmp_path, monkeypatch):
    """A folder on sys.path for what the README has the reader install; the
    plugin registry forgets it afterwards."""
    before = set(sys.modules)
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.chdir(tmp_path)
    yield str(tmp_path)
    for name in set(sys.modules) - before:
        if getattr(sys.modules[name], '__file__', None) and \
                sys.modules[name].__file__.startswith(str(tmp_path)):
            del sys.modules[name]
    BargeonBase.__plugin_mgr__.rescan()


@pytest.mark.parametrize('block', SESSION, ids=repr)
def test_readme_block(block, reader_folder):
    namespace = {'__name__': '__readme__'}
    for earlier in BLOCKS:
        if earlier is block:
            break
        if earlier.file_name:
            write_file_block(earlier, reader_folder)
        elif earlier.lang == 'toml':
            install_entry_points(earlier, reader_folder)
            importlib.invalidate_caches()
            BargeonBase.__plugin_mgr__.rescan()
        elif earlier.is_session:
            exec(compile(earlier.text, repr(earlier), 'exec'), namespace)
    run_checked(block.text, namespace, repr(block))


def test_plugin_section_uses_the_registry_group():
    sections = [block for block in BLOCKS if block.lang == 'toml']
    groups = [match.group(1) for block in sections for match in
              map(ENTRY_POINTS_HEADER.match, block.text.splitlines()) if match]
    assert groups == [core.ENTRY_POINT_GROUP]
    assert [block.file_name for block in BLOCKS if block.file_name] == \
        ['memstore/__init__.py', 'memstore/mem.py']


@pytest.mark.parametrize('source, fault', [
    ("x = 2\nx + 1   # 4\n", 'gives 3, shown as 4'),
    ("print('a', 1)   # a 2\n", "printed 'a 1'"),
    ("if False:\n    len('ab')   # 2\n", 'never reached'),
    ("{'vlan': True}\n# {'vlan': 1}\n", "gives {'vlan': True}"),
])
def test_a_wrong_claim_fails(source, fault):
    with pytest.raises(AssertionError, match=re.escape(fault)):
        run_checked(source, {}, 'sample')


# ---- docstring examples ---------------------------------------------------------

def docstring_example(doc):
    """The code of the "Example:"/"Examples:" sections and ``>>>`` lines of
    ``doc``, dedented."""
    lines, code, indent = doc.splitlines(), [], None
    for line in lines:
        stripped = line.strip()
        if stripped.startswith('>>> '):
            code.append(stripped[4:])
            continue
        if indent is None:
            if stripped in ('Example:', 'Examples:'):
                indent = len(line) - len(line.lstrip())
            continue
        if stripped and len(line) - len(line.lstrip()) <= indent:
            indent = None
            continue
        code.append(line)
    return inspect.cleandoc('\n'.join(code)) if code else ''


DOCUMENTED = [(name, getattr(ordalin, name)) for name in
              ('Schema', 'And', 'Or', 'Fallback', 'Use', 'PathAwareUse', 'Check', 'Each', 'Path')]
DOCUMENTED += [('ordalin', ordalin), ('BargeonBase.get_child', BargeonBase.get_child)]


@pytest.mark.parametrize('name, documented', DOCUMENTED, ids=[name for name, _ in DOCUMENTED])
def test_docstring_example_runs(name, documented):
    code = docstring_example(documented.__doc__ or '')
    assert code, '{} shows no example'.format(name)
    namespace = {name: getattr(ordalin, name) for name in dir(ordalin) if not name.startswith('_')}
    run_checked(code, namespace, '{} docstring'.format(name))


# ---- types -----------------------------------------------------------------------

MYPY_CONFIG = """\
[mypy]
strict = True
cache_dir = {cache}
[mypy-pyftpdlib.*]
ignore_missing_imports = True
"""


def mypy(folder, *args):
    # mypy is a tool beside the tests, not code under test: it runs without a
    # sanitizer runtime the suite itself may be preloaded with.
    env = {name: value for name, value in os.environ.items() if name != 'LD_PRELOAD'}
    package = os.path.dirname(os.path.dirname(os.path.abspath(ordalin.__file__)))   # .../quarn
    quarn_parent = os.path.dirname(package)
    if os.path.basename(quarn_parent) != 'site-packages':
        # An in-place build (PYTHONPATH=src): mypy does not read PYTHONPATH.
        env['MYPYPATH'] = quarn_parent
    config = os.path.join(folder, 'mypy.ini')
    with open(config, 'w') as handle:
        handle.write(MYPY_CONFIG.format(cache=os.path.join(folder, '.mypy_cache')))
    run = subprocess.run([sys.executable, '-m', 'mypy', '--strict', '--config-file', config] + list(args),
                         cwd=folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         universal_newlines=True, timeout=600)
    assert run.returncode == 0, run.stdout


@pytest.fixture
def mypy_available():
    if sys.version_info < (3, 8):
        pytest.skip('mypy no longer installs on Python {}.{}: the types are checked on 3.8+'
                    .format(*sys.version_info[:2]))
    pytest.importorskip('mypy', reason="mypy is not installed (pip install '.[test]' brings it)")


def test_readme_and_examples_pass_mypy_strict(tmp_path, mypy_available):
    folder = str(tmp_path)
    files = []
    for block in BLOCKS:
        if block.file_name:
            write_file_block(block, folder)
            files.append(block.file_name)
    with open(os.path.join(folder, 'readme_session.py'), 'w') as handle:
        handle.write('\n'.join(block.text for block in SESSION))
    for name in ('interfaces.py', 'file_transfer.py'):
        shutil.copy(os.path.join(EXAMPLES, name), os.path.join(folder, name))
    mypy(folder, '--follow-imports=silent', 'readme_session.py', 'interfaces.py',
         'file_transfer.py', *files)


def test_typed_modules_pass_mypy_strict(tmp_path, mypy_available):
    mypy(str(tmp_path), '-p', 'quarn.topology', '-p', 'quarn.utils.bargeon.core',
         '-p', 'quarn.utils.exceptions', '-p', 'quarn.utils.secret_strings')
