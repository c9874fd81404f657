"""Where torvex types live: their files and full names, and the types still waiting to finish.

A message class can only be handed to the extension once every type it names is known, and a
nested class only learns its full name once its enclosing class exists. Both wait here. Every
time a torvex class is defined (or a plain class finishes that contains some), ``settle`` places
the nested types whose enclosing class is now known and retries the pending message classes.
"""

from __future__ import annotations

import sys
from _thread import RLock
from _weakref import ref as _weakref

TYPE_CHECKING = False
if TYPE_CHECKING:
    import weakref
    from typing import Any, Protocol

from . import _descriptors
from ._descriptors import DescEnum, DescFile, DescMessage
from ._names import display_qualname


if TYPE_CHECKING:

    class Completable(Protocol):
        def try_complete(self) -> bool:
            """Finish the type if possible; True once it is finished (or has failed for good)."""
            ...


class Pool:
    """Full names of types across files. Classes are held weakly: a schema that is no longer
    used (a module dropped, a function's local classes) frees its names."""

    __slots__ = ("types", "fallback")

    def __init__(self, fallback: Pool | None = None) -> None:
        # Full name -> the classes that claimed it, oldest first.
        self.types: dict[str, list[weakref.ref[type]]] = {}
        # Consulted for names this pool lacks (run-time loaded files see the default pool).
        self.fallback = fallback

    def get(self, full_name: str) -> type | None:
        pool: Pool | None = self
        while pool is not None:
            for ref in reversed(pool.types.get(full_name, ())):
                found = ref()
                if found is not None:
                    return found
            pool = pool.fallback
        return None


DEFAULT_POOL = Pool()
_EMPTY_POOL = Pool()


def pool_of(file: DescFile) -> Pool:
    pool = file._pool
    return DEFAULT_POOL if pool is None else pool


class _Unplaced:
    __slots__ = ("declared_file", "owner")

    def __init__(self, declared_file: DescFile | None) -> None:
        self.declared_file = declared_file
        # The enclosing class once Python tells us (``__set_name__``); _TOP when that class is
        # not a torvex type, so the nested type is scoped like a top-level one.
        self.owner: Any = None


_TOP = object()

# Metaclasses of torvex types, filled in by the modules that define them.
metaclasses: tuple[type, ...] = ()

_lock = RLock()
_default_files: dict[str, DescFile] = {}
_unplaced: dict[type, _Unplaced] = {}
_pending: list[Completable] = []
_settling = False
# Counts placements; each name (proto and Python) maps to the count when a type of that name
# was last placed, so a type waiting for a name retries only once such a type appears.
_generation = 0
_placed_at: dict[str, int] = {}


def default_file(module: str) -> DescFile:
    """The file of types declared without ``file=``: one per Python module, no package."""
    with _lock:
        file = _default_files.get(module)
        if file is None:
            file = _default_files[module] = DescFile(module.replace(".", "/") + ".proto")
        return file


def introduce(cls: type, declared_file: DescFile | None) -> None:
    """Record a new torvex class whose ``_desc`` exists. Top-level classes get their full name
    now; nested ones wait for their enclosing class."""
    with _lock:
        if "." in display_qualname(cls):
            _unplaced[cls] = _Unplaced(declared_file)
        else:
            _place(cls, None, declared_file)


def add_pending(item: Completable) -> None:
    with _lock:
        _pending.append(item)


def is_placed(cls: type) -> bool:
    desc = cls.__dict__.get("_desc")
    return desc is not None and desc.type_name is not None


def note_owner(cls: type, owner: type, attribute: str) -> None:
    """``__set_name__`` hook of torvex metaclasses: ``cls`` was defined in the body of ``owner``."""
    with _lock:
        info = _unplaced.get(cls)
        if info is None or info.owner is not None:
            return
        if cls.__qualname__ != f"{owner.__qualname__}.{attribute}":
            return  # an alias of a class defined elsewhere
        if isinstance(owner, metaclasses):
            # The owner's metaclass settles once the owner's descriptor exists.
            info.owner = owner
            return
        # A plain class is complete by now. Take all its nested torvex types at once, so that
        # none is resolved before a later sibling has its name.
        prefix = owner.__qualname__ + "."
        for name, value in owner.__dict__.items():
            other = _unplaced.get(value) if isinstance(value, type) else None
            if other is not None and other.owner is None and value.__qualname__ == prefix + name:
                other.owner = _TOP
        settle()


