"""The module surface: names and their order, exception types, caching."""

import importlib
import subprocess
import sys
import textwrap

import pytest

import kavex_core
import kavex_shm

# Every attribute kavex_core adds, in the order it adds them.
ATTRIBUTE_ORDER = [
    "SupervisorCore", "SupervisorProxy", "KavexEngine", "Transaction", "OutboxCollector",
    "WriteTimeoutError", "WorkflowEngine", "FSMState", "SignalHub", "SignalReceiver",
    "State", "ProcessContext", "FrozenDict", "OutboxMsg", "MetaLogEntry", "ContextError",
    "ContextGuard", "ConfigLoader", "SchemaViolationError", "AuditSystem", "AuditRecipe",
    "AuditLevel", "AuditLogEntry", "AuditBlockError", "AuditAbortError", "AuditStopError",
    "AuditWarning", "ConflictManager", "RetryDecision", "shm",
]


def test_all_lists_exports_in_table_order():
    names = kavex_core.__all__
    assert names == [n for n in ATTRIBUTE_ORDER if n in names]
    assert names[-1] == "shm"
    for name in names:
        assert hasattr(kavex_core, name)
    assert [n for n in dir(kavex_core) if n in ATTRIBUTE_ORDER and n not in names] == []


def test_shm_module_surface():
    shm = kavex_core.shm
    assert shm.__name__ == "shm"
    assert shm.__doc__ is None
    assert shm.__all__ == ["BufferDescriptor", "MemoryRegistry"][: len(shm.__all__)]
    assert kavex_shm.__all__ == ["BufferDescriptor"]
    assert kavex_shm.__doc__ == "Exposed Python Module"
    assert kavex_shm.BufferDescriptor is shm.BufferDescriptor


def test_shm_is_an_attribute_not_a_submodule():
    from kavex_core import shm

    assert shm is kavex_core.shm
    assert "kavex_core.shm" not in sys.modules
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("kavex_core.shm")


@pytest.mark.parametrize(
    "name, module, base",
    [
        ("WriteTimeoutError", "kavex_core", TimeoutError),
        ("ContextError", "kavex.structures", Exception),
        ("SchemaViolationError", "kavex.config", Exception),
        ("AuditBlockError", "kavex_core", RuntimeError),
        ("AuditAbortError", "kavex_core", RuntimeError),
        ("AuditStopError", "kavex_core", RuntimeError),
        ("AuditWarning", "kavex_core", UserWarning),
    ],
)
def test_exception_types(name, module, base):
    exc = getattr(kavex_core, name)
    assert exc.__module__ == module
    assert exc.__name__ == name
    assert exc.__bases__ == (base,)
    assert exc.__doc__ is None
    err = exc("message")
    assert str(err) == "message" and err.args == ("message",)


def test_context_error_is_not_a_runtime_error():
    assert not issubclass(kavex_core.ContextError, RuntimeError)
    assert issubclass(kavex_core.AuditWarning, Warning)


@pytest.mark.parametrize("hidden", ["Outbox", "FrozenList", "TrackedList", "InternalFault"])
def test_hidden_classes_are_not_exported(hidden):
    assert not hasattr(kavex_core, hidden)


def test_type_modules():
    assert kavex_core.shm.BufferDescriptor.__module__ == "builtins"
    for name in kavex_core.__all__:
        obj = getattr(kavex_core, name)
        if isinstance(obj, type) and not issubclass(obj, BaseException):
            assert obj.__module__ == "kavex_core", name
            assert obj.__qualname__ == name


@pytest.mark.parametrize("name", ["kavex_core", "kavex_shm"])
def test_reimport_returns_the_cached_module(name, monkeypatch):
    first = importlib.import_module(name)
    monkeypatch.delitem(sys.modules, name)
    again = importlib.import_module(name)
    assert again is first


def test_kavex_shm_can_be_imported_first():
    # kavex_shm takes its class from kavex_core, importing it as needed.
    code = "import kavex_shm, kavex_core; assert kavex_shm.BufferDescriptor is kavex_core.shm.BufferDescriptor"
    subprocess.run([sys.executable, "-c", code], check=True)


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    code = textwrap.dedent(
        """
        try:
            import kavex_core
        except ImportError as exc:
            assert "one interpreter" in str(exc), exc
        else:
            raise AssertionError("imported in a second interpreter")
        """
    )
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)
