"""BufferDescriptor, and the toolkit's argument conversion seen through it."""

import inspect

import pytest

from kavex_core import shm

BD = shm.BufferDescriptor


def test_values_and_repr():
    d = BD("seg", 1024, [16, 16], "float32")
    assert repr(d) == "<BufferDescriptor name='seg' size=1024 shape=[16, 16] dtype='float32'>"
    assert (d.name, d.size, d.shape, d.dtype) == ("seg", 1024, [16, 16], "float32")
    assert str(d) == repr(d)


def test_keywords_empty_shape_and_unescaped_text():
    d = BD(dtype="it's", shape=(), size=0, name="a'b")
    assert repr(d) == "<BufferDescriptor name='a'b' size=0 shape=[] dtype='it's'>"


@pytest.mark.parametrize("shape", [(2, 3), [2, 3], range(2, 4), bytes([2, 3])])
def test_any_sequence_of_ints_reads_back_as_a_new_list(shape):
    d = BD("s", 6, shape, "u8")
    assert d.shape == [2, 3]
    assert type(d.shape) is list
    assert d.shape is not d.shape


def test_size_and_shape_take_the_full_word():
    big = 2**64 - 1
    assert BD("s", big, [big], "u8").size == big


@pytest.mark.parametrize(
    "kwargs, exc, needle",
    [
        ({"name": 1}, TypeError, "argument 'name': expected str, got int"),
        ({"dtype": None}, TypeError, "argument 'dtype': expected str, got NoneType"),
        ({"size": None}, TypeError, "argument 'size': expected int, got NoneType"),
        ({"size": 1.5}, TypeError, "argument 'size': expected int, got float"),
        ({"size": -1}, OverflowError, "argument 'size'"),
        ({"size": 2**64}, OverflowError, "argument 'size'"),
        ({"shape": "16"}, TypeError, "argument 'shape'"),
        ({"shape": 16}, TypeError, "argument 'shape'"),
        ({"shape": [1, None]}, TypeError, "argument 'shape': expected int, got NoneType"),
        ({"shape": [1, -2]}, OverflowError, "argument 'shape'"),
    ],
)
def test_conversion_errors_name_the_argument(kwargs, exc, needle):
    args = {"name": "s", "size": 1, "shape": [1], "dtype": "u8"} | kwargs
    with pytest.raises(exc) as info:
        BD(**args)
    assert str(info.value).startswith(needle)


@pytest.mark.parametrize(
    "args, kwargs, needle",
    [
        (("s", 1, [1]), {}, "missing required argument 'dtype'"),
        (("s", 1, [1], "u8", 5), {}, "takes at most 4 arguments (5 given)"),
        (("s", 1, [1], "u8"), {"name": "t"}, "got multiple values for argument 'name'"),
        (("s", 1, [1], "u8"), {"extra": 1}, "got an unexpected keyword argument 'extra'"),
    ],
)
def test_call_shape_errors(args, kwargs, needle):
    with pytest.raises(TypeError, match=None) as info:
        BD(*args, **kwargs)
    assert needle in str(info.value)


@pytest.mark.parametrize("attr", ["name", "size", "shape", "dtype"])
def test_attributes_are_read_only(attr):
    d = BD("s", 1, [1], "u8")
    with pytest.raises(AttributeError):
        setattr(d, attr, getattr(d, attr))
    with pytest.raises(AttributeError):
        delattr(d, attr)


def test_class_surface():
    assert BD.__name__ == "BufferDescriptor"
    assert BD.__module__ == "builtins"
    assert str(inspect.signature(BD)) == "(name, size, shape, dtype)"
    assert BD.__doc__ == (
        'BufferDescriptor: The "Passport" for Zero-Copy Data.\n'
        "Contains metadata needed for Python to reconstruct a memoryview."
    )
    d = BD("s", 1, [1], "u8")
    assert d != BD("s", 1, [1], "u8") and d == d
    with pytest.raises(TypeError):
        class Sub(BD):  # noqa: F811
            pass


def test_keywords_built_at_run_time_match_like_literal_ones():
    # Keyword names are matched by identity once seen, by text otherwise.
    for _ in range(3):
        name_key = "".join(["na", "me"])  # a new, non-interned str each time
        d = BD(**{name_key: "s", "size": 1, "shape": [1], "dtype": "u8"})
        assert d.name == "s"
    with pytest.raises(TypeError, match="got an unexpected keyword argument 'nam'"):
        BD(**{"nam": "s", "size": 1, "shape": [1], "dtype": "u8"})
