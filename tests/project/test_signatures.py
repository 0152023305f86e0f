"""Each signature is written once, in the line that opens the C method's
docstring; inspect reads it from there. What each call accepts, the stub,
the package's wrappers and the tables of the API pages (docs/) are checked
against it for every method the types have, so that a new method cannot go
unchecked."""

import ast
import builtins
import functools
import inspect
import pydoc
import re
import types

import pytest

import _kvstore
import kvstore
import support

from support.paths import ROOT
STUB = ast.parse((ROOT / "_kvstore.pyi").read_text())
# The API pages, and every page and the README for signatures in the text.
API_MODULE = "\n" + (ROOT / "docs" / "api-module.md").read_text()
API_PACKAGE = "\n" + (ROOT / "docs" / "api-kvstore.md").read_text()
ALL_PAGES = "\n".join(path.read_text() for path in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))])
DATABASE_TYPE = support.database_type()

# A parameter that may be left out but has no default value, as pop's
# default, reads "default=<unrepresentable>" in the C signature line, as in
# dict.pop: help() shows the line as written, inspect refuses it rather than
# give a value that is none. The stub leaves it out in one of its overloads,
# and the pages write it "[, default]". Here it is a parameter whose default
# is OMITTED, which prints as the C line writes it.
class Omitted:
    def __repr__(self):
        return "<unrepresentable>"


OMITTED = Omitted()


def instance_methods(cls):
    """What the type's objects answer to, defined by the type itself: its
    methods and slots, without the construction hooks."""
    return {
        name: value
        for name, value in vars(cls).items()
        if isinstance(value, (types.MethodDescriptorType, types.WrapperDescriptorType))
    }


def public(namespace):
    return {name: value for name, value in namespace.items() if not name.startswith("_")}


MODULE_FUNCTIONS = {
    name: value for name, value in public(vars(_kvstore)).items()
    if isinstance(value, types.BuiltinFunctionType)
}

# __enter__ and __exit__ have no docstring: __exit__, which takes any
# arguments, has therefore no signature line, and the interpreter makes none.
UNSIGNED = {("gdbm", "__exit__")}

# (where the stub declares it: None for a module function, else its class
# name; name; the callable).
C_CALLABLES = [
    case for case in [
        *((None, name, function) for name, function in MODULE_FUNCTIONS.items()),
        *(("gdbm", name, method) for name, method in instance_methods(DATABASE_TYPE).items()),
        *(("_Mapping", name, method) for name, method in instance_methods(_kvstore._Mapping).items()),
    ]
    if case[:2] not in UNSIGNED
]
C_CASES = [pytest.param(*case, id=case[1] if case[0] is None else f"{case[0]}.{case[1]}") for case in C_CALLABLES]

DATABASE_METHODS = {
    name: getattr(kvstore.Database, name) for name in dir(kvstore.Database)
    if not name.startswith("_") and callable(getattr(kvstore.Database, name))
}
PACKAGE_FUNCTIONS = {
    name: getattr(kvstore, name) for name in kvstore.__all__
    if isinstance(getattr(kvstore, name), types.FunctionType)
}


def signature(function):
    """inspect's signature of function or, for a C callable with an OMITTED
    parameter, the one that its signature line declares."""
    try:
        return inspect.signature(function)
    except ValueError:
        text = getattr(function, "__text_signature__", None)
        if text is None or repr(OMITTED) not in text:
            raise
        source = text.replace("$", "").replace(repr(OMITTED), "...")
        return declared(ast.parse(f"def f{source}: pass").body[0].args, method=False)


def signature_of(function, method):
    """function's signature without annotations, and without self for a method."""
    parameters = [parameter.replace(annotation=parameter.empty)
                  for parameter in signature(function).parameters.values()]
    return inspect.Signature(parameters[1:] if method else parameters)


