"""The Windows form of preloading a library: a function that a loaded module
imports from a DLL is replaced in that module's import address table, so a
test can give the module another clock or a failing allocator while the
interpreter itself keeps the real ones. Windows only (ctypes.WinDLL)."""

import ctypes
import struct
from ctypes import wintypes

_kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
_kernel32.GetModuleHandleW.restype = ctypes.c_void_p
_kernel32.GetModuleHandleW.argtypes = [wintypes.LPCWSTR]
_kernel32.VirtualProtect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, wintypes.DWORD, ctypes.POINTER(wintypes.DWORD)]
_PAGE_READWRITE = 0x04
_ORDINAL_FLAG = 1 << 63


def _import_slot(base, function):
    """The address of the pointer through which the module at `base` calls `function`."""

    def read(fmt, offset):
        size = struct.calcsize(fmt)
        return struct.unpack(fmt, ctypes.string_at(base + offset, size))

    (nt_header,) = read("<I", 0x3C)
    (magic,) = read("<H", nt_header + 24)
    assert magic == 0x20B, "not a 64-bit module"
    # The optional header's data directories start 112 bytes in; the second is the imports.
    (imports, _) = read("<II", nt_header + 24 + 112 + 8)
    for descriptor in range(imports, imports + 20 * 4096, 20):
        lookup, _, _, name, addresses = read("<IIIII", descriptor)
        if name == 0:
            break
        lookup = lookup or addresses
        for index in range(1 << 16):
            (entry,) = read("<Q", lookup + 8 * index)
            if entry == 0:
                break
            if not entry & _ORDINAL_FLAG and ctypes.string_at(base + (entry & 0x7FFFFFFF) + 2) == function.encode():
                return base + addresses + 8 * index
    raise LookupError(f"the module does not import {function}")


class ImportReplacement:
    """Replaces `function` as the module at `path` imports it with `replacement`, a
    ctypes function (kept alive here), until `restore()`. `original` calls the real one."""

    def __init__(self, path, function, prototype, replacement):
        base = _kernel32.GetModuleHandleW(str(path))
        if not base:
            raise OSError(ctypes.get_last_error(), f"{path} is not loaded")
        self._slot = _import_slot(base, function)
        self._saved = ctypes.c_void_p.from_address(self._slot).value
        self.original = prototype(self._saved)
        self._replacement = prototype(replacement)
        self._write(ctypes.cast(self._replacement, ctypes.c_void_p).value)

    def _write(self, pointer):
        old = wintypes.DWORD()
        if not _kernel32.VirtualProtect(self._slot, 8, _PAGE_READWRITE, ctypes.byref(old)):
            raise ctypes.WinError(ctypes.get_last_error())
        ctypes.c_void_p.from_address(self._slot).value = pointer
        _kernel32.VirtualProtect(self._slot, 8, old.value, ctypes.byref(old))

    def restore(self):
        self._write(self._saved)


def windows_ticks(unix_seconds):
    """A FILETIME's count of 100-ns ticks since 1601 for a time in seconds since 1970."""
    return (unix_seconds + 11_644_473_600) * 10_000_000


class FakeClock:
    """The module's wall clock (GetSystemTimePreciseAsFileTime) reads `now`, seconds
    since 1970 in UTC, instead of the system's."""

    PROTOTYPE = ctypes.WINFUNCTYPE(None, ctypes.POINTER(ctypes.c_uint64))

    def __init__(self, module_path, now):
        self.now = now
        self._replacement = ImportReplacement(module_path, "GetSystemTimePreciseAsFileTime", self.PROTOTYPE, self._read)

    def _read(self, filetime):
        filetime[0] = windows_ticks(self.now)

    def restore(self):
        self._replacement.restore()
