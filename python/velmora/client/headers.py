"""``Headers``: a text view over the core's ``HeaderMap``.

The core keeps header fields as lower-case names and ``bytes`` values; a response's ``HeaderMap``
is wrapped as it arrives, without copying, and a value is decoded (Latin-1, as HTTP fields are
octets) only when it is asked for. ``.raw`` gives the bytes, ``.map`` the ``HeaderMap`` itself.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping, MutableMapping
from typing import Any

from velmora._velmora import HeaderMap

__all__ = ["Headers", "header_items"]


def _text(value: bytes) -> str:
    return value.decode("latin-1")


def header_items(headers: Any) -> Iterable[tuple[Any, Any]]:
    """The ``(name, value)`` pairs of any headers argument (mapping, pairs, ``Headers``,
    ``HeaderMap`` or an httpx ``Headers``)."""
    if headers is None:
        return ()
    if isinstance(headers, Headers):
        return headers.map.raw_items()
    if isinstance(headers, HeaderMap):
        return headers.raw_items()
    if hasattr(headers, "multi_items"):
        return headers.multi_items()
    if isinstance(headers, Mapping):
        return headers.items()
    return headers


class Headers(MutableMapping[str, str]):
    """Case-insensitive, multi-valued header fields with ``str`` values.

    ``h["name"]`` and ``h.get("name")`` join repeated fields with ``", "``;
    :meth:`get_list` and :meth:`multi_items` keep them apart. Setting a name replaces every field
    of that name; :meth:`add` appends one. Values are set as ``str`` (encoded as Latin-1) or
    ``bytes``.
    """

    __slots__ = ("map",)

    def __init__(self, headers: Any = None) -> None:
        if isinstance(headers, HeaderMap):
            self.map = headers  # wrapped, not copied
        elif isinstance(headers, Headers):
            self.map = HeaderMap(headers.map)
        else:
            m = HeaderMap()
            for name, value in header_items(headers):
                m.add(name, value)
            self.map = m

    # ---- reading ------------------------------------------------------------------------------

    def __getitem__(self, name: str) -> str:
        values = self.map.get_all(name)
        if len(values) == 1:
            return values[0].decode("latin-1")
        if not values:
            raise KeyError(name)
        return ", ".join(_text(v) for v in values)

    def get(self, name: str, default: Any = None) -> Any:  # type: ignore[override]
        values = self.map.get_all(name)
        if len(values) == 1:
            return values[0].decode("latin-1")
        if not values:
            return default
        return ", ".join(_text(v) for v in values)

    def get_list(self, name: str, split_commas: bool = False) -> list[str]:
        values = [_text(v) for v in self.map.get_all(name)]
        if not split_commas:
            return values
        return [part.strip() for v in values for part in v.split(",") if part.strip()]

    def __contains__(self, name: object) -> bool:
        return name in self.map

    def __iter__(self) -> Iterator[str]:
        return iter(self.map.keys())

    def __len__(self) -> int:
        return len(self.map.keys())

    def keys(self) -> list[str]:  # type: ignore[override]
        return self.map.keys()

    def values(self) -> list[str]:  # type: ignore[override]
        return [self[name] for name in self.map.keys()]

    def items(self) -> list[tuple[str, str]]:  # type: ignore[override]
        """One ``(name, value)`` per name, repeated fields joined with ``", "``."""
        return [(name, self[name]) for name in self.map.keys()]

    def multi_items(self) -> list[tuple[str, str]]:
        """Every field as ``(name, value)``, repeated names included."""
        return [(name, _text(value)) for name, value in self.map.items()]

    @property
    def raw(self) -> list[tuple[bytes, bytes]]:
        """Every field as ``(name, value)`` bytes."""
        return self.map.raw_items()

    def raw_items(self) -> list[tuple[bytes, bytes]]:
        return self.map.raw_items()

    @property
    def encoding(self) -> str:
        return "latin-1"

    # ---- changing -----------------------------------------------------------------------------

    def __setitem__(self, name: str, value: str | bytes) -> None:
        self.map[name] = value

    def __delitem__(self, name: str) -> None:
        if name not in self.map:
            raise KeyError(name)
        del self.map[name]

    def add(self, name: str, value: str | bytes) -> None:
        self.map.add(name, value)

    def update(self, headers: Any = None, **kwargs: Any) -> None:  # type: ignore[override]
        for name, value in header_items(headers):
            self.map[name] = value
        for name, value in kwargs.items():
            self.map[name] = value

    def copy(self) -> Headers:
        return Headers(self)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Headers):
            return sorted(self.map.raw_items()) == sorted(other.map.raw_items())
        if isinstance(other, HeaderMap):
            return self.map == other
        try:
            return sorted(self.multi_items()) == sorted(Headers(other).multi_items())
        except (TypeError, ValueError):
            return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"Headers({self.multi_items()!r})"