def declared(arguments, method):
    """The signature that an ast parameter list declares; a default written
    "..." is OMITTED."""
    kind = inspect.Parameter

    def value(node):
        if node is None:
            return kind.empty
        given = ast.literal_eval(node)
        return OMITTED if given is ... else given

    positional = [(argument, kind.POSITIONAL_ONLY) for argument in arguments.posonlyargs]
    positional += [(argument, kind.POSITIONAL_OR_KEYWORD) for argument in arguments.args]
    defaults = [None] * (len(positional) - len(arguments.defaults)) + arguments.defaults
    parameters = [kind(argument.arg, how, default=value(default))
                  for (argument, how), default in zip(positional, defaults)]
    if arguments.vararg:
        parameters.append(kind(arguments.vararg.arg, kind.VAR_POSITIONAL))
    parameters += [kind(argument.arg, kind.KEYWORD_ONLY, default=value(default))
                   for argument, default in zip(arguments.kwonlyargs, arguments.kw_defaults)]
    if arguments.kwarg:
        parameters.append(kind(arguments.kwarg.arg, kind.VAR_KEYWORD))
    return inspect.Signature(parameters[1:] if method else parameters)


def merged(overloads):
    """One signature for a function's overloads: a parameter that some of
    them leave out is optional, with the default one of them gives, or with
    none (OMITTED)."""
    found = {}
    for signature in overloads:
        for parameter in signature.parameters.values():
            found.setdefault(parameter.name, []).append(parameter)
    parameters = []
    for name, shapes in found.items():
        assert len({shape.kind for shape in shapes}) == 1, f"{name} changes kind between overloads"
        given = {repr(shape.default): shape.default for shape in shapes if shape.default is not shape.empty}
        assert len(given) <= 1, f"{name} has several defaults: {list(given)}"
        if given:
            default = next(iter(given.values()))
        else:
            default = OMITTED if len(shapes) < len(overloads) else inspect.Parameter.empty
        parameters.append(shapes[0].replace(default=default))
    return inspect.Signature(parameters)


def stub_definitions(body):
    """name -> the function definitions (several for overloads) in body."""
    found = {}
    for node in body:
        if isinstance(node, ast.FunctionDef):
            found.setdefault(node.name, []).append(node)
    return found


STUB_SCOPES = {None: stub_definitions(STUB.body)} | {
    node.name: stub_definitions(node.body) for node in STUB.body if isinstance(node, ast.ClassDef)
}


def stub_signature(scope, name):
    definitions = STUB_SCOPES[scope][name]
    return merged([declared(node.args, method=scope is not None) for node in definitions])


def shows_its_defaults(signature):
    """Whether help() shows every default as it could be written: no
    <object object at 0x...> for a marker object."""
    for parameter in signature.parameters.values():
        default = parameter.default
        if default is parameter.empty or default is OMITTED:
            continue
        try:
            if ast.literal_eval(repr(default)) != default:
                return False
        except ValueError:
            return False
    return True


@pytest.mark.parametrize("scope, name, function", C_CASES)
def test_c_signature_comes_from_the_docstring(scope, name, function):
    assert function.__text_signature__ is not None
    # A default that a call may leave out is a value, or OMITTED: never
    # "..." in the line, which inspect would show as a default of Ellipsis.
    assert all(parameter.default is not ... for parameter in signature(function).parameters.values())
    if not name.startswith("_"):
        # help() shows a summary line, then the rest after a blank line.
        lines = function.__doc__.split("\n")
        assert lines[0] and lines[1:2] in ([], [""]), function.__doc__


def test_context_methods_have_no_docstring():
    assert DATABASE_TYPE.__enter__.__doc__ is None
    assert DATABASE_TYPE.__exit__.__doc__ is None


# ---- what the calls accept ---------------------------------------------------

