import pickle
import threading

import numpy as np
import pytest
from conftest import sample

import kraster

FORMATS = ["a.img", "a.tif"]


@pytest.mark.parametrize("name", FORMATS)
@pytest.mark.parametrize("pixel_type", kraster.PIXEL_TYPES)
def test_every_pixel_type_round_trips(tmp_path, name, pixel_type):
    # 70 x 130 with 64 x 64 blocks: partial blocks on both edges.
    a = sample(pixel_type, (70, 130))
    path = tmp_path / name
    with kraster.create(path, 130, 70, pixel_type, block_shape=(64, 64)) as ds:
        ds.write(1, a)
    with kraster.open(path) as ds:
        info = ds.info(1)
        assert (info.pixel_type, info.dtype, ds.shape) == (pixel_type, a.dtype, (70, 130))
        assert ds.format == ("MIRAVEN Image" if name.endswith(".img") else "TIFF")
        back = ds.read(1)
    assert back.dtype == a.dtype
    np.testing.assert_array_equal(back, a)


WINDOWS = [  # (rows, cols) of a 70 x 130 layer with 64 x 64 blocks
    ((0, 70), (0, 130)),     # whole
    ((69, 70), (129, 130)),  # last pixel
    ((0, 1), (129, 130)),    # top right pixel
    ((63, 65), (63, 65)),    # across four blocks
    ((64, 70), (0, 130)),    # the partial block row
    ((5, 69), (128, 130)),   # partial block column
]


@pytest.mark.parametrize("rows, cols", WINDOWS)
def test_windows_at_edges_read_and_write(image, rows, cols):
    a = sample("s16", (70, 130))
    path = image(a, block_shape=(64, 64))
    r, c = slice(*rows), slice(*cols)
    with kraster.open(path, "r+") as ds:
        np.testing.assert_array_equal(ds.read(1, window=(rows, cols)), a[r, c])
        w = kraster.Window(cols[0], rows[0], cols[1] - cols[0], rows[1] - rows[0])
        np.testing.assert_array_equal(ds.read("Layer_1", window=w), a[r, c])
        patch = -a[r, c] - 1
        ds.write(1, patch, window=(rows, cols))
    a[r, c] = patch
    with kraster.open(path) as ds:
        np.testing.assert_array_equal(ds.read(1), a)


@pytest.mark.parametrize("window", [((0, 71), (0, 10)), ((0, 10), (-1, 10)), ((5, 5), (0, 10)),
                                    ((0, 10), (120, 131))])
def test_windows_outside_the_layer_are_refused(image, window):
    path = image(np.zeros((70, 130), np.uint8))
    with kraster.open(path, "r+") as ds:
        with pytest.raises(ValueError, match="not inside"):
            ds.read(1, window=window)
        with pytest.raises(ValueError):
            ds.write(1, np.zeros((1, 1), np.uint8), window=window)


def test_conversions_on_read_and_write(image):
    a = np.array([[-3.0, 2.5, 300.0, -2.5]])
    path = image(a.astype(np.float64))
    with kraster.open(path, "r+") as ds:
        np.testing.assert_array_equal(ds.read(1, out_dtype="u8"), [[0, 3, 255, 0]])
        np.testing.assert_array_equal(ds.read(1, out_dtype=np.int16), [[-3, 3, 300, -3]])
        out = np.full((1, 4), 99, np.uint8)
        assert ds.read(1, out=out) is out
        np.testing.assert_array_equal(out, [[0, 3, 255, 0]])
        frozen = np.empty((1, 4), np.uint8)
        frozen.flags.writeable = False
        for bad in (np.empty((1, 3), np.uint8), frozen, np.empty((2, 8), np.uint8)[:1, ::2],
                    np.empty((1, 4), np.int8)):
            with pytest.raises(ValueError, match="out must be"):
                ds.read(1, out=bad, out_dtype="u8")
        # Arrays of dtypes no layer has go through f64.
        ds.write(1, np.array([[True, False, 7, -2**40]], dtype=np.int64))
        np.testing.assert_array_equal(ds.read(1), [[1, 0, 7, -2**40]])
        with pytest.raises(TypeError):
            ds.read(1, out_dtype=np.int64)
        with pytest.raises(TypeError):
            ds.write(1, np.array([["x", "y", "z", "w"]]))
        for window in (((0, 1), (0, 2)), None):
            with pytest.raises(ValueError, match="shape"):
                ds.write(1, np.zeros((1, 2)) if window is None else np.zeros((2, 2)), window)
    ds.close()  # again: nothing happens
    for call in (lambda: ds.read(1), ds.flush, lambda: ds.statistics(1)):
        with pytest.raises(ValueError, match="closed"):
            call()


