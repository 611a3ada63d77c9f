"""Layers as dask arrays, read and written block-aligned.

Every chunk is read by its own task, which opens the file itself, so a
graph runs on dask's threaded, process and distributed schedulers, on
machines that share the file system (paths are made absolute).
"""

import os

import dask.array as da
import numpy as np
from dask.base import tokenize

import kraster

__all__ = ["read", "write"]

# Bytes a default chunk aims at.
CHUNK_BYTES = 16 << 20


def _describe(path, layer):
    with kraster.open(path) as ds:
        i = ds._index(layer)
        return ds.layers[i], ds.info(i + 1)


def _aligned(n, block):
    """n rounded up to a whole number of blocks (at least one)."""
    return max(block, -(-int(n) // block) * block)


def _chunk_shape(info, itemsize, chunks):
    bh, bw = info.block_shape
    if chunks is not None:
        return _aligned(chunks[0], bh), _aligned(chunks[1], bw)
    band = info.width * bh * itemsize
    if band <= CHUNK_BYTES:  # whole rows of blocks
        return bh * max(1, CHUNK_BYTES // band), _aligned(info.width, bw)
    return bh, bw * max(1, CHUNK_BYTES // (bh * bw * itemsize))


def _sizes(total, step):
    return tuple(min(step, total - s) for s in range(0, total, step))


def _read_chunk(path, layer, rows, cols, out_dtype):
    with kraster.open(path) as ds:
        return ds.read(layer, window=(rows, cols), out_dtype=out_dtype)


def read(path, layer=1, chunks=None, out_dtype=None):
    """A dask array of a layer whose chunks are whole blocks.

    ``chunks`` = (rows, columns) is rounded up to multiples of the layer's
    block shape; by default chunks are rows of blocks of about
    :data:`CHUNK_BYTES`.
    """
    path = os.path.abspath(os.fspath(path))
    name, info = _describe(path, layer)
    dtype = info.dtype if out_dtype is None else kraster._DTYPES[kraster._pixel_type(out_dtype)]
    rows, cols = _chunk_shape(info, dtype.itemsize, chunks)
    key = "kraster-read-" + tokenize(path, name, os.stat(path).st_mtime_ns, rows, cols, dtype.str)
    graph = {
        (key, i, j): (_read_chunk, path, name, (r0, min(r0 + rows, info.height)),
                      (c0, min(c0 + cols, info.width)), out_dtype)
        for i, r0 in enumerate(range(0, info.height, rows))
        for j, c0 in enumerate(range(0, info.width, cols))
    }
    return da.Array(graph, key, (_sizes(info.height, rows), _sizes(info.width, cols)), dtype=dtype)


class _LayerTarget:
    """A layer as the target of ``da.store``: each chunk is written through
    its own handle, and the file closed after it so other processes see it."""

    def __init__(self, path, layer):
        self.path, self.layer = path, layer

    def __setitem__(self, key, value):
        rows, cols = key
        with kraster.Dataset(self.path, "r+", _quiet=True) as ds:
            ds.write(self.layer, np.asarray(value),
                     window=((rows.start, rows.stop), (cols.start, cols.stop)))


def write(array, path, layer=1, lock=True, compute=True):
    """Stores a 2-D dask array of the layer's shape into an existing layer.

    The array is rechunked so every chunk covers whole blocks; chunks are
    written one at a time under ``lock`` (``True``: a lock of this process,
    enough for the threaded and synchronous schedulers; pass a
    ``distributed.Lock`` on a cluster). Statistics and pyramids are not
    recomputed: call ``compute_statistics`` afterwards when they are wanted.
    """
    path = os.path.abspath(os.fspath(path))
    name, info = _describe(path, layer)
    array = da.asarray(array)
    if array.shape != (info.height, info.width):
        raise ValueError(f"array shape {array.shape} is not the layer's "
                         f"{(info.height, info.width)}")
    bh, bw = info.block_shape
    array = array.rechunk((_aligned(max(array.chunks[0]), bh), _aligned(max(array.chunks[1]), bw)))
    return da.store(array, _LayerTarget(path, name), lock=lock, compute=compute)