def settle() -> None:
    """Place every nested type whose enclosing type is placed, then retry pending messages,
    until nothing changes."""
    global _settling
    with _lock:
        if _settling:
            return
        _settling = True
        try:
            progress = True
            while progress:
                progress = False
                for cls, info in list(_unplaced.items()):
                    if info.owner is None:
                        continue
                    parent = None if info.owner is _TOP else info.owner
                    if parent is not None and not is_placed(parent):
                        continue
                    del _unplaced[cls]
                    _place(cls, parent, info.declared_file)
                    progress = True
                if progress:
                    continue  # names first: a pending message may resolve to one just placed
                for item in list(_pending):
                    if item.try_complete():
                        _pending.remove(item)
                        progress = True
        finally:
            _settling = False


def generation() -> int:
    return _generation


def placed_since(name: str, since: int) -> bool:
    """Whether a type called ``name`` (proto or Python name) was placed after ``since``."""
    return _placed_at.get(name, 0) > since


def _place(cls: type, parent: type | None, declared_file: DescFile | None) -> None:
    global _generation
    desc: DescMessage | DescEnum = cls.__dict__["_desc"]
    if parent is None:
        file = declared_file or default_file(cls.__module__)
        prefix = file.package
        parent_desc = None
    else:
        parent_desc = parent.__dict__["_desc"]
        file = parent_desc.file
        if declared_file is not None and declared_file is not file:
            raise TypeError(
                f"{display_qualname(cls)} is declared in {declared_file.name!r} but nested in "
                f"a type of {file.name!r}"
            )
        prefix = parent_desc.type_name
    desc.file = file
    desc.parent = parent_desc
    if isinstance(desc, DescEnum) and desc.open is None:
        desc.open = file.syntax != "proto2"
    type_name = f"{prefix}.{desc.name}" if prefix else desc.name
    _register(cls, file, type_name)
    desc.type_name = type_name
    file._types[type_name] = cls
    _generation += 1
    _placed_at[desc.name] = _placed_at[cls.__name__] = _generation


def _register(cls: type, file: DescFile, type_name: str) -> None:
    """Claim a full name in the file's pool; the latest claim is the one names resolve to.
    Conflicting claims are reported by ``complete`` (see there)."""
    claim(pool_of(file), type_name, cls)


def claim(pool: Pool, type_name: str, cls: type) -> None:
    """Make ``type_name`` resolve to ``cls`` in ``pool`` (until a later claim)."""
    claims = pool.types.setdefault(type_name, [])
    claims[:] = [ref for ref in claims if ref() is not None]
    claims.append(_weakref(cls))


def forget(cls: type) -> None:
    """Drop a class whose definition failed, so that names no longer resolve to it."""
    with _lock:
        _unplaced.pop(cls, None)
        desc = cls.__dict__.get("_desc")
        if desc is not None and desc.file is not None:
            if desc.file._types.get(desc.type_name) is cls:
                del desc.file._types[desc.type_name]
            claims = pool_of(desc.file).types.get(desc.type_name, [])
            claims[:] = [ref for ref in claims if ref() not in (None, cls)]
            DEFAULT_REGISTRY.forget_message(cls, desc.type_name)


class DefaultRegistry:
    """The registry the JSON methods use when they are given none: every message class and
    extension defined in the process, whatever its pool. One full name defined twice (a schema
    loaded twice, or both generated and loaded) is no error: the latest definition wins, and
    the one before it comes back if the latest is dropped."""

    __slots__ = ("_messages", "_extensions", "_by_extendee")

    def __init__(self) -> None:
        self._messages = Pool()
        # Extensions are held strongly, like the message classes the extension module keeps.
        self._extensions: dict[str, Any] = {}
        self._by_extendee: dict[tuple[str, int], Any] = {}

    def message(self, full_name: str) -> DescMessage | None:
        load_lazy(full_name)
        cls = self._messages.get(full_name)
        return None if cls is None else cls.__dict__["_desc"]

    def message_class(self, full_name: str) -> Any:
        load_lazy(full_name)
        return self._messages.get(full_name)

    def extension(self, full_name: str) -> Any:
        return self._extensions.get(full_name)

    def extension_for(self, descriptor: DescMessage, number: int) -> Any:
        return self._by_extendee.get((descriptor.type_name or "", number))

    def add_message(self, cls: type, full_name: str) -> None:
        claim(self._messages, full_name, cls)

    def add_extension(self, ext: Any) -> None:
        self._extensions[ext.full_name] = ext
        self._by_extendee[ext.extendee_name, ext.number] = ext

    def forget_message(self, cls: type, full_name: str) -> None:
        claims = self._messages.types.get(full_name, [])
        claims[:] = [ref for ref in claims if ref() not in (None, cls)]

    def __repr__(self) -> str:
        return "<the default registry>"


