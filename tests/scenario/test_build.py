"""What the shipped executable is made of: a 32-bit GUI program that imports
only system DLLs of Windows XP SP2, takes the cabinet functions by ordinal,
asks for administrator rights in its manifest and carries the built-in
address of the update server."""
import pathlib
import re
import subprocess
import xml.etree.ElementTree as ET

import pytest

from conftest import cmake_cache

OBJDUMP = "i686-w64-mingw32-objdump"
WINDRES = "i686-w64-mingw32-windres"
WINE_CABINET = pathlib.Path("/usr/lib/i386-linux-gnu/wine/i386-windows/cabinet.dll")

ALLOWED_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "version.dll", "wintrust.dll",
                "ws2_32.dll", "user32.dll", "cabinet.dll"}

# Functions that Windows XP SP2 does not have (Vista and later, or Server
# 2003 only); importing any of them stops the program from loading there.
NEWER_APIS = {
    "GetTickCount64", "InitializeSRWLock", "AcquireSRWLockExclusive", "AcquireSRWLockShared",
    "ReleaseSRWLockExclusive", "ReleaseSRWLockShared", "TryAcquireSRWLockExclusive",
    "TryAcquireSRWLockShared", "InitializeConditionVariable", "SleepConditionVariableCS",
    "SleepConditionVariableSRW", "WakeConditionVariable", "WakeAllConditionVariable",
    "InitOnceInitialize", "InitOnceExecuteOnce", "InitOnceBeginInitialize", "InitOnceComplete",
    "FlsAlloc", "FlsFree", "FlsGetValue", "FlsSetValue", "CreateSymbolicLinkW",
    "CreateSymbolicLinkA", "GetFileInformationByHandleEx", "SetFileInformationByHandle",
    "CancelIoEx", "CancelSynchronousIo", "GetFinalPathNameByHandleW", "CreateEventExW",
    "CreateMutexExW", "CreateSemaphoreExW", "InitializeCriticalSectionEx",
    "GetCurrentProcessorNumber", "GetThreadId", "QueryFullProcessImageNameW", "GetErrorMode",
    "GetLocaleInfoEx", "LCMapStringEx", "CompareStringEx", "GetUserDefaultLocaleName",
    "GetSystemTimePreciseAsFileTime", "CreateFile2", "AddDllDirectory",
    "SetDefaultDllDirectories", "GetNamedPipeClientProcessId", "RegGetValueW", "RegGetValueA",
    "RegDeleteKeyExW", "RegDeleteTreeW", "RegSetKeyValueW", "RegCopyTreeW", "WSAPoll",
    "inet_pton", "inet_ntop", "InetPtonW", "InetNtopW", "WSASendMsg", "GetAddrInfoExW",
}


@pytest.fixture(scope="module")
def exe(build_dir):
    return build_dir / "QuarnUpdaterRepair.exe"


@pytest.fixture(scope="module")
def headers(exe):
    return subprocess.run([OBJDUMP, "-p", str(exe)], check=True, capture_output=True,
                          text=True).stdout


def parse_imports(dump):
    """{dll name: [(ordinal or None, name or None)]} from objdump -p."""
    imports, current = {}, None
    for line in dump.splitlines():
        named = re.match(r"\s*DLL Name: (\S+)", line)
        if named:
            current = imports.setdefault(named.group(1), [])
            continue
        if current is None:
            continue
        entry = re.match(r"\t([0-9a-f]+)\t\s*(\d+)\s+(\S+)", line)
        if entry:
            thunk = int(entry.group(1), 16)
            # A set top bit marks an import by ordinal.
            if thunk & 0x80000000:
                current.append((thunk & 0xFFFF, None))
            else:
                current.append((None, entry.group(3)))
        elif line and not line.startswith("\t"):
            current = None
    return imports


