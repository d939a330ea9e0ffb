"""H2FlowControl, H2ContentLength and H2DataFrameBudget: arithmetic edges and flood limits."""

import pytest

from velmora import _velmora as v

MAX = 2**31 - 1
MIN = -(2**31)


def flow(window=0, available=0):
    """An H2FlowControl with the given signed window and available capacity."""
    f = v.H2FlowControl()
    for value, inc, dec in ((window, f.inc_window, f.dec_send_window),
                            (available, f.assign_capacity, f.claim_capacity)):
        step = inc if value >= 0 else dec
        remaining = abs(value)
        while remaining:
            chunk = min(remaining, MAX)
            step(chunk)
            remaining -= chunk
    return f


def raw(f):
    """(window, available): the window as the repr reports it, negative values included."""
    text = repr(f)
    inner = text[text.index("(") + 1:-1]
    fields = dict(part.split("=") for part in inner.split(", "))
    return int(fields["window_size"]), int(fields["available"])


def outcome(fn, *args):
    try:
        return fn(*args)
    except v.H2FlowControlError as e:
        return ("flow", e.args)
    except ValueError as e:
        return ("value", str(e))


def too_large(n):
    return ("value", f"window size {n} exceeds the maximum 2147483647 (RFC 9113 6.9.1)")


FLOW_ERROR = ("flow", (3,))

# (window, available), method, argument, expected result, expected (window, available)
FLOW_CASES = [
    # inc_window: window += sz up to 2^31-1
    ((0, 0), "inc_window", MAX, None, (MAX, 0)),
    ((1, 0), "inc_window", MAX, FLOW_ERROR, (1, 0)),
    ((MAX, 0), "inc_window", 0, None, (MAX, 0)),
    ((MAX, 0), "inc_window", 1, FLOW_ERROR, (MAX, 0)),
    ((-5, 0), "inc_window", MAX, None, (MAX - 5, 0)),
    ((0, 0), "inc_window", MAX + 1, too_large(MAX + 1), (0, 0)),
    ((0, 0), "inc_window", 2**32 - 1, too_large(2**32 - 1), (0, 0)),
    # dec_send_window: may go negative, never below -2^31
    ((10, 0), "dec_send_window", 20, None, (-10, 0)),
    ((0, 0), "dec_send_window", MAX, None, (-MAX, 0)),
    ((-1, 0), "dec_send_window", MAX, None, (MIN, 0)),
    ((-2, 0), "dec_send_window", MAX, FLOW_ERROR, (-2, 0)),
    ((0, 0), "dec_send_window", MAX + 1, too_large(MAX + 1), (0, 0)),
    # assign_capacity / claim_capacity on `available`
    ((0, 0), "assign_capacity", MAX, None, (0, MAX)),
    ((0, 1), "assign_capacity", MAX, FLOW_ERROR, (0, 1)),
    ((0, -1), "assign_capacity", MAX, None, (0, MAX - 1)),
    ((0, 0), "assign_capacity", MAX + 1, too_large(MAX + 1), (0, 0)),
    ((0, 5), "claim_capacity", 10, None, (0, -5)),
    ((0, -1), "claim_capacity", MAX, None, (0, MIN)),
    ((0, -2), "claim_capacity", MAX, FLOW_ERROR, (0, -2)),
    ((0, 0), "claim_capacity", 2**31, too_large(2**31), (0, 0)),
    # dec_recv_window: window first, then available; a failing second step keeps the first
    ((100, 100), "dec_recv_window", 40, None, (60, 60)),
    ((0, -2), "dec_recv_window", MAX, FLOW_ERROR, (-MAX, -2)),
    ((-2, 0), "dec_recv_window", MAX, FLOW_ERROR, (-2, 0)),
    ((0, 0), "dec_recv_window", MAX + 1, too_large(MAX + 1), (0, 0)),
    # send_data: refused before any change when it exceeds the window
    ((65535, 65535), "send_data", 100, None, (65435, 65435)),
    ((0, 0), "send_data", 0, None, (0, 0)),
    ((-7, 3), "send_data", 0, None, (-7, 3)),
    ((0, 0), "send_data", 1, FLOW_ERROR, (0, 0)),
    ((-7, 3), "send_data", 1, FLOW_ERROR, (-7, 3)),
    ((10, 10), "send_data", 11, FLOW_ERROR, (10, 10)),
    ((MAX, MAX), "send_data", MAX, None, (0, 0)),
    ((MAX, 0), "send_data", MAX + 1, FLOW_ERROR, (MAX, 0)),
    ((MAX, 0), "send_data", 2**32 - 1, FLOW_ERROR, (MAX, 0)),
    ((10, -2), "send_data", 10, None, (0, -12)),
    ((MAX, -2), "send_data", MAX, FLOW_ERROR, (0, -2)),
]


