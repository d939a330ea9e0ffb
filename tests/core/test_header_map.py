"""HeaderMap: conversions, ordering rules, equality, limits and thread safety."""

import threading

import pytest

from velmora._velmora import HeaderMap

TOKEN_PUNCT = "!#$%&'*+-.^_`|~"
BAD_NAME = "invalid header name: invalid HTTP header name"
BAD_VALUE = "invalid header value: failed to parse header value"
FULL = "header map is full (http::HeaderMap MAX_SIZE, 32768 entries)"


def test_names_fold_and_values_group_by_name():
    m = HeaderMap([("Host", "a"), ("ACCEPT", b"x"), ("host", "b")])
    assert m.keys() == ["host", "accept"]
    assert m.items() == [("host", b"a"), ("host", b"b"), ("accept", b"x")]
    assert m.values() == [b"a", b"b", b"x"]
    assert m.raw_items() == [(b"host", b"a"), (b"host", b"b"), (b"accept", b"x")]
    assert list(m) == ["host", "accept"]
    assert len(m) == 3


@pytest.mark.parametrize(
    "init",
    [
        {"A": "1", b"b": b"2"},
        [("A", "1"), (b"b", b"2")],
        (["A", "1"], [b"b", b"2"]),
        iter([("A", "1"), ("b", "2")]),
        [("A", "1", "ignored"), ("b", "2")],
        [{0: "A", 1: "1"}, {0: "b", 1: "2"}],
    ],
    ids=["dict", "list-of-tuples", "tuple-of-lists", "iterator", "long-items", "indexables"],
)
def test_constructor_inputs(init):
    assert HeaderMap(init).items() == [("a", b"1"), ("b", b"2")]


def test_dict_subclass_is_read_directly():
    class Tricky(dict):
        def items(self):
            raise AssertionError("must not be called")

        def __iter__(self):
            raise AssertionError("must not be called")

    assert HeaderMap(Tricky(x="1")).items() == [("x", b"1")]


def test_copy_is_independent():
    a = HeaderMap([("a", "1"), ("a", "2"), ("b", "3")])
    b = HeaderMap(a)
    assert b.items() == a.items() and b == a
    b.add("a", "4")
    assert a.get_all("a") == [b"1", b"2"]


@pytest.mark.parametrize(
    "init,exc",
    [
        (5, TypeError),
        ([5], TypeError),
        ([("a",)], IndexError),
        ([(5, "v")], TypeError),
        ([("a", 5)], TypeError),
        ([("a b", "v")], ValueError),
        ([("a", "v\n")], ValueError),
    ],
)
def test_constructor_errors(init, exc):
    with pytest.raises(exc):
        HeaderMap(init)


def test_constructor_propagates_iteration_errors():
    def gen():
        yield ("a", "1")
        raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        HeaderMap(gen())


@pytest.mark.parametrize(
    "name",
    ["a", "A", "x-custom", TOKEN_PUNCT, "0", "content-type", b"Bytes-Name", "a" * 65535],
)
def test_valid_names(name):
    m = HeaderMap()
    m[name] = "v"
    expected = (name.decode() if isinstance(name, bytes) else name).lower()
    assert m.keys() == [expected]
    assert m[name] == b"v"


@pytest.mark.parametrize(
    "name", ["", "a b", "a:b", "a\x00", "caf\u00e9", "a\r\n", "(x)", b"\xff", "a" * 65536, "@"]
)
@pytest.mark.parametrize("op", ["get", "getitem", "setitem", "delitem", "add", "get_all"])
def test_invalid_names(name, op):
    m = HeaderMap([("a", "1")])
    calls = {
        "get": lambda: m.get(name),
        "getitem": lambda: m[name],
        "setitem": lambda: m.__setitem__(name, "v"),
        "delitem": lambda: m.__delitem__(name),
        "add": lambda: m.add(name, "v"),
        "get_all": lambda: m.get_all(name),
    }
    with pytest.raises(ValueError) as info:
        calls[op]()
    assert str(info.value) == BAD_NAME
    assert name not in m
    assert m.items() == [("a", b"1")]


@pytest.mark.parametrize("name", [5, None, 1.5, bytearray(b"a"), ("a",)])
def test_name_of_wrong_type(name):
    m = HeaderMap()
    with pytest.raises(TypeError, match="^header name must be str or bytes$"):
        m.get(name)
    with pytest.raises(TypeError, match="^header name must be str or bytes$"):
        m[name] = "v"
    assert name not in m


def test_unencodable_name_raises_unicode_error_and_contains_is_false():
    m = HeaderMap()
    with pytest.raises(UnicodeEncodeError):
        m.get("\ud800")
    assert "\ud800" not in m


