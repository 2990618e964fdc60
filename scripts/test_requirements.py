"""Prints the `test` extra of pyproject.toml, one requirement a line, for
./dev to install. Runs on any CPython 3.10 or later: where tomllib is missing
(3.10), the list is read as the Python literal it also is."""
import ast
import pathlib
import re
import sys

text = (pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml").read_text()
try:
    import tomllib

    requirements = tomllib.loads(text)["project"]["optional-dependencies"]["test"]
except ModuleNotFoundError:
    match = re.search(r"^test = (\[.*?^\])", text, re.MULTILINE | re.DOTALL)
    if match is None:
        sys.exit("pyproject.toml has no test extra")
    requirements = ast.literal_eval(match.group(1))
print("\n".join(requirements))
