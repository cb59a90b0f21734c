"""Cabinet extraction against the system's cabinet library under Wine.

Cabinets are made at test time: ordinary ones with gcab, and the ones gcab
cannot make (stored names that try to leave the destination, a set spanning
two cabinets) byte by byte with the small writer below. Every case is data:
how its folders are laid out, what ExtractCabinet must answer, and what the
folders must hold afterwards. One Wine start runs the whole table through
tools/cabinet_extract.cpp.
"""
import dataclasses
import os
import pathlib
import shutil
import struct
import subprocess
from typing import Callable, Dict, List, Optional, Tuple

import pytest

from conftest import BUILD, run_windows

CABINET = "20150209.cab"
TOOL = "cabinet_extract.exe"

# ---------------------------------------------------------------------------
# A minimal cabinet writer: one uncompressed folder per cabinet.
#
#   CFHEADER  "MSCF", sizes and offsets, version 1.3, counts, flags, set id,
#             index [, previous cabinet and disk names] [, next ones]
#   CFFOLDER  offset of its first CFDATA, number of CFDATA, compression 0
#   CFFILE    size, offset in the folder, folder index, date, time,
#             attributes, zero-terminated name   (one per file)
#   CFDATA    checksum (0: none), stored size, uncompressed size, bytes
# ---------------------------------------------------------------------------
CFHDR_PREV_CABINET = 0x0001
CFHDR_NEXT_CABINET = 0x0002
IFOLD_CONTINUED_FROM_PREV = 0xFFFD
IFOLD_CONTINUED_TO_NEXT = 0xFFFE
ATTR_ARCHIVE = 0x20
ATTR_NAME_IS_UTF = 0x80
DOS_DATE = ((2015 - 1980) << 9) | (2 << 5) | 9
BLOCK = 32768


@dataclasses.dataclass
class Entry:
    name: bytes
    size: int
    offset: int = 0          # in the (possibly spanned) folder
    folder: int = 0


def write_cabinet(entries: List[Entry], data: bytes, *, prev: Optional[Tuple[str, str]] = None,
                  next_: Optional[Tuple[str, str]] = None, set_id: int = 0, index: int = 0,
                  carried: int = 0) -> bytes:
    """With next_, the last data block is split: its rest begins the next
    cabinet, whose first block then counts the `carried` bytes stored here."""
    flags = 0
    names = b""
    if prev:
        flags |= CFHDR_PREV_CABINET
        names += prev[0].encode() + b"\0" + prev[1].encode() + b"\0"
    if next_:
        flags |= CFHDR_NEXT_CABINET
        names += next_[0].encode() + b"\0" + next_[1].encode() + b"\0"
    files = b""
    for e in entries:
        attribs = ATTR_ARCHIVE | (ATTR_NAME_IS_UTF if any(b > 0x7F for b in e.name) else 0)
        files += struct.pack("<IIHHHH", e.size, e.offset, e.folder, DOS_DATE, 0, attribs) + e.name + b"\0"
    blocks = [data[i:i + BLOCK] for i in range(0, len(data), BLOCK)] or [b""]
    sizes = [len(b) for b in blocks]
    sizes[0] += carried
    if next_:
        sizes[-1] = 0
    cfdata = b"".join(struct.pack("<IHH", 0, len(b), n) + b for b, n in zip(blocks, sizes))
    header_size = 36 + len(names)
    folder_offset = header_size
    files_offset = folder_offset + 8
    data_offset = files_offset + len(files)
    total = data_offset + len(cfdata)
    header = struct.pack("<4sIIIIIBBHHHHH", b"MSCF", 0, total, 0, files_offset, 0, 3, 1,
                         1, len(entries), flags, set_id, index)
    folder = struct.pack("<IHH", data_offset, len(blocks), 0)
    return header + names + folder + files + cfdata


