"""Sphinx extension: segmora's API reference from segmora.pyi and the built module.

segmora is an extension module, so its runtime docstrings carry no types. The
stub is the source of truth for signatures and types, and its docstrings begin
with the runtime text (the test suite holds them together). This extension
reads the stub with `ast` and writes the reference entries itself:

    .. segmora-api::

       kmeans_py
       PyKMeansResult

documents those names of the stub (classes with their methods and properties,
inherited stub members included), and `:module: segmora_dask` documents names of
a pure Python module from its own signatures and docstrings. `.. segmora-types::`
lists the stub's type aliases. Docstrings are plain text for help(); they are
turned into reST here: `code` becomes a literal, "name: text" lines become a
list, ">>>" blocks stay doctest blocks (run by the doctest builder) and every
other character that reST would read as markup is escaped.

When the build ends, every public name of the imported modules must have been
documented exactly once, and every documented name must exist at runtime;
anything else is a warning (an error under -W).
"""

from __future__ import annotations

import ast
import importlib
import inspect
import os
import re

from docutils import nodes
from docutils.parsers.rst import directives
from docutils.statemachine import StringList
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

logger = logging.getLogger(__name__)

# ---- plain-text docstrings to reST ----

# A line that starts an argument entry: "name: text" or "a, b: text".
_ENTRY = re.compile(r"^([A-Za-z_][\w.]*(?:, [A-Za-z_][\w.]*)*): (\S.*)$")
# Openings reST reads as a list, an enumeration, a field, an option or a directive.
_RISKY_START = re.compile(r"^(?:[-+*#:|.>\\(\d•]|[A-Za-z]{1,3}[.)] )")


def _inline(text: str) -> str:
    """One paragraph of plain text as reST inline text."""
    out = []
    for i, part in enumerate(re.split(r"(`[^`\n]+`)", text)):
        if i % 2:  # `code` -> ``code``, kept apart from adjoining word characters
            before = "\\ " if out and re.search(r"\w$", out[-1]) else ""
            out.append(f"{before}``{part[1:-1]}``")
            continue
        escaped = re.sub(r"([\\*_|`])", r"\\\1", part)
        if out and out[-1].endswith("``") and re.match(r"\w", escaped):
            escaped = "\\ " + escaped
        out.append(escaped)
    text = "".join(out)
    if text.endswith("::"):
        text = text[:-1] + "\\:"
    if _RISKY_START.match(text):
        text = "\\" + text
    return text


def _blocks(doc: str):
    block: list[str] = []
    for line in doc.splitlines():
        if line.strip():
            block.append(line.rstrip())
        elif block:
            yield block
            block = []
    if block:
        yield block


def docstring_to_rest(doc: str) -> list[str]:
    out: list[str] = []
    for block in _blocks(inspect.cleandoc(doc)):
        if block[0].startswith(">>>"):
            out += block  # a doctest block: the doctest builder runs it
        elif all(line[:1].isspace() for line in block):
            out += ["::", ""] + [f"    {line}" for line in block]
        elif _ENTRY.match(block[0]):
            items: list[list[str]] = []
            for line in block:
                match = _ENTRY.match(line)
                if match:
                    items.append([match.group(1), match.group(2)])
                else:
                    items[-1][1] += " " + line.strip()
            for names, text in items:
                literal = ", ".join(f"``{n}``" for n in names.split(", "))
                out.append(f"* {literal}: {_inline(text)}")
        else:
            out.append(_inline(" ".join(line.strip() for line in block)))
        out.append("")
    return out


# ---- the stub ----