@pytest.mark.parametrize("value", ["", "\t", "a\tb", b"\x80\xff", "caf\u00e9", " x ", b"~"])
def test_valid_values(value):
    m = HeaderMap()
    m.add("x", value)
    assert m["x"] == (value.encode() if isinstance(value, str) else value)


@pytest.mark.parametrize("value", ["a\r\nb", "\x00", b"\x7f", "\x01", "\n", "\r", b"a\x1fb"])
def test_invalid_values(value):
    m = HeaderMap([("x", "keep")])
    for op in (lambda: m.add("x", value), lambda: m.__setitem__("x", value),
               lambda: m.setdefault("y", value)):
        with pytest.raises(ValueError) as info:
            op()
        assert str(info.value) == BAD_VALUE
    assert m.items() == [("x", b"keep")]


def test_every_byte_at_every_offset_of_a_value():
    # Values are checked 16 bytes at a time with an overlapping last block: each byte, at each
    # offset of values up to three blocks long, is accepted or refused as RFC 9110 says.
    for c in range(256):
        ok = c == 9 or 0x20 <= c <= 0x7E or c >= 0x80
        for length in (1, 15, 16, 17, 31, 33, 47):
            for off in range(length):
                value = b"v" * off + bytes([c]) + b"v" * (length - off - 1)
                if ok:
                    assert HeaderMap([("x", value)])["x"] == value
                else:
                    with pytest.raises(ValueError):
                        HeaderMap([("x", value)])


@pytest.mark.parametrize("value", [5, None, bytearray(b"v"), memoryview(b"v")])
def test_value_of_wrong_type(value):
    m = HeaderMap()
    with pytest.raises(TypeError, match="^header value must be str or bytes$"):
        m.add("x", value)
    assert len(m) == 0


def test_get_and_get_all():
    m = HeaderMap([("a", "1"), ("A", "2")])
    assert m.get("a") == b"1"
    assert m.get("missing") is None
    assert m.get("missing", "d") == "d"
    assert m.get(name="a", default=0) == b"1"
    assert m.get_all("a") == [b"1", b"2"]
    assert m.get_all("missing") == []


def test_set_replaces_all_values_in_place():
    m = HeaderMap([("a", "0"), ("x", "2"), ("b", "0"), ("x", "3")])
    m["x"] = "1"
    assert m.items() == [("a", b"0"), ("x", b"1"), ("b", b"0")]
    m["new"] = "n"
    assert m.keys() == ["a", "x", "b", "new"]
    assert len(m) == 4


@pytest.mark.parametrize(
    "delete,expected",
    [("a", ["c", "b"]), ("b", ["a", "c"]), ("c", ["a", "b"])],
)
def test_delete_moves_the_last_name_into_the_gap(delete, expected):
    m = HeaderMap([("a", "1"), ("b", "2"), ("c", "3"), ("a", "4")])
    del m[delete]
    assert m.keys() == expected
    assert delete not in m
    for name in expected:
        assert m[name]


def test_missing_key_errors_carry_the_lowercase_name():
    m = HeaderMap()
    with pytest.raises(KeyError) as info:
        m["Missing"]
    assert info.value.args == ("missing",)
    with pytest.raises(KeyError) as info:
        del m["GONE"]
    assert info.value.args == ("gone",)


def test_setdefault():
    m = HeaderMap([("present", "v")])
    # An unusable value does not matter while the name is present.
    assert m.setdefault("present", 5) == b"v"
    assert m.setdefault("present", "\udc80") == b"v"
    assert m.setdefault("present", "a\r\nb") == b"v"
    with pytest.raises(TypeError, match="header value must be str or bytes"):
        m.setdefault("absent", 5)
    with pytest.raises(UnicodeEncodeError):
        m.setdefault("absent", "\udc80")
    with pytest.raises(ValueError, match="^invalid header value"):
        m.setdefault("absent", "a\r\nb")
    assert "absent" not in m
    assert m.setdefault("Absent", "n") == b"n"
    assert m.items() == [("present", b"v"), ("absent", b"n")]


def test_contains_never_raises():
    m = HeaderMap([("a", "1")])
    assert "A" in m and b"a" in m
    for probe in ("a b", 5, None, "", b"\x00"):
        assert probe not in m


def test_iterator_is_a_snapshot():
    m = HeaderMap([("a", "1"), ("b", "2")])
    it = iter(m)
    m.add("c", "3")
    del m["a"]
    assert list(it) == ["a", "b"]


