"""The guide's examples run as written: every python block of README.md, in order, in one
namespace. Blocks written as sessions (`>>>`) also have their output compared."""

import doctest
import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.DOTALL | re.MULTILINE)


def blocks() -> list[tuple[int, str]]:
    """(line number of the block's first line, code) for each python block."""
    text = README.read_text()
    return [(text.count("\n", 0, m.start(1)) + 1, m.group(1)) for m in BLOCK.finditer(text)]


def test_readme_examples_run_as_written():
    found = blocks()
    assert len(found) >= 10
    namespace: dict[str, object] = {"__name__": "readme"}
    for line, code in found:
        where = f"README.md, block at line {line}"
        if ">>>" not in code:
            exec(compile(code, where, "exec"), namespace)
            continue
        test = doctest.DocTestParser().get_doctest(code, {}, where, str(README), line - 1)
        test.globs = namespace  # shared with the blocks before and after, not a copy
        report: list[str] = []
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        result = runner.run(test, out=report.append, clear_globs=False)
        assert result.failed == 0, "".join(report)