def simple_cabinet(files: List[Tuple[bytes, bytes]]) -> bytes:
    entries, data = [], b""
    for name, content in files:
        entries.append(Entry(name, len(content), len(data)))
        data += content
    return write_cabinet(entries, data)


def gcab(folder: pathlib.Path, cabinet: pathlib.Path, names: List[str], compress: bool = True):
    args = ["gcab", "-c"] + (["-z"] if compress else []) + [str(cabinet)] + names
    subprocess.run(args, cwd=folder, check=True, capture_output=True)


def wine_path(path: pathlib.Path) -> str:
    # Wine maps the Unix root to drive Z:.
    return "Z:" + str(path).replace("/", "\\")


def tree(root: pathlib.Path) -> Dict[str, bytes]:
    """Relative path -> contents of every file below root (folders as None)."""
    out = {}
    for p in sorted(root.rglob("*")):
        out[p.relative_to(root).as_posix()] = p.read_bytes() if p.is_file() else None
    return out


# ---------------------------------------------------------------------------
# The cases.
# ---------------------------------------------------------------------------
@dataclasses.dataclass
class Case:
    name: str
    prepare: Callable[[pathlib.Path], Tuple[pathlib.Path, pathlib.Path]]   # -> cabinet folder, destination
    result: int
    verify: Callable[[pathlib.Path], None]


