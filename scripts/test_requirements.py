"""Prints the `test` extra of pyproject.toml, one requirement a line, for
./dev to install; with package names as arguments, only the requirements of
the extra for those packages (a name that the extra lacks is an error). Runs
on any CPython 3.10 or later: where tomllib is missing (3.10), the list is
read as the Python literal it also is."""
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

wanted = sys.argv[1:]
if wanted:
    # A requirement's project name: what comes before its extras or versions.
    by_name = {re.match(r"[A-Za-z0-9._-]+", r).group().lower(): r for r in requirements}
    missing = [name for name in wanted if name.lower() not in by_name]
    if missing:
        sys.exit(f"not in the test extra of pyproject.toml: {' '.join(missing)}")
    requirements = [by_name[name.lower()] for name in wanted]
print("\n".join(requirements))