@pytest.mark.parametrize(
    "left,right,equal",
    [
        ({"a": "1"}, [("A", b"1")], True),
        ([("a", "1"), ("b", "2")], [("b", "2"), ("a", "1")], True),
        ([("a", "1"), ("a", "2")], [("a", "2"), ("a", "1")], False),
        ([("a", "1")], [("a", "1"), ("a", "1")], False),
        ([("a", "1")], [("b", "1")], False),
        ([], [], True),
        ([("a", "")], [("a", "x")], False),
    ],
)
def test_equality(left, right, equal):
    a, b = HeaderMap(left), HeaderMap(right)
    assert (a == b) is equal and (b == a) is equal
    assert (a != b) is (not equal)


def test_equality_with_other_types_and_ordering():
    m = HeaderMap({"a": "1"})
    assert m != {"a": "1"}
    assert not (m == [("a", b"1")])
    assert m == m
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(m, op)(m) is NotImplemented
    with pytest.raises(TypeError):
        m < m  # noqa: B015
    with pytest.raises(TypeError):
        hash(m)


def test_repr():
    assert repr(HeaderMap()) == "HeaderMap([])"
    assert repr(HeaderMap([("A", "1"), ("b", b"\x00"[:0])])) == "HeaderMap([('a', b'1'), ('b', b'')])"


def test_standard_and_custom_names_round_trip():
    names = ["content-type", "x-a", "content-typ", "content-typex", "cookie", "set-cookie", "te"]
    m = HeaderMap([(n.upper(), n) for n in names])
    assert m.keys() == names
    assert [v.decode() for v in m.values()] == names


@pytest.mark.parametrize("size", [1, 7, 8, 9, 12])
def test_delete_and_lookup_on_both_sides_of_the_index(size):
    names = [f"n{i}" for i in range(size)] + ["host"]
    m = HeaderMap([(n, n) for n in names])
    del m["n0"]
    assert m.keys() == names[-1:] + names[1:-1]
    assert all(m[n] == n.encode() for n in names[1:]) and "n0" not in m
    m["n0"] = "again"
    assert m.keys()[-1] == "n0" and m.get("N0") == b"again"


@pytest.mark.parametrize(
    "change,items",
    [
        (lambda m: m.__setitem__("host", "b"), [("host", b"b"), ("x-a", b"1")]),
        (lambda m: m.add("host", "c"), [("host", b"a"), ("host", b"c"), ("x-a", b"1")]),
        (lambda m: m.__delitem__("host"), [("x-a", b"1")]),
        (lambda m: m.setdefault("x-b", "2"), [("host", b"a"), ("x-a", b"1"), ("x-b", b"2")]),
        (lambda m: m.add("Cookie", "k"), [("host", b"a"), ("x-a", b"1"), ("cookie", b"k")]),
    ],
)
def test_reads_after_a_change_see_it(change, items):
    m = HeaderMap([("host", "a"), ("X-A", "1")])
    for _ in range(2):  # a map read more than once keeps what it handed out, found or not
        assert m.items() == [("host", b"a"), ("x-a", b"1")] and m.get("host") == b"a"
        assert m.get("cookie") is None
    change(m)
    assert m.items() == items
    assert [m.get(n) for n, _ in items] == [dict(items[::-1])[n] for n, _ in items]


def test_many_names_grow_the_index_and_stay_findable():
    m = HeaderMap()
    for i in range(3000):
        m.add(f"x-{i}", str(i))
    m.add("x-7", "again")
    assert len(m) == 3001
    assert all(m[f"x-{i}"] == str(i).encode() for i in range(3000))
    for i in range(0, 3000, 2):
        del m[f"x-{i}"]
    assert len(m) == 1501
    assert all((f"x-{i}" in m) == (i % 2 == 1) for i in range(3000))
    assert m.get_all("x-7") == [b"7", b"again"]


def test_map_full_at_24577_names():
    m = HeaderMap([(f"n{i}", "") for i in range(24576)])
    assert len(m.keys()) == 24576
    for op in (lambda: m.add("one-more", "v"), lambda: m.__setitem__("one-more", "v"),
               lambda: m.add("n5", "v"), lambda: m.__setitem__("n5", "v"),
               lambda: m.setdefault("one-more", "v")):
        with pytest.raises(ValueError) as info:
            op()
        assert str(info.value) == FULL
    assert len(m) == 24576
    assert m.setdefault("n5", "v") == b""  # present: no room needed
    with pytest.raises(ValueError, match=r"header map is full"):
        HeaderMap([(f"n{i}", "") for i in range(24577)])