# The C code parses its arguments on its own (format strings, keyword arrays,
# METH_* flags), a second copy of each signature line. Each callable is
# called here in the ways its line allows and in the ways it forbids, on a
# closed object, which a method finds only after it has parsed its
# arguments. A slot's wrapper (__len__, __getitem__, ...) is left out: the
# interpreter writes both its line and its checks. The private module
# functions with a docstring come in: _open_tuned takes kvstore.open's
# settings.
CALLED_CASES = [case for case in C_CASES if not isinstance(case.values[2], types.WrapperDescriptorType)] + [
    pytest.param(None, name, function, id=name) for name, function in vars(_kvstore).items()
    if name.startswith("_") and isinstance(function, types.BuiltinFunctionType) and function.__doc__ is not None
]

# What a refusal names: kvstore.open's settings reach _open_tuned, whose
# errors speak of open().
NAMED_IN_ERRORS = {"_open_tuned": "open"}


def calls(signature, value):
    """(positional arguments, keyword arguments, whether signature accepts
    them) for the calls that tell its parameters' kinds and counts apart;
    value(parameter) is an argument that the parameter takes."""
    kind = inspect.Parameter
    parameters = list(signature.parameters.values())
    positional = [p for p in parameters if p.kind in (kind.POSITIONAL_ONLY, kind.POSITIONAL_OR_KEYWORD)]
    keyword_only = [p for p in parameters if p.kind is kind.KEYWORD_ONLY]
    required = sum(p.default is p.empty for p in positional)
    needed = {p.name: value(p) for p in keyword_only if p.default is p.empty}
    given = [value(p) for p in positional]

    found = [(given[:count], needed, True) for count in range(required, len(positional) + 1)]
    if required:
        found.append((given[:required - 1], needed, False))
    if all(p.kind is not kind.VAR_POSITIONAL for p in parameters):
        # One too many: a keyword-only parameter given by position, when
        # there is one.
        extra = value(keyword_only[0]) if keyword_only else b"extra"
        found.append((given + [extra], needed, False))
    for index, parameter in enumerate(positional):
        # By name, with the required ones after it: the interpreter's parser
        # takes no positional-only parameter after one it names.
        named = {p.name: value(p) for p in positional[index:] if p is parameter or p.default is p.empty}
        found.append((given[:index], needed | named, parameter.kind is not kind.POSITIONAL_ONLY))
    found += [(given[:required], needed | {p.name: value(p)}, True) for p in keyword_only]
    if all(p.kind is not kind.VAR_KEYWORD for p in parameters):
        found.append((given, needed | {"unnamed": b"x"}, False))
    return found


@pytest.mark.parametrize("scope, name, function", CALLED_CASES)
def test_calls_are_accepted_as_the_signature_line_says(scope, name, function, tmp_path):
    receiver = None
    if scope == "gdbm":
        receiver = _kvstore.open(str(tmp_path / "raw.db"), "c")
        receiver.close()
    elif scope == "_Mapping":
        receiver = kvstore.open(str(tmp_path / "package.db"), "c")
        receiver.close()
    # Arguments that the checks after the parser's take: a missing file
    # where a name is wanted, so that open() fails without making one.
    required = {"key": b"k", "value": b"v", "changes": {}, "replace": False, "commit": print,
                "method": "dump", "filename": str(tmp_path / "missing.db"),
                "target": str(tmp_path / "missing.db"), "even": str(tmp_path / "even"),
                "odd": str(tmp_path / "odd"), "name": str(tmp_path / "missing" / "lock"), "mode": 0o600}

    def value(parameter):
        if parameter.default is OMITTED:
            return b"default"
        return required[parameter.name] if parameter.default is parameter.empty else parameter.default

    name_in_errors = NAMED_IN_ERRORS.get(name, name)
    bound = function if receiver is None else functools.partial(function, receiver)
    wrong = []
    for args, kwargs, accepted in calls(signature_of(function, method=scope is not None), value):
        outcome = "accepted"
        try:
            bound(*args, **kwargs)
        except TypeError as refusal:
            outcome = "refused" if re.search(rf"\b{name_in_errors}\b", str(refusal)) else f"TypeError: {refusal}"
        except _kvstore.error:
            pass  # the closed object or the missing file, met once the arguments were taken
        if outcome != ("accepted" if accepted else "refused"):
            wrong.append((args, kwargs, outcome))
    assert wrong == []
    assert not (tmp_path / "missing.db").exists()


