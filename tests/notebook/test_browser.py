#!/usr/bin/python3
"""examples/tour.ipynb in headless Chromium (selenium), from a notebook server on
127.0.0.1 with a random token: the page must show every kind of output. A missing
part skips the test, except in CI (CI=true), which installs Chromium: it fails."""
import os
import secrets
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

CHROMIUM, DRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"


def cannot_run(reason):
    if os.environ.get("CI") == "true":
        sys.exit(print("failed: the browser test must run in CI, but " + reason) or 1)
    sys.exit(print("skipped: " + reason) or 77)


for program in (CHROMIUM, DRIVER, shutil.which("jupyter-notebook") or "jupyter-notebook"):
    if not os.access(program, os.X_OK):
        cannot_run(program + " is missing (scripts/install-deps --browser installs it)")
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.support.wait import WebDriverWait
    import ipykernel, matplotlib, notebook  # noqa: E401, F401 (the server's and the kernel's)
except ImportError as e:
    cannot_run("Python's %s is missing (scripts/install-deps --browser installs it)" % e.name)


# What each code cell's outputs became in the page, once every cell has run (has
# its number), the kernel is idle, pictures are decoded and players have read.
PAGE = """const cells = Jupyter.notebook.get_cells().filter(c => c.cell_type === 'code');
const page = cells.map(c => {
  const e = c.output_area.element[0], all = s => Array.from(e.querySelectorAll(s));
  return {rows: all('table.kexio-matrix tr').length, plots: all('.output_svg svg').length,
    images: all('img').map(i => [i.complete, i.naturalWidth, i.naturalHeight]),
    audio: all('audio').map(a => [a.readyState, a.duration]),
    errors: all('.output_error').length, red: all('.output_error span[class*="ansi-red"]').length};
});
const done = !Jupyter.notebook.kernel_busy && cells.every(c => typeof c.input_prompt_number ===
  'number') && page.every(p => p.images.every(i => i[0]) && p.audio.every(a => a[0] >= 1));
return done ? page : null;"""


class Browser(unittest.TestCase):
    def setUp(self):
        self.folder = self.enterContext(tempfile.TemporaryDirectory(ignore_cleanup_errors=True))
        examples = shutil.copytree(os.environ["KEXIO_EXAMPLES"], self.folder + "/examples")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        self.token, self.url = secrets.token_hex(16), "http://127.0.0.1:%d" % port
        self.server = subprocess.Popen(
            ["jupyter-notebook", "--no-browser", "--allow-root", "--ip=127.0.0.1",
             "--port=%d" % port, "--port-retries=0", "--NotebookApp.token=" + self.token,
             "--notebook-dir=" + examples],
            env=dict(os.environ, HOME=self.folder, JUPYTER_CONFIG_DIR=self.folder + "/config",
                     JUPYTER_RUNTIME_DIR=self.folder + "/runtime"),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self.server.wait, timeout=30)
        self.addCleanup(self.server.terminate)
        # OSError: the server does not answer yet.
        WebDriverWait(None, 120, 0.25, (OSError,)).until(
            lambda _: self.server.poll() is None and urllib.request.urlopen(
                "%s/api/status?token=%s" % (self.url, self.token)), "the notebook server")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                    "--window-size=1200,1000"):
            options.add_argument(arg)
        self.driver = webdriver.Chrome(service=Service(DRIVER), options=options)
        self.addCleanup(self.driver.quit)

    def test_the_tour_shows_a_table_a_photo_a_plot_and_a_player(self):
        d = self.driver
        d.get("%s/notebooks/tour.ipynb?token=%s" % (self.url, self.token))
        wait = WebDriverWait(d, 120, 0.25)
        wait.until(lambda d: d.execute_script(
            "return typeof Jupyter !== 'undefined' && Jupyter.notebook.kernel !== null && "
            "Jupyter.notebook.kernel.is_connected()"), "the kernel")
        d.execute_script("Jupyter.notebook.execute_all_cells()")
        time.sleep(1)
        page = wait.until(lambda d: d.execute_script(PAGE), "every cell to run")
        height = d.execute_script("return document.getElementById('notebook').scrollHeight")
        d.set_window_size(1200, min(height + 200, 16000))
        d.save_screenshot(os.path.join(os.environ["KEXIO_BUILD"], "notebook-tour.png"))

        prn, photo, sound, errors = page[1], page[2], page[5], page[9]
        self.assertEqual((prn["rows"], prn["plots"]), (5, 1))  # a header and 4 rows
        self.assertEqual(photo["images"], [[True, 288, 192]])
        self.assertEqual((sound["rows"], sound["plots"], len(sound["audio"])), (5, 2, 1))
        self.assertAlmostEqual(sound["audio"][0][1], 1.0, places=2)  # one second
        self.assertEqual(errors["errors"], 3)
        self.assertGreater(errors["red"], 0)


if __name__ == "__main__":
    unittest.main()