BINARY = bytes((i * 37 + i // 1000) % 256 for i in range(200_000))
TEXT = b"line of text\r\n" * 5000
SOURCES = {"QuarnEmUpdate.exe": BINARY, "2218.sum": b"0123456789abcdef\r\n", "notes.txt": TEXT,
           "empty.dat": b""}


def layout(case_dir: pathlib.Path, make_dest=True):
    cab_dir = case_dir / "cab"
    dest = case_dir / "dest"
    cab_dir.mkdir(parents=True)
    if make_dest:
        dest.mkdir()
    return cab_dir, dest


def prepare_all_land(case_dir, compress):
    cab_dir, dest = layout(case_dir)
    src = case_dir / "src"
    src.mkdir()
    for name, content in SOURCES.items():
        (src / name).write_bytes(content)
    gcab(src, cab_dir / CABINET, list(SOURCES), compress)
    # An existing file, longer than the new one, must be replaced whole.
    (dest / "2218.sum").write_bytes(b"OLD CONTENT THAT IS MUCH LONGER THAN THE NEW ONE\r\n" * 10)
    return cab_dir, dest


def verify_all_land(case_dir):
    assert tree(case_dir / "dest") == SOURCES


def prepare_folder_part(case_dir, sub_exists):
    cab_dir, dest = layout(case_dir)
    src = case_dir / "src"
    (src / "sub").mkdir(parents=True)
    (src / "top.txt").write_bytes(b"top\r\n")
    (src / "sub" / "inner.txt").write_bytes(b"inner\r\n")
    gcab(src, cab_dir / CABINET, ["top.txt", "sub/inner.txt"])
    if sub_exists:
        (dest / "sub").mkdir()
    return cab_dir, dest


def verify_folder_part_missing(case_dir):
    # Nothing creates the folder; what came before the failing file stays.
    assert tree(case_dir / "dest") == {"top.txt": b"top\r\n"}


def verify_folder_part_present(case_dir):
    assert tree(case_dir / "dest") == {"top.txt": b"top\r\n", "sub": None, "sub/inner.txt": b"inner\r\n"}


MARKER = "quarn-escape"


def escaping_names(case_dir: pathlib.Path) -> List[bytes]:
    outside = wine_path(case_dir)
    return [
        b"..\\" + MARKER.encode() + b"-1.txt",
        b"../" + MARKER.encode() + b"-2.txt",
        b"sub\\..\\..\\" + MARKER.encode() + b"-3.txt",
        b"sub/../../" + MARKER.encode() + b"-4.txt",
        b"C:\\" + MARKER.encode() + b"-5.txt",
        b"\\" + MARKER.encode() + b"-6.txt",
        b"/" + MARKER.encode() + b"-7.txt",
        MARKER.encode() + b"-8.txt:stream",
        b"\\\\?\\" + outside.encode() + b"\\" + MARKER.encode() + b"-9.txt",
        outside.encode() + b"\\" + MARKER.encode() + b"-10.txt",
        b"sub\\...\\" + MARKER.encode() + b"-11.txt",
        b"NUL",
    ]


def prepare_escape(case_dir, index):
    cab_dir, dest = layout(case_dir)
    (dest / "sub").mkdir()   # so that "sub\..\.." would really climb out
    name = escaping_names(case_dir)[index]
    cabinet = simple_cabinet([(b"first.txt", b"first\r\n"), (name, b"escaped!\r\n"),
                              (b"last.txt", b"last\r\n")])
    (cab_dir / CABINET).write_bytes(cabinet)
    return cab_dir, dest


def verify_escape(case_dir):
    # The file before the refused one landed; the refused one and everything
    # after it did not, anywhere.
    assert tree(case_dir) == {
        "cab": None, f"cab/{CABINET}": (case_dir / "cab" / CABINET).read_bytes(),
        "dest": None, "dest/first.txt": b"first\r\n", "dest/sub": None,
    }
    prefix = pathlib.Path(os.environ.get("QUARN_WINEPREFIX", BUILD / "wineprefix"))
    for folder in (prefix / "drive_c", pathlib.Path("/"), case_dir.parent):
        assert not list(folder.glob(MARKER + "*")), f"escaped into {folder}"


def prepare_spanned(case_dir):
    """A set of two cabinets whose second file continues in the next one.
    Both cabinets are present, so only the refusal to go on stops it."""
    cab_dir, dest = layout(case_dir)
    alone = b"alone\r\n" * 4681 + b"!"   # exactly one whole block before the split one
    big = bytes(range(256)) * 8
    split = 700
    first = write_cabinet(
        [Entry(b"alone.txt", len(alone), 0, 0),
         Entry(b"big.bin", len(big), len(alone), IFOLD_CONTINUED_TO_NEXT)],
        alone + big[:split], next_=("20150210.cab", "disk 2"), set_id=0x5151, index=0)
    second = write_cabinet(
        [Entry(b"big.bin", len(big), len(alone), IFOLD_CONTINUED_FROM_PREV)],
        big[split:], prev=(CABINET, "disk 1"), set_id=0x5151, index=1, carried=split)
    (cab_dir / CABINET).write_bytes(first)
    (cab_dir / "20150210.cab").write_bytes(second)
    # The set itself is sound: a tool that follows sets unpacks it whole.
    check = case_dir / "check"
    subprocess.run(["cabextract", "-q", "-d", str(check), str(cab_dir / CABINET)], check=True,
                   capture_output=True)
    assert tree(check) == {"alone.txt": alone, "big.bin": big}
    shutil.rmtree(check)
    return cab_dir, dest


def verify_spanned(case_dir):
    landed = tree(case_dir / "dest")
    assert landed.get("alone.txt") == b"alone\r\n" * 4681 + b"!"
    assert set(landed) <= {"alone.txt", "big.bin"}
    assert len(landed.get("big.bin", b"")) < 2048, "the continued file must not be completed"


def prepare_damaged(case_dir, how):
    cab_dir, dest = layout(case_dir)
    src = case_dir / "src"
    src.mkdir()
    (src / "QuarnEmUpdate.exe").write_bytes(BINARY)
    gcab(src, cab_dir / CABINET, ["QuarnEmUpdate.exe"], compress=False)
    data = (cab_dir / CABINET).read_bytes()
    if how == "truncated":
        data = data[:len(data) // 2]
    elif how == "not a cabinet":
        data = b"<html>404 Not Found</html>\r\n" * 20
    elif how == "missing":
        data = None
    if data is None:
        (cab_dir / CABINET).unlink()
    else:
        (cab_dir / CABINET).write_bytes(data)
    return cab_dir, dest


def verify_nothing_complete(case_dir):
    landed = tree(case_dir / "dest")
    assert landed.get("QuarnEmUpdate.exe") != BINARY


def prepare_no_destination(case_dir):
    cab_dir, dest = layout(case_dir, make_dest=False)
    src = case_dir / "src"
    src.mkdir()
    (src / "a.txt").write_bytes(b"a")
    gcab(src, cab_dir / CABINET, ["a.txt"])
    return cab_dir, dest


def verify_no_destination(case_dir):
    assert not (case_dir / "dest").exists()


NON_ASCII_FILES = {"naïve-ß.txt": b"utf-8 name\r\n", "QuarnEmUpdate.exe": BINARY[:5000]}


def prepare_non_ascii(case_dir):
    base = case_dir / "Zürich 日本 ü"
    cab_dir = base / "Ωcab"
    dest = base / "Ärger €"
    cab_dir.mkdir(parents=True)
    dest.mkdir()
    src = case_dir / "src"
    src.mkdir()
    for name, content in NON_ASCII_FILES.items():
        (src / name).write_bytes(content)
    gcab(src, cab_dir / CABINET, list(NON_ASCII_FILES))
    return cab_dir, dest


def verify_non_ascii(case_dir):
    assert tree(case_dir / "Zürich 日本 ü" / "Ärger €") == NON_ASCII_FILES


CASES = [
    Case("every file lands, MSZIP", lambda d: prepare_all_land(d, True), 0, verify_all_land),
    Case("every file lands, stored", lambda d: prepare_all_land(d, False), 0, verify_all_land),
    Case("folder part without the folder", lambda d: prepare_folder_part(d, False), 13,
         verify_folder_part_missing),
    Case("folder part with the folder", lambda d: prepare_folder_part(d, True), 0,
         verify_folder_part_present),
    Case("non-ASCII folders and names", prepare_non_ascii, 0, verify_non_ascii),
    Case("set needing the next cabinet", prepare_spanned, 13, verify_spanned),
    Case("truncated cabinet", lambda d: prepare_damaged(d, "truncated"), 13, verify_nothing_complete),
    Case("not a cabinet", lambda d: prepare_damaged(d, "not a cabinet"), 13, verify_nothing_complete),
    Case("missing cabinet", lambda d: prepare_damaged(d, "missing"), 13, verify_nothing_complete),
    Case("missing destination", prepare_no_destination, 13, verify_no_destination),
] + [
    Case(f"escaping name {i}", (lambda i: lambda d: prepare_escape(d, i))(i), 13, verify_escape)
    for i in range(len(escaping_names(pathlib.Path("/x"))))
]


@pytest.fixture(scope="module")
def extraction(tmp_path_factory):
    if not (BUILD / TOOL).exists():
        pytest.fail(f"{TOOL} is not built in {BUILD}")
    if not shutil.which("gcab") or not shutil.which("cabextract"):
        pytest.fail("gcab and cabextract are needed")
    root = tmp_path_factory.mktemp("cabinets")
    args, dirs = [], []
    for i, case in enumerate(CASES):
        case_dir = root / f"case{i}"
        case_dir.mkdir()
        cab_dir, dest = case.prepare(case_dir)
        args += [wine_path(cab_dir), wine_path(dest)]
        dirs.append(case_dir)
    # Arguments reach Wine through the Unix locale: it must be UTF-8.
    code, out, err = run_windows(TOOL, args, env={"LC_ALL": "C.UTF-8"}, timeout=300)
    assert code == 0, err
    results = {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[0] == "RESULT":
            results[int(parts[1])] = int(parts[2])
    return results, dirs, out


@pytest.mark.parametrize("index", range(len(CASES)), ids=[c.name for c in CASES])
def test_extraction(extraction, index):
    results, dirs, out = extraction
    case = CASES[index]
    assert results.get(index) == case.result, out
    case.verify(dirs[index])