def test_layers_by_name_and_index(tmp_path):
    with kraster.create(tmp_path / "m.img", 8, 4, "u8", layers=["red", "nir"]) as ds:
        ds.write("nir", np.full((4, 8), 9, np.uint8))
        assert ds.layers == ("red", "nir")
        assert ds.read(2).max() == 9 and ds.read("red").max() == 0
        for bad, error in [(3, IndexError), (0, IndexError), ("blue", KeyError), (1.0, TypeError)]:
            with pytest.raises(error):
                ds.read(bad)


def reports_of(call):
    with pytest.raises(kraster.KRasterError) as e:
        call()
    reports = e.value.reports
    assert reports and all(isinstance(f, str) and isinstance(c, int) and isinstance(m, str)
                           for f, c, m in reports)
    # Every report reaches the message.
    assert all(m in str(e.value) for _, _, m in reports)
    return reports


def test_failures_raise_with_their_reports(image, tmp_path):
    path = image(np.arange(12, dtype=np.uint8).reshape(3, 4))
    kraster.create(tmp_path / "bare.img", 4, 3, "u8").close()  # no statistics yet
    bare = kraster.open(tmp_path / "bare.img")
    ro = kraster.open(path)
    rw = kraster.open(path, "r+")
    cases = [  # (call, function of some report, words of some message)
        (lambda: kraster.open(tmp_path / "none.img"), "kimg_LayerGetNames", "No such file"),
        (lambda: ro.write(1, np.zeros((3, 4), np.uint8)), "kimg_LayerRasterPixelRectSet", ""),
        (lambda: bare.statistics(1), "kimg_StatisticsRead", "No statistics info found"),
        (lambda: bare.histogram(1), "kimg_HistogramRead", "No histogram found"),
        (lambda: ro.build_pyramids(1), "kimg_LayerRRDCompute", "read-only"),
        (lambda: rw.build_pyramids(1, kernel="9X9"), "kimg_LayerChangeOptions", "9X9"),
        (lambda: bare.table_columns(1), "kdsc_HFATableOpen", "Descriptor_Table"),
        (lambda: bare.write_column(1, "X", [1, 2]), "kimg_TableCreate", "read-only"),
        (lambda: rw.read_column(1, "Nothing"), "kdsc_ColumnOpen", "Nothing does not exist"),
        (lambda: kraster.copy(tmp_path / "none.img", tmp_path / "b.img"), "kimg_FileCopy", ""),
        (lambda: kraster.copy(path, path), "kimg_FileCopy", ""),
        (lambda: kraster.identify(tmp_path), "kimg_FileTitleIdentify", ""),
        (lambda: kraster.create(tmp_path / "d.img", 4, 4, "u8", format="No Such Format"), "",
         "No Such Format"),
        (lambda: kraster.create(tmp_path / "e.img", -4, 4, "u8"), "kimg_LayerCreate", ""),
    ]
    for call, function, words in cases:
        reports = reports_of(call)
        assert any(function in f for f, _, _ in reports), reports
        assert any(words in m for _, _, m in reports), reports
    for ds in (bare, ro, rw):
        ds.close()
    for left in ("d.img", "e.img", "b.img"):
        assert not (tmp_path / left).exists()
    # The exception crosses process boundaries whole.
    e = kraster.KRasterError([("f", 3, "m"), ("g", 4, "n")])
    assert pickle.loads(pickle.dumps(e)).reports == e.reports


def test_argument_errors_are_python_errors(image, tmp_path):
    path = image(np.zeros((2, 2), np.uint8))
    with pytest.raises(FileExistsError):
        kraster.create(path, 2, 2, "u8")
    with pytest.raises(ValueError):
        kraster.open(path, "w")
    with pytest.raises(ValueError):
        kraster.create(tmp_path / "n.img", 2, 2, "u8", layers=[])
    with pytest.raises(TypeError):
        kraster.create(tmp_path / "n.img", 2, 2, "u64")


