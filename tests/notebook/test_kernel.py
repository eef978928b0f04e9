#!/usr/bin/python3
"""Kernel: the kexio kernel driven by jupyter_client as a notebook drives it.
Tour: examples/tour.ipynb run by nbclient, as CI runs a notebook."""
import base64
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

try:
    import jupyter_client
    import nbclient
    import nbformat
    import numpy
    from PIL import Image
    import ipykernel, matplotlib  # noqa: E401, F401 (the kernel's)
except ImportError as e:
    sys.exit(print("skipped: /usr/bin/python3 lacks %s (scripts/install-deps)" % e.name) or 77)
if not os.path.isdir(os.environ.get("JUPYTER_PATH", "") + "/kernels/kexio"):
    sys.exit(print("skipped: no kexio kernelspec (the Python module was not built)") or 77)


def kind(output):
    """An output (nbformat's, or an IOPub message's content and type) by its kind."""
    data, out_type = output.get("data", {}), output.get("output_type", output.get("msg_type"))
    html = data.get("text/html", "")
    return ("error" if out_type == "error" else "picture" if "image/png" in data
            else "plot" if "image/svg+xml" in data else "audio" if "<audio" in html
            else "table" if "<table" in html else "text")


class Kernel(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = cls.enterClassContext(tempfile.TemporaryDirectory())
        os.chdir(cls.folder)  # the kernel's folder too
        # 150 rows of 30 numbers, row r column c holding 100 r + c.
        (100.0 * numpy.arange(1, 151)[:, None] + numpy.arange(1, 31)).tofile("big.bin")
        cls.manager, cls.client = jupyter_client.manager.start_new_kernel(
            kernel_name="kexio", cwd=cls.folder)
        cls.addClassCleanup(cls.manager.shutdown_kernel, now=True)

    def kexio(self, text):
        """What the kexio program prints for the statements."""
        return subprocess.run([os.environ["KEXIO_BIN"], "--cwd", self.folder, "-e", text],
                              capture_output=True, text=True).stdout

    def execute(self, code):
        """The cell's outputs (contents with their message type) and its reply."""
        outputs = []
        reply = self.client.execute_interactive(code, timeout=60, output_hook=lambda m: (
            m["msg_type"] in ("execute_result", "display_data", "error", "stream")
            and outputs.append(dict(m["content"], msg_type=m["msg_type"]))))
        return outputs, reply["content"]

    def reply(self, request, *args):
        msg_id = getattr(self.client, request)(*args)
        while True:
            msg = self.client.get_shell_msg(timeout=30)
            if msg["parent_header"].get("msg_id") == msg_id:
                return msg["content"]

    def test_cells_give_their_kinds_of_output(self):
        # Each cell, the kinds of its outputs, its reply's status, what kexio
        # runs to print its text and tables (None: the cell) and what the data
        # of its outputs holds: a recording is the file WRITEWAV writes.
        self.kexio('WRITEWAV("w.wav", 11025, 8, [0, 255; 128, 1])')
        with open("w.wav", "rb") as f:
            wav = 'src="data:audio/wav;base64,%s"' % base64.b64encode(f.read()).decode()
        cases = [
            ("x := 6 * 7\nx", ["text"], "ok", None, ""),
            ("x / 2", ["text"], "ok", "x := 6 * 7\nx / 2", ""),
            ("m := [1, 2.5; -3, 4i]\nm\nm[2, 1]", ["table", "text"], "ok", None, "<th>2</th>"),
            ('[1, "a<b"; [1, 2], 4]', ["table"], "ok", None, "<td>&quot;a&lt;b&quot;</td>"),
            ('VIEW([255, 0, 0, 0, 255, 0], "rgb")', ["picture"], "ok", None, "iVBOR"),
            ("v := VIEW([1, 2])", ["picture"], "ok", None, "(a 256×128 picture)"),
            ("PLOT([1, 2, 3], [1, 4; 2, 5; 3, 7])", ["plot"], "ok", None, "column 2"),
            ("PLAY([0; 1000; -1000], 8000)", ["audio"], "ok", None, "data:audio/wav;base64,"),
            ("PLAY([0, 255; 128, 1], 11025, 8)", ["audio"], "ok", None, wav),
            # Evaluation goes on after an error, as in a worksheet.
            ("READPRN(42)\ny := 1 +\ny := 2\ny", ["error", "error", "text"], "error", None, ""),
        ]
        for code, kinds, status, cli, holds in cases:
            with self.subTest(code=code):
                outputs, reply = self.execute(code)
                self.assertEqual(([kind(o) for o in outputs], reply["status"]), (kinds, status))
                self.assertIn(holds, "".join(str(o.get("data")) for o in outputs))
                shown = "".join(o["data"]["text/plain"] for o in outputs
                                if kind(o) in ("text", "table"))
                self.assertEqual(shown, self.kexio(cli or code) if shown else "")

    def test_tables_number_rows_and_columns_and_say_what_is_left_out(self):
        page = self.execute('READBIN("big.bin", "double", 0, 30)')[0][0]["data"]["text/html"]
        rows = re.findall(r"<tr><th>(\d+)</th>(.*?)</tr>", page)
        self.assertEqual([int(r[0]) for r in rows], list(range(1, 101)))
        self.assertEqual(re.findall(r"<td>(.*?)</td>", rows[99][1]),
                         [str(10000 + c) for c in range(1, 21)])
        self.assertIn("and 50 more rows and 10 more columns", page)

    def test_pictures_take_a_pixel_per_element_enlarged_or_reduced(self):
        numpy.tile([0.0, 100.0], (4, 1024)).tofile("wide.bin")
        # Each picture's size, and pixels at (row, column) with their colour.
        cases = [
            ("VIEW([0, 255; 300, -5])", (256, 256),  # enlarged 128 times
             {(0, 0): 0, (0, 255): 255, (255, 0): 255, (255, 255): 0}),
            ('VIEW([255, 0, 0, 0, 128, 0, 0, 0, 255], "rgb")', (86, 258),
             {(0, 0): [255, 0, 0], (0, 86): [0, 128, 0], (85, 257): [0, 0, 255]}),
            # Wider than 1024: reduced, each pixel the mean of those it covers.
            ('VIEW(READBIN("wide.bin", "double", 0, 2048))', (2, 1024), {(1, 1023): 50}),
        ]
        self.assertEqual(self.execute("VIEW([])")[0][0]["data"], {"text/plain": "(an empty picture)"})
        for code, size, pixels in cases:
            with self.subTest(code=code):
                png = base64.b64decode(self.execute(code)[0][0]["data"]["image/png"])
                px = numpy.asarray(Image.open(io.BytesIO(png)).convert("RGB")).astype(int)
                self.assertEqual(px.shape, size + (3,))
                for (r, c), want in pixels.items():
                    self.assertEqual(px[r, c].tolist(), numpy.broadcast_to(want, 3).tolist())

    def test_errors_are_the_programs_text_in_colour_with_the_marker(self):
        outputs, reply = self.execute("x := 1\nREADPRN(  42 )")
        self.assertIn("\033[1;31m", outputs[0]["traceback"][0])
        plain = [re.sub("\033\\[[0-9;]*m", "", line) for line in outputs[0]["traceback"]]
        self.assertEqual(plain[0], "In[%d]:2:11: error: must be string" % reply["execution_count"])
        # The marker covers columns 11 and 12 of the statement's line.
        self.assertEqual(plain[2].split("| ")[1], " " * 10 + "^^ argument 1")
        self.assertEqual(reply["evalue"], "must be string")

    def test_completion_inspection_and_open_brackets(self):
        self.execute("velocity := [1; 2]")
        open("readings.prn", "w").close()
        for code, matches, start in [("READP", ["READPRN("], 0), ("2 * tr", ["transpose("], 4),
                                     ("x := velo", ["velocity"], 5),
                                     ('x := 1\nREADPRN("rea', ["readings.prn"], 16)]:
            got = self.reply("complete", code, len(code))
            self.assertEqual((got["matches"], got["cursor_start"]), (matches, start), code)
        for code, cursor, text in [("sum(m)", 1, "sum(m)\n      the sum of every element"),
                                   ("READBIN(", 8, "READBIN(file, type [, endian"),
                                   ("mean(velocity)", 8, "velocity: 2×1 matrix"),
                                   ("1 + 2", 2, None)]:
            got = self.reply("inspect", code, cursor)
            self.assertEqual(got["found"], text is not None, code)
            self.assertIn(text or "", got["data"].get("text/plain", ""))
        for code, status in [("[1, 2", "incomplete"), ("READPRN(\n", "incomplete"),
                             ("[1, 2]", "complete"), ('"[" + 1', "complete")]:
            self.assertEqual(self.reply("is_complete", code)["status"], status, code)

    def test_an_interrupt_lets_the_running_call_finish_and_stops_the_rest(self):
        # The first statement reads a pipe that gets its table only after the
        # interrupt: the read goes on to its end and shows its value, and the
        # statement after it does not run.
        os.mkfifo("slow.prn")

        def interrupt_then_write():
            # Opening the pipe returns once the kernel has opened it to read.
            with open("slow.prn", "w") as f:
                self.manager.interrupt_kernel()
                time.sleep(0.5)
                f.write("1 2\n3 4\n")

        threading.Thread(target=interrupt_then_write).start()
        outputs, reply = self.execute('READPRN("slow.prn")\nafter := 1')
        self.assertEqual((reply["status"], reply["ename"]), ("error", "Interrupted"))
        self.assertEqual([kind(o) for o in outputs], ["table", "error"])
        self.assertEqual(outputs[0]["data"]["text/plain"], "2×2 matrix\n  1  2\n  3  4\n")
        self.assertEqual(outputs[1]["evalue"], "interrupted: 1 statement of the cell not run")
        self.assertIn("'after' is not defined", self.execute("after")[0][0]["evalue"])

    def test_restart_forgets_the_variables(self):
        self.execute("kept := 5")  # kept from cell to cell, as the cells test shows
        self.manager.restart_kernel(now=True)
        self.client.wait_for_ready(timeout=60)
        self.assertIn("'kept' is not defined", self.execute("kept")[0][0]["evalue"])


# The kinds of output of each code cell of the tour, in order.
TOUR = [
    ["text", "table", "table"],                  # numbers and matrices
    ["table", "text", "text", "plot"],           # a PRN table
    ["text", "text", "picture"],                 # the photo in colour
    ["picture", "picture"],                      # the photo in grey
    ["picture"] * 6,                             # GIF, PCX, TGA, BMP, PGM, TIFF
    ["table", "plot", "plot", "audio"],          # the recording
    ["audio"],                                   # its left channel
    ["table", "table", "text", "text", "plot"],  # the CSV file
    ["table", "text", "table"],                  # binary data and a sketch
    ["error", "error", "error"],                 # errors, and the cell goes on
]


class Tour(unittest.TestCase):
    def test_every_cell_shows_what_the_tour_says(self):
        with tempfile.TemporaryDirectory() as folder:
            examples = shutil.copytree(os.environ["KEXIO_EXAMPLES"], folder + "/examples")
            notebook = nbformat.read(examples + "/tour.ipynb", as_version=4)
            nbclient.NotebookClient(notebook, timeout=120, kernel_name="kexio",
                                    resources={"metadata": {"path": examples}}).execute()
        cells = [c for c in notebook.cells if c.cell_type == "code"]
        self.assertEqual([[kind(o) for o in c.outputs] for c in cells], TOUR)
        # The photo is 48 × 32: enlarged 6 times to 288 × 192 pixels.
        self.assertEqual(cells[2].outputs[2]["metadata"]["image/png"],
                         {"width": 288, "height": 192})


if __name__ == "__main__":
    unittest.main()
