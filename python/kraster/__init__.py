"""Georeferenced raster images from Python, with numpy arrays.

    import kraster
    with kraster.open("scene.img") as ds:
        band = ds.read(1)                               # whole layer
        corner = ds.read("Layer_1", window=((0, 256), (0, 256)))

Layers are named by node name ("Layer_1") or by 1-based index. Windows are
``((row_start, row_stop), (col_start, col_stop))`` or a :class:`Window`.
Library failures raise :class:`KRasterError` with the whole report chain.
"""

import collections
import os

import numpy as np

from . import _kraster
from ._errors import KRasterError

__all__ = ["open", "create", "copy", "formats", "identify", "Dataset", "Window",
           "LayerInfo", "Histogram", "KRasterError", "PIXEL_TYPES"]

__version__ = _kraster.version()

# Pixel type names by code, with the numpy dtype a layer of each reads as
# (u1, u2 and u4 unpack to one byte per pixel).
PIXEL_TYPES = ("u1", "u2", "u4", "u8", "s8", "u16", "s16", "u32", "s32", "f32",
               "f64", "c64", "c128")
_DTYPES = tuple(np.dtype(t) for t in (
    "u1", "u1", "u1", "u1", "i1", "<u2", "<i2", "<u4", "<i4", "<f4", "<f8", "<c8", "<c16"))
_CODE_OF_DTYPE = {np.dtype(d).newbyteorder("="): c for c, d in enumerate(_DTYPES) if c >= 3}
_LAYER_TYPES = ("thematic", "athematic", "fft")

Window = collections.namedtuple("Window", "col_off row_off width height")
Window.__doc__ = "A rectangle of pixels: first column and row, width and height."

LayerInfo = collections.namedtuple(
    "LayerInfo", "name width height pixel_type dtype layer_type block_shape compression "
                 "read_only format")
Histogram = collections.namedtuple("Histogram", "counts lower upper kind")
Histogram.__doc__ = "Bin counts with each bin's lower and upper value, and the binning kind."


def _pixel_type(dtype):
    """Pixel type code of a layer dtype given as a name ("u16") or numpy dtype."""
    if isinstance(dtype, str) and dtype in PIXEL_TYPES:
        return PIXEL_TYPES.index(dtype)
    try:
        return _CODE_OF_DTYPE[np.dtype(dtype).newbyteorder("=")]
    except (TypeError, KeyError):
        raise TypeError(f"no pixel type holds {dtype!r}") from None