def test_statistics_histogram_and_exclusions(image):
    a = np.arange(200 * 300, dtype=np.int64).reshape(200, 300) % 1000
    path = image(a.astype(np.uint16))
    with kraster.open(path, "r+") as ds:
        s = ds.compute_statistics(1)
        assert (s["minimum"], s["maximum"], s["pixel_count"]) == (0, 999, a.size)
        assert s["mean"] == pytest.approx(a.mean())
        assert s["stddev"] == pytest.approx(a.std(ddof=1))
        h = s["histogram"]
        assert h.counts.sum() == a.size and len(h.counts) == len(h.lower) == len(h.upper)
        # One bin per value, 0 to 999, whichever kind.
        assert h.kind in ("Direct", "Unique Value")
        np.testing.assert_array_equal(h.lower, np.arange(1000))
        assert np.all(h.upper >= h.lower) and np.all(h.upper < h.lower + 1.5)
        np.testing.assert_array_equal(h.counts, np.bincount(a.ravel()))
        # Stored, and read back the same.
        assert ds.statistics(1) == {k: s[k] for k in ds.statistics(1)}
        np.testing.assert_array_equal(ds.histogram(1).counts, h.counts)
        e = ds.compute_statistics(1, exclude=[0, 999])
        assert e["pixel_count"] == a.size - np.isin(a, [0, 999]).sum()
        assert (e["minimum"], e["maximum"]) == (1, 998)
        k = ds.compute_statistics(1, skip=(3, 2))
        assert k["pixel_count"] == a[::2, ::3].size
        assert k["mean"] == pytest.approx(a[::2, ::3].mean())
        assert len(ds.compute_statistics()) == 1
        with pytest.raises(ValueError, match="skip"):
            ds.compute_statistics(1, skip=(0, 1))


def test_descriptor_columns_round_trip(image):
    path = image(np.zeros((4, 4), np.uint8))
    values = {"Count": np.array([1, -2, 2**31 - 1], np.int32),
              "Area": np.array([0.5, np.inf, -1e300]),
              "Phase": np.array([1 + 2j, -3j, 0]),
              "Class_Names": ["water", "", "forest"]}
    with kraster.open(path, "r+") as ds:
        for name, v in values.items():
            ds.write_column(1, name, v, table="Classes")
        ds.write_column(1, "Count", [7, 8, 9], table="Classes")  # replaces
        with pytest.raises(OverflowError):
            ds.write_column(1, "Count", [2**31], table="Classes")
    values["Count"] = np.array([7, 8, 9], np.int32)
    with kraster.open(path) as ds:
        assert set(values) <= set(ds.table_columns(1, table="Classes"))
        for name, v in values.items():
            back = ds.read_column(1, name, table="Classes")
            if isinstance(v, list):
                assert back == v
            else:
                assert back.dtype == v.dtype
                np.testing.assert_array_equal(back, v)


@pytest.mark.parametrize("name", FORMATS)
def test_pyramids_copies_and_formats(image, tmp_path, name):
    a = sample("u8", (200, 300))
    path = image(a, name=name)
    with kraster.open(path, "r+") as ds:
        ds.build_pyramids(kernel="NEAREST")
        levels = ds.pyramid_levels(1)
        assert [m for _, m in levels] == [2, 4]
        assert ds.layers == ("Layer_1",)  # the levels are not layers
    for title, dest in [("TIFF", "c.tif"), ("MIRAVEN Image", "c.img")]:
        kraster.copy(path, tmp_path / dest)
        assert kraster.identify(tmp_path / dest) == title
        with kraster.open(tmp_path / dest) as ds:
            np.testing.assert_array_equal(ds.read(1), a)
        (tmp_path / dest).unlink()
    kinds = {f["name"]: f for f in kraster.formats()}
    assert {"MIRAVEN Image", "TIFF"} <= {t for f in kinds.values() for t in f["titles"]}
    assert all(set(f["pixel_types"]) <= set(kraster.PIXEL_TYPES) for f in kinds.values())


def test_concurrent_reads_of_one_dataset(image):
    a = sample("f32", (256, 256))
    path = image(a, block_shape=(32, 32))
    results = {}
    with kraster.open(path) as ds:
        def work(k):
            rows = (k * 32, k * 32 + 64)
            results[k] = ds.read(1, window=(rows, (0, 256)))
        threads = [threading.Thread(target=work, args=(k,)) for k in range(7)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    for k, got in results.items():
        np.testing.assert_array_equal(got, a[k * 32:k * 32 + 64])
    assert len(results) == 7
