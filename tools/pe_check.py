#!/usr/bin/env python3
"""Checks of the Windows binaries that need no execution, so that the build
that cannot run on this machine is still held to them: the machine type, the
imports (system libraries that may be planted beside the program are
delay-loaded, never imported plainly, and the Kestrel SDK is loaded at run
time, checked against the digests the programs carry), the exports the program and the
libraries bind by name, the resources the program reads, and that the
shipped programs carry no way into the simulated mouse.

    pe_check.py SOURCE_DIR BIN_DIR BITS
"""
import hashlib
import re
import struct
import sys
from pathlib import Path

MACHINES = {"32": 0x14C, "64": 0x8664}
# Loaded from System32 whatever the search order, so imported as usual.
ALWAYS_SYSTEM = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "ole32.dll", "shlwapi.dll", "msvcrt.dll"}
# Not known system libraries: a file of that name beside the program would
# load in their place, so they wait until the search is narrowed.
DELAY_LOADED = {"hid.dll", "setupapi.dll", "gdiplus.dll", "comctl32.dll"}
SHIPPED = ["OrvaneUpdater.exe", "OrvaneUpdaterRecovery.exe"]
OUR_DLLS = ["FWUpdater.dll", "Tmb.dll", "KestrelHidCoreLib.dll", "KestrelRuntime.dll"]
RT_BITMAP, RT_STRING, RT_GROUP_ICON, RT_DIALOG, RT_MANIFEST = 2, 6, 14, 5, 24


