"""Every python code block of the README and the guide runs as written."""

import contextlib
import io
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = [ROOT / "README.md", ROOT / "docs" / "guide.md"]


def code_blocks():
    for doc in DOCS:
        text = doc.read_text()
        for match in re.finditer(r"^```python\n(.*?)^```", text, re.S | re.M):
            line = text.count("\n", 0, match.start()) + 2
            yield pytest.param(doc, line, match.group(1), id=f"{doc.name}:{line}")


@pytest.mark.parametrize("doc, line, code", list(code_blocks()))
def test_code_block_runs(doc, line, code):
    # Line numbers in a failure's traceback point into the document itself.
    source = "\n" * (line - 1) + code
    with contextlib.redirect_stdout(io.StringIO()):
        exec(compile(source, str(doc), "exec"), {"__name__": "__doc_example__"})
