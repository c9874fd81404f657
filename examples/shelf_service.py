"""A gRPC service with torvex messages: compile examples/shelf.proto with the grpc option, serve
it on a loopback port, call it with the sync and the asyncio stubs, and stop."""

from __future__ import annotations

import asyncio
import sys
import tempfile
from collections.abc import Iterator
from concurrent import futures
from pathlib import Path

import grpc
import grpc.aio

import torvex
import torvex.compile


def compile_schema(out: Path) -> None:
    here = Path(__file__).parent
    # The same as: python -m torvex.compile -Iexamples --torvex_out=OUT --torvex_opt=grpc ...
    protos = ["bookstore.proto", "shelf.proto"]
    if torvex.compile.main([f"-I{here}", f"--torvex_out={out}", "--torvex_opt=grpc", *protos]):
        sys.exit("protoc failed")
    sys.path.insert(0, str(out))


def main() -> None:
    import bookstore
    import shelf
    import shelf_grpc

    class Shelf(shelf_grpc.ShelfServicer):
        def __init__(self) -> None:
            self.books: dict[str, bookstore.Book] = {}

        def GetBook(
            self, request: shelf.GetBookRequest, context: grpc.ServicerContext
        ) -> bookstore.Book:
            book = self.books.get(request.isbn)
            if book is None:
                context.abort(grpc.StatusCode.NOT_FOUND, f"no book with ISBN {request.isbn}")
            return book

        def ListBooks(
            self, request: shelf.ListBooksRequest, context: grpc.ServicerContext
        ) -> Iterator[bookstore.Book]:
            for book in self.books.values():
                if request.author in book.authors:
                    yield book

        def AddBooks(
            self, request_iterator: Iterator[bookstore.Book], context: grpc.ServicerContext
        ) -> shelf.AddBooksReply:
            added = 0
            for book in request_iterator:
                match book.source:
                    case torvex.Oneof("isbn", str() as isbn):
                        self.books[isbn] = book
                        added += 1
                    case _:
                        pass
            return shelf.AddBooksReply(added=added)

    server = grpc.server(futures.ThreadPoolExecutor(max_workers=4))
    shelf_grpc.add_ShelfServicer_to_server(Shelf(), server)
    port = server.add_insecure_port("127.0.0.1:0")
    server.start()
    print(f"serving bookstore.Shelf on 127.0.0.1:{port}")
    try:
        with grpc.insecure_channel(f"127.0.0.1:{port}") as channel:
            stub = shelf_grpc.ShelfStub(channel)
            books = [
                bookstore.Book(title=title, authors=authors, source=torvex.Oneof("isbn", isbn))
                for title, authors, isbn in [
                    ("TAOCP 1", ["Knuth"], "1"),
                    ("TAOCP 2", ["Knuth"], "2"),
                    ("SICP", ["Abelson", "Sussman"], "3"),
                ]
            ]
            reply = stub.AddBooks(iter(books), timeout=5)
            print("added:", reply.added)
            print("by ISBN 3:", stub.GetBook(shelf.GetBookRequest(isbn="3"), timeout=5).title)
            knuth = stub.ListBooks(shelf.ListBooksRequest(author="Knuth"), timeout=5)
            print("by Knuth:", [b.title for b in knuth])
            try:
                stub.GetBook(shelf.GetBookRequest(isbn="9"), timeout=5)
            except grpc.RpcError as error:
                print("error:", error.code(), error.details())
        asyncio.run(call_async(port))
    finally:
        server.stop(None).wait(5)
    print("stopped")


async def call_async(port: int) -> None:
    import shelf
    import shelf_grpc

    async with grpc.aio.insecure_channel(f"127.0.0.1:{port}") as channel:
        stub = shelf_grpc.ShelfAsyncStub(channel)
        book = await stub.GetBook(shelf.GetBookRequest(isbn="1"), timeout=5)
        print("asyncio, by ISBN 1:", book.title)
        async for found in stub.ListBooks(shelf.ListBooksRequest(author="Sussman"), timeout=5):
            print("asyncio, by Sussman:", found.title)


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as tmp:
        compile_schema(Path(tmp))
        main()
