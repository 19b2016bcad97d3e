"""Importing corvane leaves every other pybind11 module as it was: a small
independent module, built here, behaves the same with corvane imported before
it, after it, or not at all."""

import os
import shutil
import subprocess
import sysconfig

import pytest
from conftest import assert_child_ok

SOURCE = r"""
#include <pybind11/pybind11.h>
#include <string>
namespace py = pybind11;
struct Point { int x = 0, y = 0; };
struct Plain {};
PYBIND11_MODULE(foreign, m) {
    py::class_<Point>(m, "Point")
        .def(py::init<>())
        .def(py::init<int, int>(), py::arg("x"), py::arg("y") = 0)
        .def(py::init([](const std::string &s) { return Point{int(s.size()), 1}; }))
        .def_readwrite("x", &Point::x)
        .def_readwrite("y", &Point::y)
        .def("norm1", [](const Point &p) { return p.x + p.y; });
    py::class_<Plain>(m, "Plain");
}
"""

# Each probe runs in a forked child, so one that aborts is recorded, not fatal.
PROBES = r"""
import copy, os, pickle, sys
sys.path.insert(0, {folder!r})
for name in {imports!r}:
    __import__(name)
import foreign
P = foreign.Point
class Sub(P):
    pass
class NoInit(P):
    def __init__(self):
        pass
base = P.__mro__[1]
probes = {{
    "default": lambda: (P().x, P().y),
    "positional": lambda: vars(type(P(3, 4))) and P(3, 4).norm1(),
    "keywords": lambda: (P(x=1).norm1(), P(y=2, x=5).norm1()),
    "factory": lambda: (P("abc").x, P("abc").y),
    "wrong arguments": lambda: P(1.5),
    "too many": lambda: P(1, 2, 3),
    "subclass": lambda: (Sub(1, 2).norm1(), type(Sub(1, 2)).__name__),
    "subclass without init": lambda: NoInit(),
    "new without init": lambda: type(P.__new__(P)).__name__,
    "new of subclass": lambda: type(P.__new__(Sub)).__name__,
    "object new": lambda: object.__new__(P),
    "no constructor": lambda: foreign.Plain(),
    "new owner": lambda: P.__new__.__self__.__name__,
    "base call": lambda: base(),
    "base call with instance": lambda: base(P()),
    "copy": lambda: copy.copy(P(1, 2)),
    "deepcopy": lambda: copy.deepcopy(P(1, 2)),
    "slots": lambda: (P.__new__ is Sub.__new__, P.__init__ is Sub.__init__, sorted(vars(P))),
    "flags": lambda: (P.__flags__, base.__flags__, Sub.__flags__),
}}
for p in range(pickle.HIGHEST_PROTOCOL + 1):
    probes[f"pickle {{p}}"] = lambda p=p: pickle.dumps(P(1, 2), p)
for p in range(3):
    probes[f"reduce_ex {{p}}"] = lambda p=p: P(1, 2).__reduce_ex__(p)

def outcome(probe):
    try:
        result = probe()
    except BaseException as e:
        return f"{{type(e).__name__}}: {{e}}"
    return repr(result) if isinstance(result, (int, str, tuple, list, bool)) else type(result).__name__

for name, probe in probes.items():
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        os.write(write, outcome(probe).encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as f:
        text = f.read()
    _, status = os.waitpid(pid, 0)
    print(f"{{name}}: {{text if os.WIFEXITED(status) else 'killed by signal %d' % os.WTERMSIG(status)}}")
"""


@pytest.fixture(scope="module")
def foreign(tmp_path_factory):
    pybind11 = pytest.importorskip("pybind11")
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler for the foreign module")
    folder = tmp_path_factory.mktemp("foreign")
    (folder / "foreign.cpp").write_text(SOURCE)
    target = folder / ("foreign" + sysconfig.get_config_var("EXT_SUFFIX"))
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # the compiler needs no sanitizer
    subprocess.run([compiler, "-O0", "-std=c++20", "-shared", "-fPIC", f"-I{pybind11.get_include()}",
                    f"-I{sysconfig.get_paths()['include']}", str(folder / "foreign.cpp"), "-o", str(target)],
                   check=True, env=env, timeout=300)
    return str(folder)


def probe(folder, imports):
    return assert_child_ok(PROBES.format(folder=folder, imports=imports))


def test_the_modules_share_pybind11s_base_class(foreign):
    assert_child_ok(
        f"""
        import sys
        sys.path.insert(0, {foreign!r})
        import corvane, foreign
        assert foreign.Point.__mro__[1] is corvane.Corvane.__mro__[1], "no shared base: nothing to compare"
        """
    )


def test_another_module_behaves_the_same_with_or_without_corvane(foreign):
    alone = probe(foreign, [])
    assert "default: (0, 0)" in alone and "keywords: (1, 7)" in alone
    assert probe(foreign, ["corvane"]) == alone  # corvane first
    after = PROBES.replace("import foreign\n", "import foreign\nimport corvane\n", 1)
    assert assert_child_ok(after.format(folder=foreign, imports=[])) == alone


@pytest.mark.parametrize(
    "subclasses",
    ["return ('not', 'a list')", "return [1, 'x', None]", "raise RuntimeError('no')"],
)
def test_import_ignores_other_classes_odd_subclass_lists(foreign, subclasses):
    assert_child_ok(
        f"""
        import sys
        sys.path.insert(0, {foreign!r})
        import foreign
        class Meta(type(foreign.Point)):
            def __subclasses__(cls):
                {subclasses}
        Odd = Meta("Odd", (foreign.Point,), {{}})
        import corvane
        assert len(corvane.Corvane({{"k": ["t"]}})) == 1 and Odd(1, 2).norm1() == 3
        """
    )
