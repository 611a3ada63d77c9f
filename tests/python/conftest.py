import numpy as np
import pytest

import kraster

# Every pixel type with the extremes and some values between of its range.
RANGES = {"u1": (0, 1), "u2": (0, 3), "u4": (0, 15), "u8": (0, 255), "s8": (-128, 127),
          "u16": (0, 65535), "s16": (-32768, 32767), "u32": (0, 2**32 - 1),
          "s32": (-2**31, 2**31 - 1)}


def sample(pixel_type, shape, seed=0):
    """An array of the layer dtype of pixel_type holding its extremes."""
    rng = np.random.default_rng(seed)
    dtype = kraster._DTYPES[kraster.PIXEL_TYPES.index(pixel_type)]
    if pixel_type in RANGES:
        lo, hi = RANGES[pixel_type]
        a = rng.integers(lo, hi, size=shape, endpoint=True, dtype=np.int64)
        a.flat[:2] = lo, hi
        return a.astype(dtype)
    a = rng.normal(0, 1e6, size=shape)
    if dtype.kind == "c":
        a = a + 1j * rng.normal(0, 1e3, size=shape)
    a = a.astype(dtype)
    a.flat[0] = np.finfo(a.real.dtype).max
    a.flat[1] = np.finfo(a.real.dtype).tiny
    return a


@pytest.fixture
def image(tmp_path):
    """make(array, name="a.img", **create options) -> path of a one-layer image holding array."""
    def make(array, name="a.img", **options):
        path = tmp_path / name
        with kraster.create(path, array.shape[1], array.shape[0], array.dtype, **options) as ds:
            ds.write(1, array)
        return path
    return make