def export_ordinals(dll):
    """{ordinal: name} of a DLL's export table."""
    dump = subprocess.run([OBJDUMP, "-p", str(dll)], check=True, capture_output=True,
                          text=True).stdout
    base = int(re.search(r"Ordinal Base\s+(\d+)", dump).group(1))
    table = dump.split("[Ordinal/Name Pointer] Table", 1)[1]
    names = {}
    for index, name in re.findall(r"^\s*\[\s*(\d+)\] (\S+)$", table, re.M):
        names[int(index) + base] = name
    return names


def resources_as_rc(exe):
    return subprocess.run([WINDRES, "-i", str(exe), "-O", "rc"], check=True,
                          capture_output=True, text=True, errors="replace").stdout


def manifest_text(rc):
    """The RT_MANIFEST resource, decoded from windres's rc listing."""
    block = re.search(r"^\d+ 24 /\* RT_MANIFEST \*/\nBEGIN\n(.*?)^END", rc, re.M | re.S)
    assert block, "no manifest resource"
    parts = re.findall(r'^\s*"((?:[^"]|"")*)"', block.group(1), re.M)
    text = "".join(parts).replace('""', '"')
    return text.encode("latin-1").decode("unicode_escape")


def test_image_is_32_bit_gui_program(headers):
    assert "file format pei-i386" in headers
    assert re.search(r"^Magic\s+010b\s+\(PE32\)", headers, re.M)
    assert re.search(r"^Subsystem\s+00000002\s+\(Windows GUI\)", headers, re.M)
    # The loader of Windows XP refuses images that claim a newer subsystem.
    major = int(re.search(r"^MajorSubsystemVersion\s+(\d+)", headers, re.M).group(1))
    minor = int(re.search(r"^MinorSubsystemVersion\s+(\d+)", headers, re.M).group(1))
    assert (major, minor) <= (5, 1)


def test_imports_only_xp_system_dlls(headers):
    imports = parse_imports(headers)
    dlls = {name.lower() for name in imports}
    assert "kernel32.dll" in dlls and "cabinet.dll" in dlls
    assert dlls <= ALLOWED_DLLS, f"unexpected DLLs: {sorted(dlls - ALLOWED_DLLS)}"
    assert not any(re.match(r"(libstdc\+\+|libgcc|libwinpthread|wininet)", d) for d in dlls)
    named = {name for entries in imports.values() for _, name in entries if name}
    assert not named & NEWER_APIS, f"newer than XP SP2: {sorted(named & NEWER_APIS)}"


def test_cabinet_functions_imported_by_ordinal(headers):
    imports = {name.lower(): entries for name, entries in parse_imports(headers).items()}
    cabinet = imports["cabinet.dll"]
    assert all(name is None for _, name in cabinet), f"named Cabinet imports: {cabinet}"
    assert sorted(ordinal for ordinal, _ in cabinet) == [20, 22, 23]
    named = {name for entries in imports.values() for _, name in entries if name}
    assert not {n for n in named if n.startswith("FDI")}
    if WINE_CABINET.exists():
        # The ordinals name the intended functions in the cabinet library
        # the tests run against.
        exports = export_ordinals(WINE_CABINET)
        assert [exports[o] for o in (20, 22, 23)] == ["FDICreate", "FDICopy", "FDIDestroy"]


def test_manifest_asks_for_administrator_and_lists_systems(exe):
    rc = resources_as_rc(exe)
    root = ET.fromstring(manifest_text(rc))
    ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
          "c": "urn:schemas-microsoft-com:compatibility.v1"}
    level = root.find(".//v3:requestedExecutionLevel", ns)
    assert level is not None
    assert (level.get("level"), level.get("uiAccess")) == ("requireAdministrator", "false")
    systems = {e.get("Id").lower() for e in root.findall(".//c:supportedOS", ns)}
    assert systems == {
        "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10
    }
    assert re.search(r"^\d+ VERSIONINFO$", rc, re.M), "no version resource"


def test_built_in_address_names_the_configured_host(exe):
    host = cmake_cache("QUARN_UPDATE_HOST")
    assert host
    image = exe.read_bytes()
    url = f"http://{host}/files/emupdate/20150209.cab"
    assert url.encode("utf-16-le") in image