@pytest.mark.parametrize("start, method, arg, result, end", FLOW_CASES)
def test_flow_arithmetic(start, method, arg, result, end):
    f = flow(*start)
    assert raw(f) == start
    assert outcome(getattr(f, method), arg) == result
    assert raw(f) == end


@pytest.mark.parametrize("method", ["claim_capacity", "assign_capacity", "inc_window",
                                    "dec_send_window", "dec_recv_window", "send_data"])
@pytest.mark.parametrize("arg, exc", [(-1, OverflowError), (2**32, OverflowError),
                                      ("1", TypeError), (1.0, TypeError)])
def test_flow_argument_conversion(method, arg, exc):
    f = flow(10, 10)
    with pytest.raises(exc):
        getattr(f, method)(arg)
    assert raw(f) == (10, 10)


@pytest.mark.parametrize(
    "window, available, size, unavailable",
    [
        (0, 0, 0, False),
        (10, 5, 10, True),
        (10, 10, 10, False),
        (10, 20, 10, False),
        (-3, -10, 0, False),  # a negative window never reports unavailable capacity
    ],
)
def test_window_size_and_has_unavailable(window, available, size, unavailable):
    f = flow(window, available)
    assert f.window_size() == size
    assert f.available() == available
    assert f.has_unavailable() is unavailable


@pytest.mark.parametrize(
    "window, available, expected",
    [
        (65535, 65535, None),
        (65535, 65535 + 32766, None),  # below half the window
        (65535, 65535 + 32767, 32767),  # reaches half the window (65535 // 2)
        (65535, 65535 + 40000, 40000),
        (65535, 100, None),  # window >= available
        (1, 2, 1),  # threshold 0
        (0, 1, 1),
        (-4, -2, 2),  # negative window: threshold truncates toward zero (-2)
        (-5, -4, 1),
        (MIN, MAX, MAX - MIN),  # the difference exceeds 32 bits and is reported whole
    ],
)
def test_unclaimed_capacity(window, available, expected):
    f = flow(window, available)
    assert f.unclaimed_capacity() == expected


def test_default_send_sequence():
    f = v.H2FlowControl()
    f.inc_window(v.H2_DEFAULT_INITIAL_WINDOW_SIZE)
    f.assign_capacity(v.H2_DEFAULT_INITIAL_WINDOW_SIZE)
    f.send_data(100)
    assert (f.window_size(), f.available()) == (65435, 65435)


def test_keyword_names():
    f = v.H2FlowControl()
    f.inc_window(sz=5)
    f.assign_capacity(capacity=5)
    assert raw(f) == (5, 5)
    with pytest.raises(TypeError):
        f.inc_window(capacity=5)
    with pytest.raises(TypeError):
        v.H2FlowControl(0)


# ---- H2ContentLength ---------------------------------------------------------------------------

# constructor keyword, calls in order as (method, arg, expected result), final is_satisfied
LENGTH_CASES = [
    ({"is_head": True}, [("set", 10, None), ("is_head", None, True), ("dec", 0, True),
                         ("dec", 1, False)], True),
    ({}, [("set", 10, None), ("dec", 4, True), ("is_satisfied", None, False), ("dec", 7, False),
          ("dec", 6, True)], True),
    ({}, [("dec", 2**64 - 1, True), ("is_head", None, False)], True),
    ({}, [("set", 2**64 - 1, None), ("dec", 2**64 - 1, True), ("dec", 1, False)], True),
    ({}, [("set", 0, None), ("dec", 0, True), ("dec", 1, False)], True),
    ({}, [("set", 5, None), ("set", 3, None), ("dec", 4, False), ("dec", 3, True)], True),
    ({"is_head": False}, [("set", 1, None)], False),
]


@pytest.mark.parametrize("kwargs, calls, satisfied", LENGTH_CASES)
def test_content_length(kwargs, calls, satisfied):
    c = v.H2ContentLength(**kwargs)
    for method, arg, expected in calls:
        fn = getattr(c, method)
        assert (fn() if arg is None else fn(arg)) is expected, (method, arg)
    assert c.is_satisfied() is satisfied


@pytest.mark.parametrize("args, exc", [((1,), TypeError), ((None,), TypeError),
                                       (("x",), TypeError)])
