"""The records as JSON Lines, as the command line's items writes them and
put-items reads them."""

from __future__ import annotations

import json
from typing import cast

# items writes, and put-items reads, JSON Lines: one object a record, whose
# "key" and "value" are the UTF-8 text of the bytes, or whose "key_hex" and
# "value_hex" are their hexadecimal form where they are not UTF-8 (or with
# --hex).
ITEM_FIELDS = ("key", "value")


def format_item(key: bytes, value: bytes, hex: bool) -> bytes:
    record = dict(_item_field(field, data, hex) for field, data in zip(ITEM_FIELDS, (key, value), strict=True))
    return json.dumps(record, ensure_ascii=False).encode() + b"\n"


def _item_field(field: str, data: bytes, hex: bool) -> tuple[str, str]:
    if not hex:
        try:
            return field, data.decode()
        except UnicodeDecodeError:
            pass
    return f"{field}_hex", data.hex()


def parse_item(line: bytes) -> tuple[bytes, bytes]:
    """(key, value) from one line of JSON Lines; ValueError says what is wrong."""
    try:
        record = cast("object", json.loads(line.decode()))
    except UnicodeDecodeError:
        raise ValueError("not UTF-8") from None
    except json.JSONDecodeError as wrong:
        raise ValueError(f"not JSON ({wrong.msg})") from None
    except RecursionError:
        # The decoder recurses once a level: a line nested deeper than the
        # interpreter's stack allows is refused like any other bad line.
        raise ValueError("nested too deeply to read") from None
    if not isinstance(record, dict):
        raise ValueError('not a JSON object: {"key": ..., "value": ...}')
    fields = cast("dict[str, object]", record)
    unknown = set(fields) - {name for field in ITEM_FIELDS for name in (field, f"{field}_hex")}
    if unknown:
        raise ValueError(f"unknown field {sorted(unknown)[0]!r}")
    key, value = (_parse_field(fields, field) for field in ITEM_FIELDS)
    return key, value


def _parse_field(record: dict[str, object], field: str) -> bytes:
    given = [name for name in (field, f"{field}_hex") if name in record]
    if len(given) != 1:
        raise ValueError(f'needs "{field}" or "{field}_hex", one of them')
    name = given[0]
    text = record[name]
    if not isinstance(text, str):
        raise ValueError(f'"{name}" is not a string')
    if name == field:
        try:
            return text.encode()
        except UnicodeEncodeError:
            raise ValueError(f'"{name}" holds a lone surrogate, which UTF-8 cannot encode') from None
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise ValueError(f'"{name}" is not hexadecimal') from None
