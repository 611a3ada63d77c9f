"""Speed of the Python package against the C API, in one run.

    PYTHONPATH=build-rel/python /usr/bin/python3 bench/python/bench_read.py build-rel

1. Reading a whole 8192 x 8192 u16 native layer into numpy against the C
   kimg_LayerRasterPixelRectGet of the same layer into a library rectangle
   (called through ctypes; each repetition opens the layer, reads and closes
   it on both sides). Ratio = C time / Python time (1 = as fast). Twice:
   into a new buffer each time (a new rectangle, a new array) and into one
   made before (a rectangle made once, read(out=...)).
2. A dask sum of that layer on the threaded scheduler with 2 threads against
   1 thread. Ratio = time with 1 / time with 2.

Times are the best of the repetitions; use a build without sanitizers.
"""

import ctypes
import os
import sys
import tempfile
import time

import dask
import dask.array
import numpy as np

import kraster
import kraster.dask

SIZE = 8192
REPEAT = 5


def best(fn, repeat=REPEAT):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def c_reader(build, layer_name, fresh):
    lib = ctypes.CDLL(os.path.join(build, "lib", "libkraster.so"))
    lib.kint_InitToolkit.restype = ctypes.c_void_p
    lib.kint_InitToolkit.argtypes = [ctypes.c_void_p]
    lib.kimg_LayerOpenVAPtr.restype = ctypes.c_void_p
    lib.kimg_LayerOpenVAPtr.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_void_p,
                                        ctypes.POINTER(ctypes.c_ssize_t)]
    lib.kimg_PixelRectCreate.restype = ctypes.c_void_p
    lib.kimg_PixelRectCreate.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_int32,
                                         ctypes.c_void_p]
    lib.kimg_LayerRasterPixelRectGet.argtypes = [ctypes.c_void_p] + [ctypes.c_long] * 4 + [
        ctypes.c_void_p, ctypes.c_void_p]
    lib.kimg_PixelRectDelete.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    lib.kimg_LayerClose.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    err = ctypes.c_void_p()
    tk = lib.kint_InitToolkit(ctypes.byref(err))
    readonly = (ctypes.c_ssize_t * 2)(3, 0)
    u16 = kraster.PIXEL_TYPES.index("u16")
    kept = lib.kimg_PixelRectCreate(SIZE, SIZE, u16, ctypes.byref(err))

    def read():
        layer = lib.kimg_LayerOpenVAPtr(layer_name.encode(), tk, ctypes.byref(err), readonly)
        rect = lib.kimg_PixelRectCreate(SIZE, SIZE, u16, ctypes.byref(err)) if fresh else kept
        rc = lib.kimg_LayerRasterPixelRectGet(layer, 0, 0, SIZE, SIZE, rect, ctypes.byref(err))
        if fresh:
            lib.kimg_PixelRectDelete(rect, None)
        lib.kimg_LayerClose(layer, None)
        if not layer or not rect or rc != 0:
            raise RuntimeError("the C read failed")
    return read


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build-rel"
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.img")
        data = (np.arange(SIZE * SIZE, dtype=np.uint32) * 2654435761 >> 16).astype(np.uint16)
        data = data.reshape(SIZE, SIZE)
        with kraster.create(path, SIZE, SIZE, "u16") as ds:
            ds.write(1, data)
            block = ds.block_shape

        kept = np.empty((SIZE, SIZE), np.uint16)
        for fresh in (True, False):
            def py_read():
                with kraster.open(path) as ds:
                    return ds.read(1, out=None if fresh else kept)
            assert np.array_equal(py_read(), data)
            c_read = c_reader(build, f"{path}(:Layer_1)", fresh)
            c_read()
            # Interleaved, so both sides see the same load.
            t_c, t_py = float("inf"), float("inf")
            for _ in range(REPEAT * 2):
                t_c, t_py = min(t_c, best(c_read, 1)), min(t_py, best(py_read, 1))
            print(f"whole-layer read {SIZE}x{SIZE} u16, blocks {block}, "
                  f"{'new' if fresh else 'kept'} buffer: C {t_c * 1e3:.1f} ms, "
                  f"Python {t_py * 1e3:.1f} ms, ratio C/Python {t_c / t_py:.2f}")

        arr = kraster.dask.read(path)
        total = int(data.sum(dtype=np.uint64))
        # The same sum over the array in memory shows what two threads can
        # gain on this machine at this moment.
        control = dask.array.from_array(data, chunks=arr.chunksize)
        for label, a in (("layer", arr), ("in-memory control", control)):
            sums = {}
            for threads in (1, 2):
                def run():
                    with dask.config.set(scheduler="threads", num_workers=threads):
                        assert int(a.sum(dtype=np.uint64).compute()) == total
                run()
                sums[threads] = best(run, REPEAT * 2)
            print(f"dask sum of the {label}, {a.numblocks[0] * a.numblocks[1]} chunks of "
                  f"{a.chunksize}: 1 thread {sums[1] * 1e3:.1f} ms, 2 threads "
                  f"{sums[2] * 1e3:.1f} ms, ratio {sums[1] / sums[2]:.2f}")


if __name__ == "__main__":
    main()