def test_content_length_constructor_rejects_non_bool(args, exc):
    with pytest.raises(exc):
        v.H2ContentLength(*args)


def test_content_length_bad_values_change_nothing():
    c = v.H2ContentLength()
    c.set(3)
    for bad, exc in ((-1, OverflowError), (2**64, OverflowError), (1.5, TypeError)):
        with pytest.raises(exc):
            c.set(bad)
        with pytest.raises(exc):
            c.dec(bad)
    assert c.dec(4) is False and c.dec(3) is True and c.is_satisfied()


# ---- H2DataFrameBudget -------------------------------------------------------------------------

FLOOD = (11, "too_many_data_frames")


@pytest.mark.parametrize(
    "kwargs, cap",
    [
        ({}, 32767),
        ({"connection_window": 65535}, 32767),
        ({"connection_window": 1048576}, 524288),
        ({"connection_window": 40000}, 25600),
        ({"connection_window": 51201}, 25600),
        ({"connection_window": 51202}, 25601),
        ({"connection_window": 0}, 25600),
        ({"connection_window": 2**32 - 1}, 2**31 - 1),
        ({"configured": 0}, 0),
        ({"configured": 0, "connection_window": 1048576}, 0),
        ({"configured": 2**64 - 1}, 2**64 - 1),
        ({"configured": None, "connection_window": None}, 32767),
    ],
)
def test_budget_resolution(kwargs, cap):
    b = v.H2DataFrameBudget(**kwargs)
    assert b.available == cap
    assert b.empty_frames == 0


@pytest.mark.parametrize("kwargs, exc", [
    ({"connection_window": 2**32}, OverflowError),
    ({"configured": -1}, OverflowError),
    ({"configured": 2**64}, OverflowError),
    ({"configured": "1"}, TypeError),
])
def test_budget_bad_constructor_arguments(kwargs, exc):
    with pytest.raises(exc):
        v.H2DataFrameBudget(**kwargs)


def test_small_frames_drain_the_budget():
    b = v.H2DataFrameBudget(configured=25600)
    for _ in range(100):
        assert b.record(1) == 255
    assert b.available == 25600 - 100 * 255
    with pytest.raises(v.H2ProtocolError) as info:
        b.record(1)
    assert info.value.args == FLOOD
    assert b.available == 100 and b.empty_frames == 0
    assert b.record(156) == 100  # an exact fit still succeeds
    assert b.available == 0


def test_large_frames_earn_back_up_to_the_cap():
    b = v.H2DataFrameBudget(configured=25600)
    assert b.record(200) == 56
    assert b.record(1256) == 0
    assert b.available == 25600  # earned 1000, capped
    b.record(255)
    assert b.record(256) == 0  # at the threshold: no charge and no credit
    assert b.available == 25599


@pytest.mark.parametrize("configured", [0, 100, 254])
def test_budget_below_one_charge_refuses(configured):
    b = v.H2DataFrameBudget(configured=configured)
    with pytest.raises(v.H2ProtocolError):
        b.record(1)
    assert b.available == configured
    assert b.record(0) == 0  # empty frames are counted, not charged


def test_empty_frame_lifetime_allowance():
    b = v.H2DataFrameBudget()
    for _ in range(v.H2_MAX_RECV_EMPTY_DATA_FRAMES):
        assert b.record(0) == 0
    assert b.empty_frames == 100
    for count in (101, 102):
        with pytest.raises(v.H2ProtocolError) as info:
            b.record(0)
        assert info.value.args == FLOOD
        assert b.empty_frames == count
    assert b.available == 32767
    assert b.record(300) == 0  # other frames are still accepted


@pytest.mark.parametrize(
    "cap, charges, release, available",
    [
        (1000, [1], 255, 1000),
        (1000, [1, 1], 255, 745),
        (1000, [], 2**64 - 1, 1000),  # saturating and capped
        (2**64 - 1, [1], 2**64 - 1, 2**64 - 1),
        (0, [], 5, 0),
    ],
)
def test_release(cap, charges, release, available):
    b = v.H2DataFrameBudget(configured=cap)
    for n in charges:
        b.record(n)
    b.release(release)
    assert b.available == available


def test_budget_argument_conversion():
    b = v.H2DataFrameBudget()
    for bad, exc in ((-1, OverflowError), (2**64, OverflowError), (None, TypeError)):
        with pytest.raises(exc):
            b.record(bad)
        with pytest.raises(exc):
            b.release(bad)
    assert b.available == 32767 and b.empty_frames == 0
    with pytest.raises(AttributeError):
        b.available = 5