def test_churn_does_not_grow_without_bound():
    import tracemalloc

    m = HeaderMap([("keep", "k")])
    for i in range(2000):  # warm up, then measure steady state
        m.add("x", "v" * 100)
        m["x"] = "w" * 100
        del m["x"]
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for i in range(20000):
        m.add("x", "v" * 100)
        m["x"] = "w" * 100
        del m["x"]
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert after - before < 64 * 1024
    assert m.items() == [("keep", b"k")]


def test_concurrent_comparisons_do_not_deadlock():
    a = HeaderMap([("x", "1")])
    b = HeaderMap([("x", "1")])
    results = []

    def compare(left, right):
        for _ in range(2000):
            results.append(left == right)
            left.add("y", "1")
            right.add("y", "1")

    threads = [threading.Thread(target=compare, args=p) for p in ((a, b), (b, a)) * 2]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert len(results) == 8000
    assert a == b


def test_argument_parsing_uses_the_standard_wording():
    m = HeaderMap()
    with pytest.raises(TypeError, match=r"get\(\) missing required argument 'name' \(pos 1\)"):
        m.get()
    with pytest.raises(TypeError, match=r"get\(\) takes at most 2 positional arguments \(3 given\)"):
        m.get("a", None, None)
    with pytest.raises(TypeError, match=r"get\(\) got an unexpected keyword argument 'nam'"):
        m.get(nam="a")
    with pytest.raises(TypeError, match=r"argument for get\(\) given by name \('name'\) and position \(1\)"):
        m.get("a", name="a")
    with pytest.raises(TypeError):
        m.keys(1)
    with pytest.raises(TypeError):
        HeaderMap([], [])


class _Str(str):
    pass


class _LyingStr(str):
    """A str subclass whose Python-level identity and hash say nothing about its characters."""

    def __eq__(self, other):
        return True

    def __hash__(self):
        return 0


def _spellings(name):
    """The same header name as many distinct objects: the literal, a copy built at run time,
    case variants, subclasses and bytes."""
    built = "".join(list(name))
    assert built == name and (built is not name or len(name) < 2)
    return [
        name,
        built,
        name.upper(),
        name.title(),
        name.capitalize(),
        _Str(name),
        _Str(name.upper()),
        _LyingStr(name),
        name.encode(),
        name.upper().encode(),
    ]


@pytest.mark.parametrize("name", ["host", "accept", "x-forwarded-for", "content-length", "te", "x-custom"])
def test_every_spelling_of_a_name_finds_the_same_entry(name):
    m = HeaderMap([(name.title(), b"1"), ("other", b"o"), (name, b"2")])
    for spelling in _spellings(name) * 2:  # twice: a spelling seen before takes the remembered path
        assert m[spelling] == b"1"
        assert m.get(spelling) == b"1"
        assert m.get_all(spelling) == [b"1", b"2"]
        assert spelling in m
    empty = HeaderMap([("other", b"o")])
    for spelling in _spellings(name):
        assert empty.get(spelling, "absent") == "absent"
        assert spelling not in empty
        with pytest.raises(KeyError) as e:
            empty[spelling]
        assert e.value.args == (name,)


def test_remembered_names_never_confuse_distinct_strings():
    # Many short-lived name objects (standard and not, any case) pass through lookups; an address
    # reused by a later, different string must not find the earlier string's entry.
    m = HeaderMap([("host", b"h"), ("accept", b"a"), ("x-0", b"x")])
    expected = {"host": b"h", "accept": b"a", "x-0": b"x"}
    names = ["host", "accept", "cookie", "x-0", "x-1", "user-agent"]
    for i in range(5000):
        base = names[i % len(names)]
        n = "".join([base[:1].upper() if i % 3 else base[:1], base[1:]])
        assert m.get(n) == expected.get(base)
        assert (n in m) == (base in expected)
        del n


def test_standard_name_lookups_follow_mutations():
    m = HeaderMap([("host", b"a"), ("cookie", b"c")])
    del m["host"]
    assert m.get("host") is None and m["cookie"] == b"c"
    m["HOST"] = b"b"
    m.add("Host", b"c")
    assert m["host"] == b"b" and m.get_all("host") == [b"b", b"c"]
    m["host"] = b"d"
    assert m.get_all("Host") == [b"d"]
    assert m.keys() == ["cookie", "host"]


def test_standard_names_found_after_the_index_switches_to_the_keyed_hash():
    # Enough distinct names to grow and rehash the index several times; the standard names keep
    # being found by their id whatever the index does.
    m = HeaderMap([("host", b"h"), ("accept", b"a")])
    for i in range(20000):
        m.add(f"x-{i}", b"")
    m.add("cookie", b"c")
    assert (m["host"], m["Accept"], m.get("cookie")) == (b"h", b"a", b"c")
    assert "x-forwarded-for" not in m