@pytest.mark.parametrize(
    "function",
    [pytest.param(function, id=f"Database.{name}") for name, function in DATABASE_METHODS.items()]
    + [pytest.param(function, id=f"kvstore.{name}") for name, function in PACKAGE_FUNCTIONS.items()]
    + [pytest.param(kvstore.Database, id="kvstore.Database")],
)
def test_package_signatures_are_readable(function):
    assert shows_its_defaults(signature(function))


@pytest.mark.parametrize("scope, name, function", C_CASES)
def test_stub_declares_the_same_parameters(scope, name, function):
    assert str(stub_signature(scope, name)) == str(signature_of(function, method=scope is not None))


@pytest.mark.parametrize(
    "scope, runtime",
    [(None, MODULE_FUNCTIONS), ("gdbm", instance_methods(DATABASE_TYPE)),
     ("_Mapping", instance_methods(_kvstore._Mapping))],
    ids=["module", "gdbm", "_Mapping"],
)
def test_stub_declares_every_callable_and_no_other(scope, runtime):
    declared_names = STUB_SCOPES[scope]
    if scope is None:
        declared_names = public(declared_names)
    assert set(declared_names) == set(runtime)


# ---- the kvstore package over the module -----------------------------------

def disagreements(wrapper, wrapped):
    """Where a package function's defaults differ from those of the _kvstore
    callable it passes its arguments to: positional parameters are paired by
    position (the package may rename them), keyword-only ones by name; a
    keyword-only one may also pass through **tuning."""
    positional = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)

    def of_kind(signature, kinds):
        return [parameter for parameter in signature.parameters.values() if parameter.kind in kinds]

    found = [
        (ours.name, ours.default, theirs.default)
        for ours, theirs in zip(of_kind(wrapper, positional), of_kind(wrapped, positional))
        if repr(ours.default) != repr(theirs.default)
    ]
    tuning = of_kind(wrapper, [inspect.Parameter.VAR_KEYWORD])
    for theirs in of_kind(wrapped, [inspect.Parameter.KEYWORD_ONLY]):
        ours = wrapper.parameters.get(theirs.name)
        if ours is None and tuning:
            continue
        if ours is None or ours.kind is not theirs.kind or repr(ours.default) != repr(theirs.default):
            found.append((theirs.name, ours, theirs.default))
    return found


WRAPPERS = [
    pytest.param(kvstore.open, False, _kvstore.open, False, id="kvstore.open"),
    pytest.param(kvstore.Database.__init__, True, _kvstore.open, False, id="Database()"),
    *(pytest.param(method, True, getattr(DATABASE_TYPE, name), True, id=f"Database.{name}")
      for name, method in DATABASE_METHODS.items()
      if isinstance(method, types.FunctionType) and name in instance_methods(DATABASE_TYPE)),
]


@pytest.mark.parametrize("wrapper, wrapper_is_method, wrapped, wrapped_is_method", WRAPPERS)
def test_package_passes_the_module_defaults_on(wrapper, wrapper_is_method, wrapped, wrapped_is_method):
    assert disagreements(signature_of(wrapper, wrapper_is_method), signature_of(wrapped, wrapped_is_method)) == []


def test_tuning_names_every_setting_of_open():
    settings = {parameter.name for parameter in inspect.signature(_kvstore._open_tuned).parameters.values()
                if parameter.kind is inspect.Parameter.KEYWORD_ONLY}
    assert set(kvstore._database.Tuning.__annotations__) == settings


# ---- the API pages -----------------------------------------------------------