class Dataset:
    """An open image; a context manager. Made by :func:`open` and :func:`create`."""

    def __init__(self, path, mode="r", _quiet=False):
        if mode not in ("r", "r+"):
            raise ValueError(f"mode must be 'r' or 'r+', not {mode!r}")
        self.path = os.fspath(path)
        self.mode = mode
        self._image = _kraster.Image(self.path, mode == "r+", _quiet)
        self._names = self._image.names
        self._infos = {}

    # ---- what the image is -------------------------------------------------
    @property
    def layers(self):
        """Node names of the layers ("Layer_1", ...), in the file's order."""
        return tuple(n[n.rindex("(:") + 2:-1] for n in self._names)

    def _index(self, layer):
        if self._image is None:
            raise ValueError(f"{self.path} is closed")
        if isinstance(layer, (int, np.integer)) and not isinstance(layer, bool):
            if 1 <= layer <= len(self._names):
                return int(layer) - 1
            raise IndexError(f"layer {layer} of {len(self._names)}")
        if isinstance(layer, str):
            name = layer.lstrip(":")
            if name in self.layers:
                return self.layers.index(name)
            raise KeyError(f"{self.path} has no layer {layer!r}")
        raise TypeError("a layer is a 1-based index or a name")

    def info(self, layer=1):
        """A :class:`LayerInfo` of one layer."""
        i = self._index(layer)
        if i not in self._infos:
            name, w, h, ltype, ptype, bw, bh, comp, ro, title = self._image.info(i)
            self._infos[i] = LayerInfo(name, w, h, PIXEL_TYPES[ptype], _DTYPES[ptype],
                                       _LAYER_TYPES[ltype] if ltype < 3 else str(ltype),
                                       (bh, bw), comp, ro, title)
        return self._infos[i]

    width = property(lambda self: self.info(1).width, doc="Width of the first layer.")
    height = property(lambda self: self.info(1).height, doc="Height of the first layer.")
    shape = property(lambda self: (self.height, self.width), doc="(height, width) of the first layer.")
    dtypes = property(lambda self: tuple(self.info(i + 1).dtype for i in range(len(self._names))),
                      doc="numpy dtype of every layer.")
    dtype = property(lambda self: self.info(1).dtype, doc="numpy dtype of the first layer.")
    block_shape = property(lambda self: self.info(1).block_shape,
                           doc="(rows, columns) of a block of the first layer.")
    format = property(lambda self: self.info(1).format, doc="Format title of the file.")

    # ---- pixels -----------------------------------------------------------
    def _window(self, i, window):
        info = self.info(i + 1)
        if window is None:
            return 0, info.height, 0, info.width
        if isinstance(window, Window):
            r0, c0 = window.row_off, window.col_off
            r1, c1 = r0 + window.height, c0 + window.width
        else:
            (r0, r1), (c0, c1) = window
        r0, r1, c0, c1 = (int(v) for v in (r0, r1, c0, c1))
        if not (0 <= r0 < r1 <= info.height and 0 <= c0 < c1 <= info.width):
            raise ValueError(f"window rows {r0}:{r1}, columns {c0}:{c1} is not inside the "
                             f"{info.height} x {info.width} layer")
        return r0, r1, c0, c1

    def read(self, layer=1, window=None, out_dtype=None, out=None):
        """The layer's pixels (or a window of them) as a 2-D array.

        With ``out_dtype`` the library converts while reading (integers
        saturate, reals round half away from zero, complex becomes its
        magnitude). ``out``, a C-contiguous array of the window's shape and
        the result's dtype, receives the pixels instead of a new array.
        """
        i = self._index(layer)
        r0, r1, c0, c1 = self._window(i, window)
        if out_dtype is None and out is not None:
            out_dtype = out.dtype
        code = (PIXEL_TYPES.index(self.info(i + 1).pixel_type) if out_dtype is None
                else _pixel_type(out_dtype))
        if out is None:
            out = np.empty((r1 - r0, c1 - c0), dtype=_DTYPES[code])
        elif (out.shape != (r1 - r0, c1 - c0) or out.dtype != _DTYPES[code]
              or not out.flags.c_contiguous or not out.flags.writeable):
            raise ValueError(f"out must be a writable C-contiguous {_DTYPES[code]} array of "
                             f"shape {(r1 - r0, c1 - c0)}")
        self._image.read(i, c0, r0, out, code)
        return out

    def write(self, layer, array, window=None):
        """Writes a 2-D array into the layer at the window (the whole layer
        when None; the window's shape must be the array's)."""
        i = self._index(layer)
        array = np.asarray(array)
        if array.ndim != 2:
            raise ValueError("write takes a 2-D array")
        r0, r1, c0, c1 = self._window(i, window)
        if array.shape != (r1 - r0, c1 - c0):
            raise ValueError(f"array shape {array.shape} is not the window's {(r1 - r0, c1 - c0)}")
        try:
            code = _pixel_type(array.dtype)
        except TypeError:
            # bool, 64-bit integers, half floats: through f64, which converts
            # to every layer type with the same saturation.
            if array.dtype.kind not in "biuf":
                raise
            code = _pixel_type("f64")
        array = np.ascontiguousarray(array, dtype=_DTYPES[code])
        self._image.write(i, c0, r0, array, code)

    # ---- statistics, tables, pyramids ---------------------------------------
    def compute_statistics(self, layer=None, skip=None, exclude=()):
        """Computes (and, when writable, stores) statistics and histogram.

        With ``layer`` None every layer is computed and a list returned.
        Each result is a dict with minimum, maximum, mean, median, mode,
        stddev, pixel_count and histogram (a :class:`Histogram` or None).
        ``skip`` = (x, y) samples every x-th column and y-th row.
        """
        if layer is None:
            return [self.compute_statistics(n, skip, exclude) for n in self.layers]
        i = self._index(layer)
        if skip is not None:
            skip = (int(skip[0]), int(skip[1]))
            if min(skip) < 1:
                raise ValueError(f"skip factors are at least 1, not {skip}")
        stats, count, hist = self._image.compute_statistics(i, skip, [float(v) for v in exclude])
        stats["pixel_count"] = count
        stats["histogram"] = Histogram(*hist) if hist is not None else None
        return stats

    def statistics(self, layer=1):
        """The stored statistics (a dict of minimum ... stddev)."""
        i = self._index(layer)
        return self._image.statistics(i)

    def histogram(self, layer=1):
        """The stored histogram (a :class:`Histogram`)."""
        i = self._index(layer)
        return Histogram(*self._image.histogram(i))

    def table_columns(self, layer=1, table=None):
        """Column names of a descriptor table (default "Descriptor_Table")."""
        i = self._index(layer)
        return self._image.columns(i, table)

    def read_column(self, layer, name, table=None):
        """A descriptor-table column: an int32, float64 or complex128 array,
        or a list of str (None for an absent string)."""
        i = self._index(layer)
        return self._image.read_column(i, table, name)

    def write_column(self, layer, name, values, table=None):
        """Writes a column (making the table and column when missing): an
        array (integers as int32, reals float64, complex complex128) or a
        sequence of str."""
        if isinstance(values, np.ndarray) or (len(values) and not isinstance(values[0], str)):
            a = np.asarray(values)
            if a.dtype.kind in "biu":
                if a.size and (a.min() < -2**31 or a.max() >= 2**31):
                    raise OverflowError("integer column values must fit 32 bits")
                a = a.astype(np.int32)
            elif a.dtype.kind == "f":
                a = a.astype(np.float64)
            elif a.dtype.kind == "c":
                a = a.astype(np.complex128)
            else:
                raise TypeError(f"no column type holds {a.dtype}")
            values = np.ascontiguousarray(a)
        else:
            values = [str(v) for v in values]
        i = self._index(layer)
        self._image.write_column(i, table, name, values)

    def build_pyramids(self, layer=None, kernel=None):
        """Computes the pyramid levels of a layer (or of every layer);
        ``kernel`` is "2X2", "4X4" or "NEAREST"."""
        for n in ([layer] if layer is not None else self.layers):
            i = self._index(n)
            self._image.build_pyramids(i, kernel)

    def pyramid_levels(self, layer=1):
        """[(layer name, magnification), ...] of the stored pyramid levels."""
        i = self._index(layer)
        return self._image.pyramid_levels(i)

    # ---- life -----------------------------------------------------------------
    def flush(self):
        """Writes changed blocks to the file."""
        self._index(1)
        self._image.flush()

    def close(self):
        """Closes the layers (writing what changed). Safe to call twice."""
        if self._image is not None:
            image, self._image = self._image, None
            image.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        return f"<kraster.Dataset {self.path!r} mode {self.mode!r} layers {list(self.layers)}>"


