"""The README's Python example runs as written."""
import os
import re
from pathlib import Path


def test_the_readme_example_runs(tmp_path, monkeypatch):
    readme = Path(os.environ.get("TARVIK_README",
                                 Path(__file__).resolve().parents[2] / "README.md"))
    examples = [block for block in re.findall(r"```python\n(.*?)```", readme.read_text(), re.S)
                if "import tarvik" in block]
    assert examples, "the README has no example that imports tarvik"
    monkeypatch.chdir(tmp_path)
    for example in examples:
        exec(compile(example, str(readme), "exec"), {"__name__": "__readme__"})
