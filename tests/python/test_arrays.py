"""Arrays: the library's layout, .local as the block itself, from_local with
any counts, the element types converted and refused."""
import numpy as np
import pytest
from mpi4py import MPI

import virdastatistics as vs
from mpi_data import WORLD, block, counts, gathered, same_everywhere, x_of

DTYPES = [np.float64, np.float32, np.int32]


@pytest.mark.parametrize("shape", [0, 1, 3, 10, (7, 3)])
def test_layout_follows_the_row_rule(shape):
    with vs.empty(shape, dtype=np.int32) as a:
        row = a.size // a.shape[0] if a.shape[0] else 1
        first = a.local_range.start
        a.local[...] = np.arange(first * row, (first + len(a.local)) * row).reshape(a.local.shape)
        ranges = WORLD.allgather(a.local_range)
        everything = gathered(a)
    expected = counts(everything.shape[0], WORLD.size, "even")
    assert [len(r) for r in ranges] == expected
    assert [r.start for r, c in zip(ranges, expected) if c] == [sum(expected[:i]) for i, c in enumerate(expected) if c]
    assert everything.shape == ((shape,) if isinstance(shape, int) else shape)
    assert np.array_equal(everything.ravel(), np.arange(everything.size))


@pytest.mark.parametrize("dtype", DTYPES)
def test_local_is_the_block_itself(dtype):
    with vs.zeros(10, dtype=dtype) as a:
        view = a.local
        again = a.local
        assert view.dtype == np.dtype(dtype) and view.flags.writeable
        assert np.shares_memory(view, again)
        view[:] = 2  # written through one view ...
        assert np.all(again == 2)  # ... seen through the other and by the library
        total = vs.mean(a) * a.size
        del view, again
    assert total == 20


def test_write_through_local_shows_in_the_statistic():
    with vs.zeros(8) as a:
        if a.local.size:
            a.local[0] = 100.0 * (WORLD.rank + 1)
        m = vs.mean(a)
        written = sum(100.0 * (r + 1) for r, c in enumerate(counts(8, WORLD.size, "even")) if c)
    assert m == written / 8


@pytest.mark.parametrize("dtype", DTYPES)
def test_zeros_and_full(dtype):
    with vs.zeros((5, 2), dtype=dtype) as z, vs.full(5, 7, dtype=dtype) as f:
        assert z.dtype == np.dtype(dtype) and f.dtype == np.dtype(dtype)
        assert np.all(z.local == 0) and np.all(f.local == 7)
        assert vs.mean(f) == 7.0


def test_full_refuses_inexact_values():
    with pytest.raises(ValueError, match="not exactly"):
        vs.full(3, 0.5, dtype=np.int32)
    with pytest.raises(ValueError, match="not exactly"):
        vs.full(3, 2**31, dtype=np.int32)
    with pytest.raises(ValueError, match="not exactly"):
        vs.full(3, 16777217, dtype=np.float32)
    with pytest.raises(TypeError):
        vs.full(3, 1 + 2j)
    with vs.full(3, np.nan) as a:
        assert np.all(np.isnan(a.local))