class Pe:
    def __init__(self, path):
        self.path = path
        self.data = path.read_bytes()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError(f"{path.name}: not a PE file")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{path.name}: no PE header")
        self.machine, nsections = struct.unpack_from("<HH", d, pe + 4)
        opt_size = struct.unpack_from("<H", d, pe + 20)[0]
        opt = pe + 24
        magic = struct.unpack_from("<H", d, opt)[0]
        self.wide = magic == 0x20B
        dirs = opt + (112 if self.wide else 96)
        self.dirs = [struct.unpack_from("<II", d, dirs + 8 * i) for i in range(16)]
        self.sections = []
        for i in range(nsections):
            s = opt + opt_size + 40 * i
            vsize, va, rawsize, raw = struct.unpack_from("<IIII", d, s + 8)
            self.sections.append((va, max(vsize, rawsize), raw))

    def off(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError(f"{self.path.name}: address {rva:#x} in no section")

    def cstr(self, rva):
        o = self.off(rva)
        return self.data[o:self.data.index(b"\0", o)].decode("ascii")

    def imports(self):
        """{dll (lower case): [names]} of the plain import table."""
        rva, size = self.dirs[1]
        out = {}
        if not rva:
            return out
        o = self.off(rva)
        thunk_size, ord_flag = (8, 1 << 63) if self.wide else (4, 1 << 31)
        while True:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, o)
            if not name:
                break
            names = []
            t = self.off(lookup or first)
            while True:
                v = struct.unpack_from("<Q" if self.wide else "<I", self.data, t)[0]
                if not v:
                    break
                names.append(f"#{v & 0xFFFF}" if v & ord_flag else self.cstr((v & 0x7FFFFFFF) + 2))
                t += thunk_size
            out.setdefault(self.cstr(name).lower(), []).extend(names)
            o += 20
        return out

    def exports(self):
        rva, size = self.dirs[0]
        if not rva:
            return set()
        o = self.off(rva)
        count, names = struct.unpack_from("<II", self.data, o + 24)[0], struct.unpack_from("<I", self.data, o + 32)[0]
        return {self.cstr(struct.unpack_from("<I", self.data, self.off(names) + 4 * i)[0]) for i in range(count)}

    def resources(self):
        """{(type, id): bytes} for every resource, types and ids as ints or names."""
        rva, size = self.dirs[2]
        out = {}
        if not rva:
            return out
        base = self.off(rva)

        def entries(o):
            named, ids = struct.unpack_from("<HH", self.data, o + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, o + 16 + 8 * i)
                if key & 0x80000000:
                    n = base + (key & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", self.data, n)[0]
                    key = self.data[n + 2:n + 2 + 2 * length].decode("utf-16-le")
                yield key, target

        for rtype, t in entries(base):
            for rid, i in entries(base + (t & 0x7FFFFFFF)):
                for _, leaf in entries(base + (i & 0x7FFFFFFF)):
                    drva, dsize = struct.unpack_from("<II", self.data, base + leaf)
                    o = self.off(drva)
                    out[(rtype, rid)] = self.data[o:o + dsize]
        return out


def names_in(header, pattern):
    return set(re.findall(pattern, header.read_text(), re.M))


def main(source, bindir, bits):
    src, bindir = Path(source), Path(bindir)
    problems = []

    def check(ok, what):
        if not ok:
            problems.append(what)

    # What the program and the libraries bind by name, from the headers that declare it.
    bound = {
        "fwupdater.dll": names_in(src / "vendor/FWUpdater.h", r'^#define FWU_NAME_\w+ "(\w+)"'),
        "kestrelhidcorelib.dll": names_in(src / "vendor/KestrelHidCore.h", r"^KESTREL_API .*VENDOR_CALL (\w+)\("),
        "tmb.dll": names_in(src / "standins/TmbApi.h", r"^TMB_API .*VENDOR_CALL (\w+)\("),
        "kestrelruntime.dll": names_in(src / "standins/KestrelRuntime.h", r"^KESTREL_RUNTIME_API .*VENDOR_CALL (\w+)\("),
    }
    for dll, names in bound.items():
        check(names, f"no names of {dll} found in the headers")

    pes = {}
    for name in SHIPPED + OUR_DLLS:
        path = bindir / name
        if not path.exists():
            problems.append(f"{name}: missing")
            continue
        pes[name] = pe = Pe(path)
        check(pe.machine == MACHINES[bits], f"{name}: machine {pe.machine:#x}, not the {bits}-bit build's")
        # Every name imported from one of our libraries is exported by it, or the loader refuses the program.
        for dll, names in pe.imports().items():
            ours = next((bindir / d for d in OUR_DLLS if d.lower() == dll), None)
            if ours and ours.exists():
                missing = set(names) - Pe(ours).exports()
                check(not missing, f"{name}: imports {sorted(missing)} that {dll} does not export")
    for name in OUR_DLLS:
        if name in pes:
            missing = bound[name.lower()] - pes[name].exports()
            check(not missing, f"{name}: does not export {sorted(missing)}")

    # Neither the programs, nor the libraries they carry, nor the drivers know of
    # the simulation: they meet the mouse through HID reports only.
    for path in [bindir / n for n in SHIPPED + OUR_DLLS] + sorted((bindir / "virtualhid").glob("*.sys")):
        if path.exists():
            data = path.read_bytes()
            for text in ("ORVANE_SIMMOUSE", "mouse.state"):
                check(text.encode() not in data and text.encode("utf-16-le") not in data,
                      f"{path.name}: contains '{text}'")

    for name in SHIPPED:
        pe = pes.get(name)
        if not pe:
            continue
        imports = pe.imports()
        plain = set(imports)
        check(plain <= ALWAYS_SYSTEM, f"{name}: imports {sorted(plain - ALWAYS_SYSTEM)} plainly")
        # The vendor files beside the program load only with the digests the program carries, which must
        # be those of this build's files, the SDK first.
        listed = bindir.parent / "vendor-files.txt"
        vendor = listed.read_text().split() if listed.exists() else []
        check(vendor[:1] == ["KestrelHidCoreLib.dll"], f"{name}: vendor-files.txt does not list the SDK first")
        for file in vendor:
            digest = hashlib.sha256((bindir / file).read_bytes()).hexdigest() if (bindir / file).exists() else "?"
            check(file.encode() in pe.data and digest.encode() in pe.data,
                  f"{name}: does not carry the digest of this build's {file}")
        for dll in DELAY_LOADED:
            check(dll.encode() in pe.data.lower(), f"{name}: does not name {dll} for its delayed load")
        res = pe.resources()

        for key, what in [((RT_DIALOG, 102), "dialog 102"), ((RT_BITMAP, 129), "bitmap 129"),
                          ((RT_GROUP_ICON, 128), "icon 128"), (("PNG", 134), "PNG 134"), (("PNG", 135), "PNG 135"),
                          ((RT_MANIFEST, 1), "manifest"), ((RT_STRING, 10000 // 16 + 1), "English strings"),
                          ((RT_STRING, 11000 // 16 + 1), "Traditional Chinese strings"),
                          ((RT_STRING, 12000 // 16 + 1), "Simplified Chinese strings")]:
            check(key in res, f"{name}: no {what}")
        for rid, file in [(145, "FWUpdater.dll"), (149, "Tmb.dll")]:
            payload = res.get(("DLL", rid))
            if payload is None or file not in pes:
                problems.append(f"{name}: no DLL {rid}")
                continue
            # The library the program writes and loads must be the one this build made, for its own machine.
            check(payload == pes[file].data, f"{name}: DLL {rid} is not this build's {file}")
        for rid, file in [(153, "MouseFW.bin"), (154, "Mouse_TMB_recovery.sfw" if "Recovery" in name else "Mouse_TMB.sfw")]:
            payload = res.get(("FIRMWARE", rid))
            built = bindir.parent / "firmware" / file
            check(payload is not None and built.exists() and payload == built.read_bytes(),
                  f"{name}: FIRMWARE {rid} is not {file}")
        manifest = res.get((RT_MANIFEST, 1), b"").decode("utf-8", "replace")
        arch = {"32": "x86", "64": "amd64"}[bits]
        check(f'processorArchitecture="{arch}"' in manifest and "requireAdministrator" in manifest,
              f"{name}: the manifest does not ask for administrator rights for {arch}")

    for p in problems:
        print("FAIL:", p)
    print(f"{len(SHIPPED) + len(OUR_DLLS)} binaries of the {bits}-bit build checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
