"""The kexio kernel: an ipykernel wrapper kernel whose cells are worksheet
statements run one after another by a kexio.Worksheet."""
import re
import signal

from ipykernel.kernelbase import Kernel

import kexio

from . import mime

_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_CALLED = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)\s*$")


class KexioKernel(Kernel):
    implementation = "kexio"
    implementation_version = "1"
    language = "kexio"
    language_version = "1"
    language_info = {
        "name": "kexio",
        "mimetype": "text/x-kexio",
        "file_extension": ".kx",
        "pygments_lexer": "text",
    }
    banner = ("kexio: the worksheet language of the kexio file library; "
              "READPRN(\"data.prn\") reads a table, Shift-Tab on a function "
              "shows its forms.")

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.worksheet = kexio.Worksheet()

    # -- execute -----------------------------------------------------------

    def do_execute(self, code, silent, store_history=True, user_expressions=None,
                   allow_stdin=False):
        """Runs the cell's statements in turn; evaluation goes on after an
        error, as in a worksheet. An interrupt lets the statement that runs
        finish (a call is never cut off half-way) and stops the rest."""
        interrupted = []
        previous = signal.signal(signal.SIGINT, lambda *_: interrupted.append(True))
        first_error = stopped = None
        try:
            statements = self.worksheet.parse(code, "In[%d]" % self.execution_count)
            for done, statement in enumerate(statements):
                if interrupted:
                    stopped = self._interrupted(len(statements) - done, silent)
                    break
                result = self.worksheet.run(statement)
                if result.kind == "error" and first_error is None:
                    first_error = result
                if not silent:
                    self._show(result)
        finally:
            signal.signal(signal.SIGINT, previous)
        if stopped:
            return self._error_reply("Interrupted", stopped, [])
        if first_error is not None:
            return self._error_reply("error", first_error.message,
                                     first_error.color_text.splitlines())
        return {"status": "ok", "execution_count": self.execution_count, "payload": [],
                "user_expressions": {}}

    def _error_reply(self, name, value, traceback):
        return {"status": "error", "execution_count": self.execution_count,
                "ename": name, "evalue": value, "traceback": traceback}

    def _show(self, result):
        for data, metadata in mime.display_bundles(result):
            self.send_response(self.iopub_socket, "display_data",
                               {"data": data, "metadata": metadata})
        if result.kind == "value" and not result.shows_itself:
            self.send_response(self.iopub_socket, "execute_result",
                               {"execution_count": self.execution_count,
                                "data": mime.value_bundle(result), "metadata": {}})
        elif result.kind == "error":
            self.send_response(self.iopub_socket, "error", {
                "ename": "error", "evalue": result.message,
                "traceback": result.color_text.rstrip("\n").split("\n")})

    def _interrupted(self, left, silent):
        """Says how many statements an interrupt left out; gives that text."""
        said = "interrupted: %d statement%s of the cell not run" % (left, "" if left == 1 else "s")
        if not silent:
            self.send_response(self.iopub_socket, "error", {
                "ename": "Interrupted", "evalue": said,
                "traceback": ["\033[1;31m%s\033[0m" % said]})
        return said

    # -- what the editor asks ---------------------------------------------

    def do_complete(self, code, cursor_pos):
        line_start = code.rfind("\n", 0, cursor_pos) + 1
        start, matches = self.worksheet.complete(code[line_start:cursor_pos])
        return {"status": "ok", "matches": matches, "cursor_start": line_start + start,
                "cursor_end": cursor_pos, "metadata": {}}

    def do_inspect(self, code, cursor_pos, detail_level=0, omit_sections=()):
        """Shift-Tab: the forms and help line of the function named at the
        cursor or called around it, or a variable's value."""
        name = self._name_at(code, cursor_pos)
        data = {}
        if name is not None and name in self.worksheet.names():
            result = self.worksheet.execute(name)[0]
            if result.kind == "value":
                data = {"text/plain": "%s: %s" % (name, result.text)}
        elif name is not None:
            text = kexio.Worksheet.help(name)
            if not text.startswith("no function named"):
                data = {"text/plain": text}
        return {"status": "ok", "found": bool(data), "data": data, "metadata": {}}

    @staticmethod
    def _name_at(code, cursor_pos):
        """The name the cursor is in or at the end of; else the function
        whose '(' is open before the cursor."""
        for match in _NAME.finditer(code):
            if match.start() <= cursor_pos <= match.end():
                return match.group()
        depth = 0
        for i in range(min(cursor_pos, len(code)) - 1, -1, -1):
            if code[i] in ")]":
                depth += 1
            elif code[i] in "([":
                if depth == 0:
                    before = _CALLED.search(code, 0, i)
                    return before.group(1) if code[i] == "(" and before else None
                depth -= 1
        return None

    def do_is_complete(self, code):
        if kexio.Worksheet.needs_more(code):
            return {"status": "incomplete", "indent": ""}
        return {"status": "complete"}

    def do_shutdown(self, restart):
        return {"status": "ok", "restart": restart}