def open(path, mode="r"):  # noqa: A001 - the field's usual name
    """Opens an image: mode "r" reads, "r+" reads and writes."""
    return Dataset(path, mode)


def create(path, width, height, dtype, layers=1, block_shape=None, compression=None,
           format=None, layer_type="athematic"):  # noqa: A002
    """Creates an image of ``layers`` layers ("Layer_1", ...; or a list of
    names) and returns it open for update. The format follows the file
    name's extension unless ``format`` gives a title; ``block_shape`` is
    (rows, columns). A failed creation leaves no file."""
    path = os.fspath(path)
    if os.path.exists(path):
        raise FileExistsError(path)
    names = [f"Layer_{k}" for k in range(1, layers + 1)] if isinstance(layers, int) else list(layers)
    if not names:
        raise ValueError("an image needs at least one layer")
    code = _pixel_type(dtype)
    block = None if block_shape is None else (int(block_shape[1]), int(block_shape[0]))
    try:
        for name in names:
            _kraster.create_layer(f"{path}(:{name})", int(width), int(height), code,
                                  _LAYER_TYPES.index(layer_type), block, compression, format)
        _kraster.release(path, False)
    except BaseException:
        if os.path.exists(path):
            _kraster.release(path, True)
        raise
    return Dataset(path, "r+")


def copy(source, destination, format=None, compression=None):  # noqa: A002
    """Copies an image with its support files, into another format when the
    destination's extension or ``format`` (a title) names one."""
    _kraster.copy(os.fspath(source), os.fspath(destination), format, compression)


def identify(path):
    """The format title of a file."""
    return _kraster.identify(os.fspath(path))


def formats():
    """The raster formats: one dict per plug-in (name, titles, templates,
    creatable, pixel_types, compressions, layer_types, thread_safe)."""
    return _kraster.formats()
