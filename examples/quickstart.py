"""Quick start: compile examples/bookstore.proto with torvex.compile, import the generated
module, and round-trip a message through the binary and JSON encodings."""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path

import torvex
import torvex.compile


def compile_schema(out: Path) -> None:
    here = Path(__file__).parent
    # The same as: python -m torvex.compile -Iexamples --torvex_out=OUT bookstore.proto
    status = torvex.compile.main([f"-I{here}", f"--torvex_out={out}", "bookstore.proto"])
    if status:
        sys.exit(f"protoc failed with status {status}")
    sys.path.insert(0, str(out))


def main() -> None:
    import bookstore
    from torvex.wkt.timestamp import Timestamp

    book = bookstore.Book(
        title="The Art of Computer Programming",
        authors=["Donald Knuth"],
        price=bookstore.Money(currency="EUR", cents=19_999),
        format=bookstore.Format.FORMAT_PAPERBACK,
        labels={"shelf": "B2"},
        source=torvex.Oneof("isbn", "978-0201896831"),
        published=Timestamp(seconds=-7_000_000),
    )
    book.pages = 672
    print("message:", book)

    data = book.to_binary()
    print(f"binary: {len(data)} bytes: {data[:24].hex(' ')} ...")
    again = bookstore.Book.from_binary(data)
    print("binary round trip equal:", again == book)

    text = book.to_json()
    print("json:", text)
    print("json round trip equal:", bookstore.Book.from_json(text) == book)

    match again.source:
        case torvex.Oneof("isbn", isbn):
            print("isbn:", isbn)
        case torvex.Oneof("url", url):
            print("url:", url)
    print("has pages:", again.has_field("pages"), "| has url:", again.has_field("url"))


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as tmp:
        compile_schema(Path(tmp))
        main()
