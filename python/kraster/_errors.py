"""The one exception of the package (kept apart so the compiled core can raise it)."""


class KRasterError(Exception):
    """A failed library call.

    ``reports`` lists every report of the library's chain as a tuple
    ``(function, code, message)``, newest first; ``str()`` shows them all.
    """

    def __init__(self, reports):
        self.reports = [(str(f), int(c), str(m)) for f, c, m in reports]
        super().__init__("; ".join(f"{f}: {m} ({c})" for f, c, m in self.reports))

    def __reduce__(self):
        # Crosses process boundaries (distributed workers) intact.
        return (type(self), (self.reports,))