class Stub:
    """segmora.pyi: its top-level classes, functions and type aliases."""

    def __init__(self, path: str):
        with open(path, encoding="utf-8") as f:
            source = f.read()
        lines = source.splitlines()
        self.nodes: dict[str, ast.AST] = {}  # the first definition of each name
        self.overloads: dict[str, list[ast.FunctionDef]] = {}  # every definition of a function
        self.aliases: dict[str, tuple[str, str]] = {}  # name -> (definition, comment)
        self.data: dict[str, str] = {}  # module attributes: name -> annotation
        for node in ast.parse(source).body:
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                self.nodes.setdefault(node.name, node)
                if isinstance(node, ast.FunctionDef):
                    self.overloads.setdefault(node.name, []).append(node)
            elif isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name):
                comment = lines[node.end_lineno - 1].partition("  # ")[2].strip()
                self.aliases[node.targets[0].id] = (ast.unparse(node.value), comment)
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                self.data[node.target.id] = ast.unparse(node.annotation)

    @staticmethod
    def shown(annotation: str) -> str:
        """An annotation as shown: alias names lose their underscore (_Rows -> Rows)."""
        return re.sub(r"\b_([A-Z]\w*)", r"\1", annotation)

    def annotation(self, node: ast.AST | None) -> str:
        if node is None:
            return ""
        if isinstance(node, ast.Constant) and isinstance(node.value, str):
            return self.shown(node.value)
        return self.shown(ast.unparse(node))

    def signature(self, fn: ast.FunctionDef, drop_first: bool) -> str:
        a = fn.args
        positional = a.posonlyargs + a.args
        defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
        params = []
        for i, (arg, default) in enumerate(zip(positional, defaults)):
            if drop_first and i == 0:
                continue
            params.append(self._param(arg, default))
            if a.posonlyargs and arg is a.posonlyargs[-1]:
                params.append("/")
        if a.vararg:
            params.append("*" + self._param(a.vararg, None))
        elif a.kwonlyargs:
            params.append("*")
        params += [self._param(arg, d) for arg, d in zip(a.kwonlyargs, a.kw_defaults)]
        if a.kwarg:
            params.append("**" + self._param(a.kwarg, None))
        returns = self.annotation(fn.returns)
        return f"({', '.join(params)})" + (f" -> {returns}" if returns else "")

    def _param(self, arg: ast.arg, default: ast.AST | None) -> str:
        text = arg.arg + (f": {self.annotation(arg.annotation)}" if arg.annotation else "")
        if default is not None:
            text += (" = " if arg.annotation else "=") + ast.unparse(default)
        return text

    def constructor(self, cls: ast.ClassDef) -> ast.FunctionDef | None:
        """__new__ or __init__ of the class, or of the first stub base class that has one."""
        for member in cls.body:
            if isinstance(member, ast.FunctionDef) and member.name in ("__new__", "__init__"):
                return member
        for base in cls.bases:
            parent = self.nodes.get(getattr(base, "id", ""))
            if isinstance(parent, ast.ClassDef) and (found := self.constructor(parent)):
                return found
        return None

    def attributes(self, cls: ast.ClassDef) -> dict[str, str]:
        """Annotated public attributes of the class and its stub base classes: name -> type."""
        found: dict[str, str] = {}
        for base in cls.bases:
            parent = self.nodes.get(getattr(base, "id", ""))
            if isinstance(parent, ast.ClassDef):
                found.update(self.attributes(parent))
        for member in cls.body:
            if isinstance(member, ast.AnnAssign) and isinstance(member.target, ast.Name):
                found[member.target.id] = self.annotation(member.annotation)
        return {name: kind for name, kind in found.items() if not name.startswith("_")}

    def members(self, cls: ast.ClassDef) -> list[ast.FunctionDef]:
        """The class's public methods and properties, then those it inherits from stub classes."""
        own = [m for m in cls.body if isinstance(m, ast.FunctionDef)]
        names = {m.name for m in own}
        for base in cls.bases:
            parent = self.nodes.get(getattr(base, "id", ""))
            if isinstance(parent, ast.ClassDef):
                inherited = [m for m in self.members(parent) if m.name not in names]
                own += inherited
                names |= {m.name for m in inherited}
        return [m for m in own if not m.name.startswith("_")]


def _decorators(fn: ast.FunctionDef) -> set[str]:
    return {ast.unparse(d) for d in fn.decorator_list}


def _indented(lines: list[str], by: str = "   ") -> list[str]:
    return [by + line if line else "" for line in lines]


def _doc(node: ast.AST) -> list[str]:
    doc = ast.get_docstring(node) or ""
    # A Python class or method may open its docstring with its own signature, as
    # help() shows builtins; the entry's heading shows it already.
    first, _, rest = doc.partition("\n\n")
    if re.fullmatch(rf"{re.escape(node.name)}\(.*\)", first.strip()):
        doc = rest
    return docstring_to_rest(doc) if doc else []


def stub_entry(stub: Stub, name: str) -> list[str]:
    if name == "info":
        info = stub.nodes[stub.data["info"]]
        lines = [".. py:data:: info", "   :type: module", ""] + _indented(_doc(info))
        for attr in info.body:
            if isinstance(attr, ast.AnnAssign):
                lines += _indented([f".. py:attribute:: {attr.target.id}", f"   :type: {ast.unparse(attr.annotation)}", ""])
        return lines
    node = stub.nodes[name]
    if isinstance(node, ast.FunctionDef):  # one signature line per @overload
        signatures = [f"{name}{stub.signature(n, drop_first=False)}" for n in stub.overloads[name]]
        head = [f".. py:function:: {signatures[0]}"] + [" " * 17 + s for s in signatures[1:]]
        return head + [""] + _indented(_doc(node))
    constructor = stub.constructor(node)
    params = stub.signature(constructor, drop_first=True).split(" -> ")[0] if constructor else ""
    lines = [f".. py:class:: {name}{params}"]
    if "final" in {ast.unparse(d) for d in node.decorator_list}:
        lines.append("   :final:")
    lines += [""] + _indented(_doc(node))
    for attribute, kind in stub.attributes(node).items():
        lines += _indented([f".. py:attribute:: {attribute}", f"   :type: {kind}", ""])
    for member in stub.members(node):
        kinds = _decorators(member)
        if "property" in kinds:
            head = [f".. py:property:: {member.name}", f"   :type: {stub.annotation(member.returns)}"]
        else:
            static = "staticmethod" in kinds
            directive = "py:staticmethod" if static else "py:method"
            head = [f".. {directive}:: {member.name}{stub.signature(member, drop_first=not static)}"]
        lines += _indented(head + [""] + _indented(_doc(member)))
    return lines


