"""What a notebook shows of a worksheet statement: MIME bundles for values
(text/plain exactly as the kexio program writes them, matrices also as an
HTML table), for what VIEW, PLOT and PLAY showed (a PNG picture, an SVG
plot, an audio player) and for errors (the kexio program's text in colour)."""
import base64
import html
import io
import struct
import zlib

import numpy

# A matrix's table shows at most this many rows and columns.
TABLE_ROWS = 100
TABLE_COLS = 20
# A line with more points than this is drawn by the lowest and highest point
# of each of PLOT_STRETCHES stretches, which looks the same at any size a
# notebook shows and keeps the SVG small.
PLOT_POINTS = 5000
PLOT_STRETCHES = 2000


def value_bundle(result):
    """text/plain as the kexio program writes the value; a matrix also as an
    HTML table with row and column numbers."""
    bundle = {"text/plain": result.text}
    value = result.value
    if isinstance(value, numpy.ndarray):
        bundle["text/html"] = table(result, value.shape)
    return bundle


def table(result, shape):
    rows, cols = shape
    cells = result.cells(TABLE_ROWS, TABLE_COLS)
    title = result.text.split("\n", 1)[0].replace(" (abridged)", "")
    out = ['<table class="kexio-matrix"><caption>%s</caption>' % html.escape(title)]
    if cells:
        out.append("<thead><tr><th></th>%s</tr></thead><tbody>"
                   % "".join("<th>%d</th>" % (j + 1) for j in range(len(cells[0]))))
        for i, row in enumerate(cells):
            out.append("<tr><th>%d</th>%s</tr>" % (
                i + 1, "".join("<td>%s</td>" % html.escape(c) for c in row)))
        out.append("</tbody>")
    out.append("</table>")
    more = []
    if rows > TABLE_ROWS:
        more.append("%s more rows" % format(rows - TABLE_ROWS, ","))
    if cols > TABLE_COLS:
        more.append("%s more columns" % format(cols - TABLE_COLS, ","))
    if more:
        out.append('<p class="kexio-more">… and %s</p>' % " and ".join(more))
    return "".join(out)


def png(pixels):
    """A PNG file of a height x width x 3 array of bytes."""
    height, width, _ = pixels.shape
    rows = numpy.zeros((height, 1 + 3 * width), dtype=numpy.uint8)  # filter byte 0: none
    rows[:, 1:] = pixels.reshape(height, 3 * width)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows.tobytes(), 6))
            + chunk(b"IEND", b""))


def view_bundle(pixels):
    height, width, _ = pixels.shape
    if pixels.size == 0:
        return {"text/plain": "(an empty picture)"}, {}
    return ({"image/png": base64.b64encode(png(pixels)).decode("ascii"),
             "text/plain": "(a %d×%d picture)" % (width, height)},
            {"image/png": {"width": width, "height": height}})


def _thinned(x, y):
    """The points of one line, a long line as the lowest and highest point of
    each stretch, in their order."""
    n = len(y)
    if n <= PLOT_POINTS:
        return x, y
    edges = numpy.linspace(0, n, PLOT_STRETCHES + 1).astype(int)
    keep = []
    for lo, hi in zip(edges[:-1], edges[1:]):
        part = y[lo:hi]
        low = lo + int(numpy.where(numpy.isnan(part), numpy.inf, part).argmin())
        high = lo + int(numpy.where(numpy.isnan(part), -numpy.inf, part).argmax())
        keep.extend(sorted({low, high}))
    keep = numpy.array(keep)
    return x[keep], y[keep]


def plot_svg(x, y):
    """Each column of y as a line against x (None: the row numbers), with
    axes and a legend, as SVG."""
    from matplotlib.figure import Figure
    import matplotlib

    matplotlib.rcParams["svg.hashsalt"] = "kexio"
    figure = Figure(figsize=(6.4, 4))
    axes = figure.subplots()
    along = numpy.arange(1, y.shape[0] + 1, dtype=float) if x is None else x[:, 0]
    for j in range(y.shape[1]):
        px, py = _thinned(along, y[:, j])
        axes.plot(px, py, label="column %d" % (j + 1), linewidth=1)
    axes.set_xlabel("row" if x is None else "x")
    axes.ticklabel_format(useOffset=False)
    axes.grid(alpha=0.3)
    axes.legend()
    out = io.StringIO()
    figure.savefig(out, format="svg", metadata={"Date": None}, bbox_inches="tight")
    return out.getvalue()


def plot_bundle(x, y):
    lines, points = y.shape[1], y.shape[0]
    return {"image/svg+xml": plot_svg(x, y),
            "text/plain": "(a plot of %d line%s of %d point%s)" % (
                lines, "" if lines == 1 else "s", points, "" if points == 1 else "s")}


def play_bundle(wav, rate, bits, frames, channels):
    seconds = frames / rate if rate else 0
    said = "%d channel%s of %.3g s at %d Hz, %d bits" % (
        channels, "" if channels == 1 else "s", seconds, rate, bits)
    source = "data:audio/wav;base64," + base64.b64encode(wav).decode("ascii")
    return {"text/html": '<audio class="kexio-play" controls src="%s" title="%s"></audio>'
                         % (source, html.escape(said)),
            "text/plain": "(a recording: %s)" % said}


def display_bundles(result):
    """A (data, metadata) pair for each thing VIEW, PLOT and PLAY showed."""
    out = []
    for shown in result.displays:
        kind = shown[0]
        if kind == "view":
            out.append(view_bundle(shown[1]))
        elif kind == "plot":
            out.append((plot_bundle(shown[1], shown[2]), {}))
        else:
            out.append((play_bundle(*shown[1:]), {}))
    return out
