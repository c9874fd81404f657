"""Writes the committed seed corpus: valid encodings that reach every field kind, plus a few
hand-made records no encoder writes (unknown groups, over-long tags, unlisted enum numbers).
Run again only when the schema changes: python fuzz/seeds.py"""

from __future__ import annotations

from pathlib import Path

from oracle import HERE
from schema import Closed, Every, Lean, Needs, Open
from wirebytes import group, ld, tag, vi

from torvex import Oneof


def seed_messages() -> list[Every]:
    leaf = Every(i32=-1, s="leaf", closed=Closed.C_NEG, open=Open.O_TWO, b=True)
    scalars = Every(d=-0.0, f=1.5, i64=-(2**63), u64=2**64 - 1, fx64=2**64 - 1, fx32=7,
                    by=b"\x00\xff", u32=2**32 - 1, sf32=-(2**31), sf64=-5, s32=-1, s64=2**62,
                    s="héllo \U0001f600")  # fmt: skip
    lists = Every(p_i32=[0, -1, 2**31 - 1], p_s64=[-(2**63), 5], p_d=[float("nan"), 1e300],
                  p_fx32=[1, 2**32 - 1], p_b=[True, False], p_closed=[Closed.C_ONE, Closed.C_NEG],
                  u_u64=[3, 2**64 - 1], u_f=[0.5], u_open=[Open.O_TWO, 9], words=["a", ""],
                  blobs=[b"", b"x"], kids=[leaf, Every()], groups=[leaf, Every()])  # fmt: skip
    maps = Every(by_name={"k": leaf, "": Every()}, by_id={-3: Closed.C_ONE}, flags={True: b"y"},
                 sizes={2**64 - 1: -1.5}, labels={"a": "b"}, needs=Needs(key=1, note="n"),
                 lean=Lean(n=-1, x=-0.0, s="s", e=Open.O_TWO, ns=[1, -1], tags={"t": 5}))
    nested = Every(child=Every(grp=Every(child=leaf, choice=Oneof("o_g", leaf))),
                   choice=Oneof("o_m", Every(choice=Oneof("o_e", Closed.C_ONE))))
    return [leaf, scalars, lists, maps, nested]


def binary_seeds() -> list[bytes]:
    valid = [m.to_binary() for m in seed_messages()]
    odd = [
        vi(19, 5) + ld(35, b"\x01\x09") + ld(51, vi(1, 2) + vi(2, 4)),  # unlisted closed numbers
        group(99, vi(1, 1) + group(98, ld(2, b"z"))) + tag(22, 3) + b"\xb4\x81\x00",
        ld(9, b"\x80") + vi(60, 1) + ld(21, tag(22, 3)),  # wire-type mismatches, truncation
        tag(22, 3) * 30 + tag(22, 4) * 30,
        # Odd map entries (kept whole), a closed-enum number beyond 32 bits, a float32 sNaN.
        ld(52, vi(2, 9) + vi(1, 1)) + ld(51, ld(2, b"") + vi(1, 3)) + vi(19, 2**36 - 1),
        tag(2, 5) + b"\x08\x00\x80\x7f" + ld(35, b"\xff\xff\xff\xff\xff\x01"),
    ]
    return valid + odd


def json_seeds() -> list[bytes]:
    valid = [m.to_json().encode() for m in seed_messages()]
    odd = [
        b'{"d":"NaN","f":"-Infinity","i64":"1e3","u32":4294967295,"by":"-_8","closed":"C_NEG"}',
        b'{"f":1.9,"uF":[0.1,"3e38"],"byId":{"4294967296":1}}',
        b'{"pClosed":["C_ONE",1,"C_NEG"],"byId":{"-3":"C_ONE"},"sizes":{"18446744073709551615":1}}',
        b'{"child":{"child":{"grp":{"lean":{"n":1,"e":7,"tags":{"":"-9"}}}}},"oS":null}',
        b'{"kids":[{},null],"flags":{"true":"eQ=="},"needs":{"key":1},"oM":{"oE":"C_ONE"}}',
        b'{"needs":{"note":"no key"}}',
        # Names and keys given twice, a null that does not count, a lone surrogate escape.
        b'{"i32":1,"child":{"pI32":[1],"p_i32":[2]},"oS":null,"oI":1,"byId":{"1":1,"01":2}}',
        b'{"s":"\\udc00","words":["\\ud83d\\ude00"],"sizes":{"18446744073709551616":1}}',
    ]
    return valid + odd


def descriptor_set_seeds() -> list[bytes]:
    """The test suite's .proto corpus as protoc writes it: one set per file with its imports."""
    import subprocess
    import sys
    import tempfile

    from torvex.wkt.descriptor import FileDescriptorSet

    root = HERE.parent / "tests" / "proto"
    names = sorted(str(p.relative_to(root)) for p in root.rglob("*.proto"))
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "set.pb"
        subprocess.run([sys.executable, "-m", "grpc_tools.protoc", f"-I{root}", "--include_imports",
                        f"--descriptor_set_out={out}", *names], check=True, capture_output=True)  # fmt: skip
        whole = FileDescriptorSet.from_binary(out.read_bytes())
    by_name = {f.name: f for f in whole.file}

    def closure(name: str, into: dict) -> dict:
        for dep in by_name[name].dependency:
            closure(dep, into)
        into.setdefault(name, by_name[name])
        return into

    return [FileDescriptorSet(file=list(closure(n, {}).values())).to_binary() for n in names]


def text_seeds() -> list[bytes]:
    valid = [m.to_text().encode() for m in seed_messages()]
    odd = [
        b'i32: -1 i32: 2 u_f: [1, 2.5, inf] closed: C_NEG by_id { key: -3 value: C_ONE }',
        b'child < s: "\\x00\\377" by: "\\001" > f: nan o_s: "a" o_i: 1 [fz.nope]: 1',
        b'grp { groups { } } flags [{ key: true value: "y" }] labels: { key: "a" }',
    ]
    return valid + odd


def delimited_seeds() -> list[bytes]:
    import io

    from torvex import write_delimited

    out = io.BytesIO()
    for m in seed_messages():
        write_delimited(out, m)
    stream = out.getvalue()
    return [stream, stream[:-1], b"\x00\x00\x02\x08\x01", b"\x80\x01" + b"\x00" * 128, b"\xff" * 11]


SEEDS = {"binary": binary_seeds, "json": json_seeds, "json_value": json_seeds,
         "descriptor_set": descriptor_set_seeds, "text": text_seeds,
         "delimited": delimited_seeds}  # fmt: skip

if __name__ == "__main__":
    for name, make in SEEDS.items():
        folder = HERE / "corpus" / name
        folder.mkdir(parents=True, exist_ok=True)
        for old in folder.iterdir():
            old.unlink()
        for i, data in enumerate(make()):
            (folder / f"seed-{i:02}").write_bytes(data)
        print(f"wrote {len(make())} seeds to {folder}")
