"""The dynamic symbols a shared library defines, as `nm -D` lists them: read
by the generators of our libraries' exported interfaces (cudart/ and cublas/
gen_exports.py), which take the toolkit library's names as theirs."""
import subprocess
import sys


def _defined(library):
    out = subprocess.run(["nm", "-D", "--defined-only", library], check=True,
                         capture_output=True, text=True).stdout
    for line in out.splitlines():
        fields = line.split()
        if len(fields) == 3:
            yield fields[1], fields[2]


def defined_functions(library):
    """Every defined function name, sorted, without its version suffix. Stops
    the generator on a defined symbol that is not a function."""
    names = set()
    for kind, symbol in _defined(library):
        name = symbol.split("@")[0]
        if kind == "A":  # the version node's own symbol, made by the linker
            continue
        if kind not in ("T", "W"):
            sys.exit(f"{name}: symbol kind {kind} is not a function; extend the generator")
        names.add(name)
    return sorted(names)


def version_nodes(library):
    """The version nodes the library defines."""
    return {symbol for kind, symbol in _defined(library) if kind == "A"}
