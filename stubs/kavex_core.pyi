from types import ModuleType

import kavex_shm

__all__ = [
    "WriteTimeoutError",
    "ContextError",
    "SchemaViolationError",
    "AuditBlockError",
    "AuditAbortError",
    "AuditStopError",
    "AuditWarning",
    "shm",
]

class WriteTimeoutError(TimeoutError): ...
class ContextError(Exception): ...
class SchemaViolationError(Exception): ...
class AuditBlockError(RuntimeError): ...
class AuditAbortError(RuntimeError): ...
class AuditStopError(RuntimeError): ...
class AuditWarning(UserWarning): ...

class _ShmModule(ModuleType):
    BufferDescriptor = kavex_shm.BufferDescriptor

shm: _ShmModule
