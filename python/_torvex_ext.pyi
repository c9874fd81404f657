# Types of the native core. Every message class derives from NativeMessage, so these methods
# are typed on all of them.

from collections.abc import Buffer
from typing import Any, Generic, Self, final

from typing_extensions import TypeVar

# Defaults let a plain ``Oneof`` annotation mean "any member".
_F = TypeVar("_F", bound=str, covariant=True, default=str)
_V = TypeVar("_V", covariant=True, default=Any)

# Anything with the registry protocol (message, extension, extension_for).
_Registry = Any
_Json = str | bytes | bytearray

@final
class MessageMarshaler: ...

class NativeMessage:
    @classmethod
    def from_binary(cls, data: Buffer, *, ignore_unknown_fields: bool = False) -> Self: ...
    def to_binary(self, *, write_unknown_fields: bool = True, deterministic: bool = False) -> bytes: ...
    def byte_size(self) -> int: ...
    def to_json(
        self,
        *,
        registry: _Registry | None = None,
        always_emit_implicit: bool = False,
        print_enums_as_ints: bool = False,
        use_proto_field_name: bool = False,
        sort_keys: bool = False,
        indent: int | None = None,
    ) -> str: ...
    @classmethod
    def from_json(
        cls, json: _Json, *, ignore_unknown_fields: bool = False, registry: _Registry | None = None
    ) -> Self: ...
    def _merge_from_json(
        self,
        json: _Json,
        *,
        ignore_unknown_fields: bool = False,
        registry: _Registry | None = None,
    ) -> None: ...
    def _to_json_value(
        self,
        *,
        registry: _Registry | None = None,
        always_emit_implicit: bool = False,
        print_enums_as_ints: bool = False,
        use_proto_field_name: bool = False,
        sort_keys: bool = False,
    ) -> Any: ...
    @classmethod
    def _from_json_value(
        cls, data: Any, *, ignore_unknown_fields: bool = False, registry: _Registry | None = None
    ) -> Self: ...
    def to_text(
        self,
        *,
        as_one_line: bool = False,
        print_unknown_fields: bool = False,
        registry: _Registry | None = None,
    ) -> str: ...
    @classmethod
    def from_text(
        cls, text: _Json, *, registry: _Registry | None = None, allow_unknown_fields: bool = False
    ) -> Self: ...
    def _merge_from_text(
        self,
        text: _Json,
        *,
        registry: _Registry | None = None,
        allow_unknown_fields: bool = False,
    ) -> None: ...
    def __copy__(self) -> Self: ...
    def _merge_from_binary(self, data: Buffer, ignore_unknown_fields: bool) -> None: ...
    @classmethod
    def _decode_delimited(
        cls, data: Buffer, pos: int, max_size: int, ignore_unknown_fields: bool
    ) -> tuple[list[Self], int]: ...
    def __deepcopy__(self, _memo: Any) -> Self: ...
    def _merge_from(self, source: NativeMessage, ignore_unknown_fields: bool) -> None: ...
    def _get_field_number_present(self, field_number: int) -> bool: ...
    def _set_field_number_present(self, field_number: int) -> None: ...
    def _clear_field_number_present(self, field_number: int) -> None: ...
    def _get_or_init_unknown_fields(self) -> dict[int, list[bytes]]: ...
    def _field_is_set(self, field_number: int) -> bool: ...
    @property
    def _present(self) -> list[int]: ...
    @property
    def _unknown_fields(self) -> dict[int, list[bytes]] | None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...

@final
class Oneof(Generic[_F, _V]):
    """The chosen member of a oneof: its attribute name and its value."""

    __match_args__ = ("field", "value")
    def __new__(cls, field: _F, value: _V) -> Oneof[_F, _V]: ...
    @property
    def field(self) -> _F: ...
    @property
    def value(self) -> _V: ...

def initialize_message_type(message_type: type) -> None: ...
def generic_setattr(obj: object, name: str, value: object) -> None: ...
