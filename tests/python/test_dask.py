import logging
import os

import dask
import dask.array as da
import numpy as np
import pytest
from conftest import sample

import kraster
import kraster.dask


@pytest.fixture
def scene(image):
    # 300 x 500 with 64 x 128 blocks: edge chunks are partial blocks.
    a = sample("u16", (300, 500), seed=3)
    return image(a, name="s.tif", block_shape=(64, 128)), a


@pytest.mark.parametrize("chunks, expect", [
    (None, ((300,), (500,))),                      # small layer: one chunk
    ((64, 128), ((64,) * 4 + (44,), (128,) * 3 + (116,))),
    ((100, 129), ((128, 128, 44), (256, 244))),    # rounded up to whole blocks
])
def test_read_chunks_are_blocks_and_sum_on_threads(scene, chunks, expect):
    path, a = scene
    arr = kraster.dask.read(path, 1, chunks=chunks)
    assert arr.chunks == expect and arr.dtype == a.dtype
    with dask.config.set(scheduler="threads", num_workers=2):
        assert arr.sum(dtype=np.uint64).compute() == a.sum(dtype=np.uint64)
        np.testing.assert_array_equal(arr[250:, 100:300].compute(), a[250:, 100:300])
    conv = kraster.dask.read(path, "Layer_1", chunks=chunks, out_dtype="f64")
    assert conv.dtype == np.float64
    np.testing.assert_array_equal(conv.compute(scheduler="sync"), a)


def test_default_chunks_follow_the_size_target(scene, monkeypatch):
    path, a = scene
    # Smaller than one row of blocks: blocks side by side.
    monkeypatch.setattr(kraster.dask, "CHUNK_BYTES", 64 * 128 * 2 * 2)
    assert kraster.dask.read(path).chunksize == (64, 256)
    # Two rows of blocks across the layer.
    monkeypatch.setattr(kraster.dask, "CHUNK_BYTES", 2 * 64 * 512 * 2)
    assert kraster.dask.read(path).chunksize == (128, 500)


def test_write_stores_block_aligned(scene, tmp_path):
    path, a = scene
    target = tmp_path / "t.img"
    kraster.create(target, 500, 300, "u16", block_shape=(64, 128)).close()
    src = da.from_array(a, chunks=(50, 70))  # not aligned: rechunked
    with dask.config.set(scheduler="threads", num_workers=2):
        kraster.dask.write(src, target)
    with kraster.open(target) as ds:
        np.testing.assert_array_equal(ds.read(1), a)
    with pytest.raises(ValueError, match="shape"):
        kraster.dask.write(src[1:], target)
    lazy = kraster.dask.write(kraster.dask.read(path) // 2, target, compute=False)
    lazy.compute(scheduler="sync")
    with kraster.open(target) as ds:
        np.testing.assert_array_equal(ds.read(1), a // 2)


def test_failing_chunk_raises_its_reports(scene):
    path, _ = scene
    arr = kraster.dask.read(path, chunks=(64, 128))
    os.unlink(path)
    kraster._kraster.release(os.fspath(path), False)  # the close queue let go of it
    with pytest.raises(kraster.KRasterError) as e:
        arr.sum().compute(scheduler="threads")
    assert any("No such file" in m for _, _, m in e.value.reports)


def test_sum_on_a_distributed_cluster_of_two_processes(scene):
    distributed = pytest.importorskip("distributed")
    path, a = scene
    arr = kraster.dask.read(path, chunks=(64, 128))
    # Workers start slowly on a loaded machine under the sanitizers.
    with dask.config.set({"distributed.comm.timeouts.connect": "120s"}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=logging.ERROR,
                                  worker_dashboard_address=None) as cluster, \
            distributed.Client(cluster, timeout="60s") as client:
        pids = client.run(os.getpid, wait=True)
        assert len(set(pids.values())) == 2 and os.getpid() not in pids.values()
        held = arr.persist()
        distributed.wait(held, timeout=120)
        assert set(client.who_has(held).keys())  # chunks live on the workers
        assert held.sum(dtype=np.uint64).compute() == a.sum(dtype=np.uint64)
        np.testing.assert_array_equal(held.compute(), a)
