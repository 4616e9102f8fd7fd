"""Sequences and replications of one subset, recovered by walking the message's descriptors
alongside its decoded values the way the decoder walked them.

The decoded values are a flat list; this puts each value back under the Table D sequence and
the replication (with its repeat number) it came from. The walk is only a view: when the
values and the descriptors do not line up (an operator this walk does not model, tables that
differ from the decoder's), `group` returns None and the caller shows the flat list.
"""
from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Union

ASSOCIATED_FIELD = 999999

# Value indices and groups, in order; code -> members of a Table D entry, or None.
Tree = list[Union[int, "Group"]]
Sequences = Callable[[int], "list[int] | None"]


@dataclass
class Group:
    """A sequence (repeats holds one list) or a replication (one list per repeat); for a
    delayed replication `factor` is the index of the factor's value."""
    code: int
    repeats: list[Tree] = field(default_factory=list)
    factor: int | None = None


class _Misaligned(Exception):
    pass


def _emits_marker(x: int, y: int) -> bool:
    """Operators for which the decoder puts one value carrying the operator's own code."""
    if x in (22, 36, 62):
        return y == 0
    if x in (23, 24, 25, 32):
        return y != 255
    return x in (26, 27, 29, 30, 31, 33, 34, 35, 37) or 38 <= x <= 42


class _Walk:
    def __init__(self, sequences: Sequences, codes: list[int], numbers: list[float | None]):
        self.sequences = sequences   # code -> members, or None
        self.codes = codes           # descriptor of each value of the subset
        self.numbers = numbers       # numeric value of each (None when missing or text)
        self.i = 0
        self.associated = False

    def take(self, code: int | None) -> int:
        if self.i >= len(self.codes) or (code is not None and self.codes[self.i] != code):
            raise _Misaligned()
        self.i += 1
        return self.i - 1

    def element(self, code: int, out: Tree) -> int:
        if self.associated and (code // 1000) % 100 != 31:
            out.append(self.take(ASSOCIATED_FIELD))
        index = self.take(code)
        out.append(index)
        return index

    def walk(self, codes: list[int], depth: int = 0) -> Tree:
        if depth > 64:
            raise _Misaligned()
        out: Tree = []
        i = 0
        while i < len(codes):
            code = codes[i]
            f, x, y = code // 100000, (code // 1000) % 100, code % 1000
            if f == 0:
                self.element(code, out)
                i += 1
            elif f == 1:
                group = Group(code)
                if y:
                    body, i = codes[i + 1:i + 1 + x], i + 1 + x
                else:
                    factor_out: Tree = []
                    group.factor = self.element(codes[i + 1] if i + 1 < len(codes) else -1, factor_out)
                    out.extend(factor_out[:-1])       # an associated field before the factor
                    value = self.numbers[group.factor]
                    y = max(int(value), 0) if value is not None else 0
                    if y > len(self.codes) - self.i + 1:
                        raise _Misaligned()
                    body, i = codes[i + 2:i + 2 + x], i + 2 + x
                if len(body) < x:
                    raise _Misaligned()
                for _ in range(y):
                    group.repeats.append(self.walk(body, depth + 1))
                out.append(group)
            elif f == 2:
                if x == 4:
                    self.associated = y != 0
                elif _emits_marker(x, y):
                    out.append(self.take(code))
                elif x in (23, 24, 25, 32) and self.i < len(self.codes):
                    out.append(self.take(None))       # the value a bitmap points at
                i += 1
            elif f == 3:
                members = self.sequences(code)
                if members is None:
                    raise _Misaligned()
                out.append(Group(code, [self.walk(members, depth + 1)]))
                i += 1
            else:
                raise _Misaligned()
        return out


def group(descriptors: list[int], sequences: Sequences, codes: list[int],
          numbers: list[float | None]) -> Tree | None:
    """The tree of one subset: a list whose items are value indices (into `codes`) or
    Groups. `sequences(code)` gives a Table D entry's members or None. None when the walk
    does not consume exactly the subset's values."""
    walk = _Walk(sequences, codes, numbers)
    try:
        tree = walk.walk(list(descriptors))
    except (_Misaligned, RecursionError):
        return None
    return tree if walk.i == len(codes) else None