TABLE = ["float64", "float32", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"]


@pytest.mark.parametrize("dtype", ["float16", "longdouble", "complex128", "bool", object])
def test_creation_takes_only_the_element_types(dtype):
    with pytest.raises(TypeError, match="float64, float32 or integers of 8, 16, 32 or 64 bits"):
        vs.empty(4, dtype=dtype)


def test_every_element_type_is_created_filled_and_converted():
    for name in TABLE:
        big = np.iinfo(name).max if name[0] in "iu" else np.finfo(name).max
        with vs.zeros((5, 2), dtype=name) as z, vs.full(5, big, dtype=np.dtype(name).newbyteorder(">")) as f:
            assert z.dtype == np.dtype(name) and f.dtype == np.dtype(name)  # stored in native order
            assert np.all(z.local == 0) and np.all(f.local == big)
            with f.astype("float64") as d:
                assert np.all(d.local == float(big))
            assert vs.mean(z) == 0.0 and vs.median(f) == float(big)


# (1, 2**60): a block NumPy itself refuses as too big on the rank holding
# the row; refused from the shape on every rank instead.
@pytest.mark.parametrize("shape", [(), -1, (3, 0), (2**31, 2**31), 2**61, (2, 2**62), (1, 2**60), 2**60, "ten", 2.0])
def test_bad_shapes_are_refused(shape):
    with pytest.raises((ValueError, TypeError)):
        vs.zeros(shape)


def test_numpy_integers_make_a_shape():
    with vs.zeros((np.int64(3), np.int32(2))) as a:
        assert a.shape == (3, 2) and a.size == 6


def test_bad_communicators_are_refused():
    with pytest.raises(TypeError, match="mpi4py"):
        vs.zeros(3, comm="world")
    with pytest.raises(ValueError, match="COMM_NULL"):
        vs.zeros(3, comm=MPI.COMM_NULL)


@pytest.mark.parametrize("how", ["even", "first", "last", "ramp"])
def test_from_local_any_counts(how):
    n = 11
    values = np.column_stack([x_of(np.arange(n)), np.arange(n)])
    with vs.from_local(block(values, WORLD, how)) as a:
        assert a.shape == (n, 2) and a.dtype == np.float64
        assert len(a.local) == counts(n, WORLD.size, "even")[WORLD.rank]
        assert np.array_equal(a.local, values[a.local_range.start : a.local_range.stop])
        everything = gathered(a)
    assert np.array_equal(everything, values)


def test_from_local_of_nothing():
    with vs.from_local(np.empty((0, 3), dtype=np.float32)) as a:
        assert a.shape == (0, 3) and a.dtype == np.float32 and a.local.shape == (0, 3)


def test_from_local_takes_non_contiguous_and_swapped_blocks():
    values = x_of(np.arange(18))
    with vs.from_local(block(values, WORLD, "ramp")[::2]) as a, \
            vs.from_local(block(values, WORLD, "ramp").astype(">f8")) as b:
        strided, swapped = gathered(a), gathered(b)
        assert b.dtype == np.float64
    assert np.array_equal(strided, np.concatenate([block(values, WORLD, "ramp", r)[::2] for r in range(WORLD.size)]))
    assert np.array_equal(swapped, values)


# Each type on the way in, with the type it is held as: the element types
# as themselves, bool and float16 converted exactly.
CONVERTED = [(t, t) for t in TABLE] + [(np.bool_, np.uint8), (np.float16, np.float32)]


@pytest.mark.parametrize("given, stored", CONVERTED)
def test_from_local_converts_exactly(given, stored):
    values = (np.arange(12) % 2 if given is np.bool_ else np.arange(12) * 5).astype(given)
    with vs.from_local(block(values, WORLD, "ramp")) as a:
        everything = gathered(a)
        assert a.dtype == np.dtype(stored)
    assert np.array_equal(everything, values.astype(stored))


@pytest.mark.parametrize("dtype", ["int64", "uint64", ">i8"])
def test_from_local_keeps_wide_integers_exactly(dtype):
    """Values no double holds (beyond 2^53) stay as they are: the order
    statistics of the array are those of the integers."""
    top = np.iinfo(np.dtype(dtype)).max
    values = (top - np.arange(9, dtype=np.uint64)).astype(dtype)
    with vs.from_local(block(values, WORLD, "first")) as a:
        assert a.dtype == np.dtype(dtype).newbyteorder("=")
        assert np.array_equal(gathered(a), values)
        assert vs.median(a) == float(np.sort(values)[4])
        assert vs.quantile(a, 1.0) == float(top)


def test_from_local_refuses_blocks_of_different_element_types():
    mine = np.zeros(3, dtype=np.int64 if WORLD.rank == WORLD.size - 1 else np.int32)
    if WORLD.size > 1:
        with pytest.raises(TypeError, match=f"rank {WORLD.size - 1} convert to another element type"):
            vs.from_local(mine)


@pytest.mark.parametrize("dtype", [np.complex128, np.longdouble, object, "U3", "datetime64[s]"])
def test_from_local_refuses_other_types(dtype):
    with pytest.raises(TypeError, match="cannot be taken"):
        vs.from_local(np.zeros(3, dtype=dtype))


def test_from_local_refuses_blocks_that_disagree_on_every_rank():
    last = WORLD.size - 1
    width = 3 if WORLD.rank != last else 4 if WORLD.size > 1 else 3
    if WORLD.size > 1:
        with pytest.raises(ValueError, match=f"differ from rank 0's on rank {last}"):
            vs.from_local(np.zeros((2, width)))
        dtype = np.float32 if WORLD.rank == last else np.float64
        with pytest.raises(TypeError, match="another element type"):
            vs.from_local(np.zeros(2, dtype=dtype))
    with pytest.raises(ValueError, match="no axis"):
        vs.from_local(np.float64(1.0) if WORLD.rank == last else np.zeros(2))


@pytest.mark.parametrize("dtype", DTYPES)
def test_astype_copies_and_converts(dtype):
    values = np.arange(10) * 1.5
    with vs.from_local(block(values, WORLD, "even")) as a, a.astype(dtype) as b:
        assert b.dtype == np.dtype(dtype) and not np.shares_memory(a.local, b.local)
        everything = gathered(b)
    assert np.array_equal(everything, values.astype(dtype))


def test_an_array_has_no_single_numpy_form():
    with vs.zeros(3) as a:
        with pytest.raises(TypeError, match=r"\.local"):
            np.asarray(a)


def test_a_freed_array_is_refused_alike():
    a = vs.zeros(4)
    a.free()
    a.free()  # nothing happens
    assert a.freed
    with pytest.raises(ValueError, match="freed"):
        a.local
    with pytest.raises(ValueError, match="freed"):
        vs.mean(a)
    assert same_everywhere(repr(a).encode())