def table(page, heading):
    """The first cells of the rows of the first table under heading."""
    section = page.split(f"\n{heading}\n", 1)[1]
    rows = section.split("\n\n|", 1)[1].split("\n\n", 1)[0].splitlines()
    return "\n".join(row.split("|")[1] for row in rows[2:])


def written(prefix, text):
    """(name, what is between the parentheses) for each `prefix + name(...)`
    in text, in order."""
    return re.findall(rf"`{re.escape(prefix)}(\w+)\(([^`]*)\)`", text)


def written_signature(parameters):
    """The signature a page writes; None for a call with values (an example)."""
    source = re.sub(r"\[, (\w+)\]", r", \1=...", parameters)
    try:
        tree = ast.parse(f"def f({source}): pass")
    except SyntaxError:
        return None
    return declared(tree.body[0].args, method=False)


def mismatches(documented, runtime, method):
    """The entries of documented that differ from runtime's signatures, with
    what they should read."""
    found = []
    for name, parameters in documented:
        expected = str(signature_of(runtime[name], method))
        if str(written_signature(parameters)) != expected:
            found.append((name, parameters, expected))
    return found


MODULE_TABLE = table(API_MODULE, "## The operations at a glance")
PACKAGE_TABLE = table(API_PACKAGE, "# The kvstore package")


def test_module_table_gives_every_signature():
    methods = written("db.", MODULE_TABLE)
    functions = [(name, text) for name, text in written("", MODULE_TABLE) if name in MODULE_FUNCTIONS]
    assert {name for name, _ in methods} == set(public(instance_methods(DATABASE_TYPE)))
    assert {name for name, _ in functions} == set(MODULE_FUNCTIONS)
    assert mismatches(methods, instance_methods(DATABASE_TYPE), method=True) == []
    assert mismatches(functions, MODULE_FUNCTIONS, method=False) == []


def test_package_table_gives_every_signature():
    entries = written("", PACKAGE_TABLE)
    methods = [(name, text) for name, text in entries if name in DATABASE_METHODS]
    # The other entries are built-in functions: len(db).
    assert {name for name, _ in entries} - set(DATABASE_METHODS) <= set(dir(builtins))
    assert {name for name, _ in methods} == set(DATABASE_METHODS)
    assert mismatches(methods, DATABASE_METHODS, method=True) == []


@pytest.mark.parametrize(
    "prefix, runtime, method, all_given",
    [("kvstore.", PACKAGE_FUNCTIONS, False, True), ("raw.", instance_methods(DATABASE_TYPE), True, False)],
    ids=["kvstore", "raw"],
)
def test_pages_text_gives_the_signatures_as_they_are(prefix, runtime, method, all_given):
    # What reads as a parameter list is a signature; a call with values is an example.
    signatures = [(name, text) for name, text in written(prefix, ALL_PAGES) if written_signature(text) is not None]
    names = {name for name, _ in signatures}
    assert names == set(runtime) if all_given else names <= set(runtime)
    assert mismatches(signatures, runtime, method) == []


# ---- help() ------------------------------------------------------------------

@pytest.mark.parametrize(
    "subject, functions",
    [(_kvstore, MODULE_FUNCTIONS), (DATABASE_TYPE, public(instance_methods(DATABASE_TYPE))),
     (kvstore.Database, DATABASE_METHODS)],
    ids=["module", "gdbm", "Database"],
)
def test_help_shows_the_signatures(subject, functions):
    def squeezed(text):
        # pydoc folds a long signature over several lines, each behind a "|"
        # in a class's help; from 3.14 on it shows a string annotation
        # unquoted, which inspect quotes.
        return "".join(text.replace("|", "").replace("'", "").replace('"', "").split())

    shown = squeezed(pydoc.render_doc(subject, renderer=pydoc.plaintext))
    for name, function in functions.items():
        assert squeezed(f"{name}{signature(function)}") in shown, name