def module_entry(module, name: str) -> list[str]:
    """An entry of a pure Python module, from its signatures and docstrings."""
    obj = getattr(module, name)
    if not callable(obj):  # a module constant
        return [f".. py:data:: {name}", f"   :value: {obj!r}", ""]
    doc = docstring_to_rest(inspect.getdoc(obj) or "")
    if not inspect.isclass(obj):
        return [f".. py:function:: {name}{inspect.signature(obj)}", ""] + _indented(doc)
    lines = [f".. py:class:: {name}{str(inspect.signature(obj)).split(' -> ')[0]}", ""] + _indented(doc)
    for member, value in vars(obj).items():
        if member.startswith("_") or not (inspect.isfunction(value) or isinstance(value, property)):
            continue
        member_doc = docstring_to_rest(inspect.getdoc(value) or "")
        if isinstance(value, property):
            head = [f".. py:property:: {member}"]
        else:
            head = [f".. py:method:: {member}{str(inspect.signature(value)).replace('(self, ', '(').replace('(self)', '()')}"]
        lines += _indented(head + [""] + _indented(member_doc))
    return lines


# ---- directives ----


def _state(env):
    if not hasattr(env, "segmora_documented"):
        env.segmora_documented = {}  # (module, name) -> docname
    return env.segmora_documented


class ApiDirective(SphinxDirective):
    """Reference entries for the names listed in the content, one per line."""

    has_content = True
    option_spec = {"module": directives.unchanged}

    def run(self):
        module_name = self.options.get("module", "segmora")
        module = importlib.import_module(module_name)
        stub = self.env.app.segmora_stub
        documented = _state(self.env)
        lines = [f".. py:currentmodule:: {module_name}", ""]
        for name in (line.strip() for line in self.content if line.strip()):
            key = (module_name, name)
            if key in documented:
                logger.warning("%s.%s is documented twice (%s and %s)", module_name, name, documented[key],
                               self.env.docname, location=self.get_location())
            documented[key] = self.env.docname
            if not hasattr(module, name):
                logger.warning("%s.%s is documented but the module has no such name", module_name, name,
                               location=self.get_location())
                continue
            if module_name == "segmora":
                if name not in stub.nodes and name != "info":
                    logger.warning("segmora.pyi has no entry for %s", name, location=self.get_location())
                    continue
                lines += stub_entry(stub, name)
            else:
                lines += module_entry(module, name)
            lines.append("")
        container = nodes.container()
        nested_parse_with_titles(self.state, StringList(lines, source=self.env.docname), container)
        return container.children


class TypesDirective(SphinxDirective):
    """The stub's type aliases, as they appear in signatures."""

    def run(self):
        stub = self.env.app.segmora_stub
        lines = []
        for alias, (definition, comment) in stub.aliases.items():
            lines += [f"``{Stub.shown(alias)}``", f"   {_inline(comment) if comment else ''}",
                      f"   (``{Stub.shown(definition)}``)", ""]
        container = nodes.container()
        nested_parse_with_titles(self.state, StringList(lines, source=self.env.docname), container)
        return container.children


# ---- setup and the coverage check ----


def _public(module_name: str) -> set[str]:
    module = importlib.import_module(module_name)
    names = getattr(module, "__all__", None)
    if names is None:
        names = [n for n in vars(module) if not n.startswith("_")]
    return set(names)


def _load_stub(app):
    path = app.config.segmora_stub or os.path.join(os.path.dirname(importlib.import_module("segmora").__file__),
                                                    "segmora.pyi")
    app.segmora_stub = Stub(os.path.join(app.confdir, path))


def _merge(app, env, docnames, other):
    _state(env).update(_state(other))


def _purge(app, env, docname):
    state = _state(env)
    for key in [k for k, v in state.items() if v == docname]:
        del state[key]


def _check_coverage(app, env):
    documented = _state(env)
    for module_name in app.config.segmora_modules:
        module = importlib.import_module(module_name)
        for name in sorted(_public(module_name) - {n for m, n in documented if m == module_name}):
            # A name another documented module defines (re-exported) is documented there.
            home = getattr(getattr(module, name), "__module__", module_name)
            if home != module_name and (home, name) in documented:
                continue
            logger.warning("%s.%s is not documented on any page", module_name, name)


def setup(app):
    app.add_config_value("segmora_stub", "", "env")
    app.add_config_value("segmora_modules", ["segmora"], "env")
    app.add_directive("segmora-api", ApiDirective)
    app.add_directive("segmora-types", TypesDirective)
    app.connect("builder-inited", _load_stub)
    app.connect("env-purge-doc", _purge)
    app.connect("env-merge-info", _merge)
    app.connect("env-check-consistency", _check_coverage)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
