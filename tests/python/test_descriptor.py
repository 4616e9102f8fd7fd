"""The Descriptor class: parts F, X, Y and the code F*100000 + X*1000 + Y."""
import inspect

import pytest

import _quorvex as q

D = q.Descriptor


@pytest.mark.parametrize("parts, code, text", [
    ((0, 1, 1), 1001, "Descriptor(001001)"),
    ((3, 1, 11), 301011, "Descriptor(301011)"),
    ((1, 1, 0), 101000, "Descriptor(101000)"),
    ((0, 0, 0), 0, "Descriptor(000000)"),
    ((255, 255, 255), 25755255, "Descriptor(25755255)"),
    ((4, 99, 200), 499200, "Descriptor(499200)"),  # F above 3 is accepted
])
def test_parts_code_and_repr(parts, code, text):
    for d in (D(*parts), D(f=parts[0], x=parts[1], y=parts[2]), D(parts[0], y=parts[2], x=parts[1])):
        assert (d.f, d.x, d.y, d.fxy) == (*parts, code)
        assert repr(d) == text


@pytest.mark.parametrize("code, parts", [
    (301011, (3, 1, 11)),
    (1999, (0, 1, 231)),  # Y 999 keeps its low eight bits
    (0, (0, 0, 0)),
    (363255, (3, 63, 255)),
    (4294967295, (42949 % 256, 67, 295 % 256)),
])
def test_from_fxy(code, parts):
    for d in (D.from_fxy(code), D.from_fxy(code=code), D(0, 0, 0).from_fxy(code)):
        assert type(d) is D
        assert (d.f, d.x, d.y) == parts


def test_index_objects_are_integers():
    class Index:
        def __index__(self):
            return 7
    assert D(Index(), True, 2).fxy == 701002
    assert D.from_fxy(Index()).y == 7


def test_identity_semantics_and_immutability():
    a, b = D(0, 1, 1), D(0, 1, 1)
    assert a != b and a == a
    with pytest.raises(AttributeError):
        a.f = 2
    for op in (lambda: a < b, lambda: int(a)):
        with pytest.raises(TypeError):
            op()


def test_class_shape():
    assert str(inspect.signature(D)) == "(f, x, y)"
    assert str(inspect.signature(D.from_fxy)) == "(code)"
    assert [k for k, v in vars(D).items() if type(v).__name__ == "getset_descriptor"] == ["f", "x", "y", "fxy"]
