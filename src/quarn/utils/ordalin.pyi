from typing import Any as _Any, Callable, Dict, Iterable, Iterator, List, Optional as _Opt, Sequence, Tuple, Union

from quarn.datastructures import ListDict as ListDict
from quarn.utils.exceptions import (
    SchemaClassError as SchemaClassError,
    SchemaError as SchemaError,
    SchemaFallbackError as SchemaFallbackError,
    SchemaFallbackLoopError as SchemaFallbackLoopError,
    SchemaMissingKeyError as SchemaMissingKeyError,
    SchemaTypeError as SchemaTypeError,
    SchemaUnsupportedKeyError as SchemaUnsupportedKeyError,
    SchemaValueError as SchemaValueError,
)

__all__: List[str]


class Schema(object):
    schema: _Any
    schemaType: type
    path: List[_Any]

    def __init__(self, schema: _Any, path: _Opt[List[_Any]] = ...) -> None: ...
    @classmethod
    def priority(cls, obj: _Any) -> int: ...
    def collect_defaults(self) -> _Any: ...
    def collect_fallbacks(self) -> _Any: ...
    def apply_defaults(self, data: _Any) -> _Any: ...
    def apply_fallback(self, data: _Any) -> _Any: ...
    def validate(self, data: _Any, top: bool = ...) -> _Any: ...
    def iter_errors(self, data: _Any) -> Iterator[SchemaError]: ...
    def json_schema(self) -> Dict[str, _Any]: ...


class PathValidatingSchema(Schema): ...


class Optional(Schema): ...


class Any(Optional):
    def __init__(self) -> None: ...


class And(Schema):
    schemas: Tuple[_Any, ...]

    def __init__(self, *args: _Any) -> None: ...
    def validate(self, data: _Any, top: bool = ...) -> _Any: ...


class Or(Schema):
    schemas: Tuple[_Any, ...]

    def __init__(self, *args: _Any) -> None: ...
    def validate(self, data: _Any, top: bool = ...) -> _Any: ...


class Default(Optional):
    default: _Any

    def __init__(self, schema: _Any, default: _Any) -> None: ...
    def validate(self, data: _Any, top: bool = ...) -> _Any: ...


class Fallback(Optional):
    fallback: Tuple[_Any, ...]

    # The source: keys joined by '.', or a tuple of keys.
    def __init__(self, schema: _Any, fallback: Union[str, Tuple[_Any, ...]]) -> None: ...


class Use(Schema):
    schema: Callable[[_Any], _Any]

    def validate(self, data: _Any, top: bool = ...) -> _Any: ...


class PathAwareUse(PathValidatingSchema):
    schema: Callable[[List[_Any], _Any], _Any]

    def validate(self, path: List[_Any], data: _Any, top: bool = ...) -> _Any: ...  # type: ignore[override]


class Check(PathValidatingSchema):
    schema: Callable[[_Any], object]
    message: _Opt[str]

    def __init__(self, predicate: Callable[[_Any], object], message: _Opt[str] = ...) -> None: ...
    def validate(self, path: List[_Any], data: _Any, top: bool = ...) -> _Any: ...  # type: ignore[override]


class Each(Schema):
    def validate(self, data: _Any, top: bool = ...) -> _Any: ...


class Path(Tuple[_Any, ...]):
    def __hash__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def is_dynamic(self) -> bool: ...
    def missing_from(self, paths: Sequence[Tuple[_Any, ...]]) -> List[Tuple[_Any, ...]]: ...
