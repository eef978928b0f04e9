
class Statement:
    """A statement of worksheet text, as parsed."""
    @property
    def line(self) -> int: ...
    @property
    def text(self) -> str: ...

class Result:
    """What a statement gave: kind is 'value', 'error' or 'nothing' (an assignment)."""
    kind: str
    value: Any
    text: str
    color_text: str
    shows_itself: bool
    displays: list[tuple[Any, ...]]
    statement: Statement
    message: str | None
    argument: int | None
    detail: str | None
    hint: str | None
    note: str | None
    line: int | None
    marker: tuple[int, int, int] | None
    def cells(self, rows: int = 100, cols: int = 20) -> list[list[str]]: ...

class Worksheet:
    """A worksheet session: statements of the worksheet language whose variables last."""
    cwd: str
    def __init__(self, cwd: str | os.PathLike[str] | bytes | None = None) -> None: ...
    def parse(self, text: str, name: str = "<cell>", first_line: int = 1) -> list[Statement]: ...
    def run(self, statement: Statement) -> Result: ...
    def execute(self, text: str, name: str = "<cell>", first_line: int = 1) -> list[Result]: ...
    def complete(self, before: str) -> tuple[int, list[str]]: ...
    def names(self) -> list[str]: ...
    @staticmethod
    def needs_more(text: str) -> bool: ...
    @staticmethod
    def help(name: str) -> str: ...
