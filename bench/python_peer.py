"""One timed call of the Python module or of its peer, in a fresh process,
run with Debian's /usr/bin/python3 (PYTHONPATH pointing at the module).

  python_peer.py image FILE          write the 4096 x 4096 photograph-like BMP
  python_peer.py tiny FILE           write a 1 x 1 table
  python_peer.py OP FILE             time OP on FILE and print "<OP> <seconds>"

OP: read_rgb (kexio.read_rgb), pillow_rgb (Pillow + numpy, float64 as
read_rgb gives), read_prn (kexio.read_prn), loadtxt (numpy.loadtxt), and
overhead (the median time of one kexio.read_prn of a 1 x 1 table, over 2000
calls after a warm-up). A result is released inside the timing, as a user's
program releases it.
"""
import statistics
import sys
import time


def image(path):
    import numpy as np
    from PIL import Image
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:4096, 0:4096]
    base = np.stack([(x // 16) % 256, (y // 16) % 256, ((x + y) // 32) % 256], axis=-1)
    noise = rng.integers(0, 16, size=base.shape)
    Image.fromarray(((base + noise) % 256).astype(np.uint8), "RGB").save(path)


def timed(call):
    t0 = time.perf_counter()
    r = call()
    del r
    return time.perf_counter() - t0


def main(op, path):
    if op == "image":
        return image(path)
    if op == "tiny":
        with open(path, "w") as f:
            f.write("3.25\n")
        return
    if op == "pillow_rgb":
        import numpy as np
        from PIL import Image
        # Planes side by side, as read_rgb gives them.
        t = timed(lambda: np.asarray(Image.open(path).convert("RGB"), dtype=np.float64))
    elif op == "loadtxt":
        import numpy as np
        t = timed(lambda: np.loadtxt(path, delimiter=","))
    elif op == "overhead":
        import kexio
        kexio.read_prn(path)
        samples = []
        for _ in range(20):
            t0 = time.perf_counter()
            for _ in range(100):
                kexio.read_prn(path)
            samples.append((time.perf_counter() - t0) / 100)
        t = statistics.median(samples)
    else:
        import kexio
        t = timed(lambda: getattr(kexio, op)(path))
    print(op, "%.9f" % t, flush=True)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