DEFAULT_REGISTRY = DefaultRegistry()


# Full name -> module, for types whose module is imported on first use (torvex.wkt's): a name
# known here resolves as if its module had been imported with the package.
lazy_modules: dict[str, str] = {}


def load_lazy(full_name: str) -> None:
    """Import the module of ``full_name`` (a leading "." is allowed) if it is one of the lazily
    loaded types. Called with no lock held: an import takes the lock of every class it defines."""
    full_name = full_name.removeprefix(".")
    if full_name.startswith("google.protobuf.") and "torvex.wkt" not in sys.modules:
        __import__("torvex.wkt")  # fills lazy_modules
    module = lazy_modules.get(full_name)
    if module is not None and module not in sys.modules:
        __import__(module)


def find(full_name: str) -> type | None:
    """The placed type with this full name (a leading "." is allowed) in the default pool."""
    load_lazy(full_name)
    with _lock:
        return _placed(DEFAULT_POOL.get(full_name.removeprefix(".")))


def complete(file: DescFile) -> None:
    """Fail for every type of ``file`` that is still waiting for a type, or failed to build
    (such types are dropped), and for full names that another file defines as well.

    A new File of the same name (a module run again) replaces the earlier definitions rather
    than clashing with them. Clashes are checked here, not at definition, because schemas that
    are declared again and again (in functions, in tests) never complete their files."""
    with _lock:
        for item in _pending:
            if _file_of(item) is file:
                item.across_files = True  # type: ignore[attr-defined]
        settle()
        problems = []
        pool = pool_of(file)
        for type_name, cls in list(file._types.items()):
            for ref in pool.types.get(type_name, ()):
                other = ref()
                if other is None or other is cls:
                    continue
                other_file = other.__dict__["_desc"].file
                if other_file is file or other_file.name != file.name:
                    problems.append(
                        f"{type_name} is defined twice: in {other_file.name!r} and in "
                        f"{file.name!r}"
                    )
                    # The earlier definition keeps the name.
                    forget(cls)
                    break
        for item in list(_pending):
            if _file_of(item) is not file:
                continue
            _pending.remove(item)
            forget(item.cls)  # type: ignore[attr-defined]
            problems.append(item.reason())  # type: ignore[attr-defined]
        if problems:
            raise TypeError("; ".join(problems))


_descriptors._complete_file = complete


def _file_of(item: Completable) -> DescFile | None:
    cls = getattr(item, "cls", None)
    desc = cls.__dict__.get("_desc") if cls is not None else None
    return None if desc is None else desc.file


def _placed(cls: type | None) -> type | None:
    return cls if cls is not None and is_placed(cls) else None


def lookup(ref: str, scope: DescMessage, module: str, across_files: bool = False) -> type | None:
    """Resolve a string type reference made from message ``scope``.

    Proto scoping first, within the scope's file (and, with ``across_files``, the files of its
    pool): ``.a.B`` is a full name; otherwise the name is tried inside the message, then inside
    each enclosing scope out to the package root. Then, for
    classes whose Python names differ from their proto names, as a dotted Python name in the
    module's globals.
    """
    file = scope.file
    assert file is not None
    types = file._types
    pool = pool_of(file) if across_files else _EMPTY_POOL
    if ref.startswith("."):
        return types.get(ref[1:]) or _placed(pool.get(ref[1:]))
    outer: str = scope.type_name or ""
    while True:
        full = f"{outer}.{ref}" if outer else ref
        found = types.get(full) or _placed(pool.get(full))
        if found is not None:
            return found
        if not outer:
            break
        outer = outer.rpartition(".")[0]
    namespace = getattr(sys.modules.get(module), "__dict__", None)
    if namespace is None:
        return None
    head, _, rest = ref.partition(".")
    obj: Any = namespace.get(head)
    for part in rest.split(".") if rest else ():
        obj = getattr(obj, part, None)
    if isinstance(obj, type) and isinstance(obj, metaclasses) and is_placed(obj):
        return obj
    return None
