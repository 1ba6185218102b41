#!/usr/bin/env python3
"""The package a user downloads, made the same way every time: the same files
give the same zip, byte for byte, whatever folder they were built in and
whenever (`scripts/release` builds them and calls this).

    release.py pack  --bin DIR --out DIST --version V --epoch SECONDS --readme TEMPLATE
                     --vendor NAME... [--signed DIR]
    release.py check ZIP --version V --vendor NAME...

`pack` writes DIST/OrvaneUpdater-V.zip (one folder OrvaneUpdater-V/ holding the
two programs, the vendor files beside them, README.txt and SHA256SUMS of
those) and DIST/SHA256SUMS of the zip. `--signed DIR` takes the programs from
DIR instead (their signed copies). `check` says whether a zip holds exactly
the files a package must hold, each once, and whether its SHA256SUMS agrees.
"""
import argparse
import hashlib
import sys
import time
import zipfile
from pathlib import Path

PROGRAMS = ["OrvaneUpdater.exe", "OrvaneUpdaterRecovery.exe"]


def package_name(version):
    return f"OrvaneUpdater-{version}"


def expected_files(version, vendor):
    return sorted(PROGRAMS + list(vendor) + ["README.txt", "SHA256SUMS"])


def sums(files):
    """SHA256SUMS as sha256sum writes it (binary mode), names in a fixed order."""
    return "".join(f"{hashlib.sha256(data).hexdigest()} *{name}\n" for name, data in sorted(files.items()))


def zip_time(epoch):
    # Zip keeps local times from 1980 on, with two-second steps; the time is
    # the commit's, in UTC, so every build writes the same.
    t = time.gmtime(max(epoch, 315532800))
    return (t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec - t.tm_sec % 2)


def write_zip(path, folder, files, epoch):
    with zipfile.ZipFile(path, "w") as z:
        for name in sorted(files):
            info = zipfile.ZipInfo(f"{folder}/{name}", zip_time(epoch))
            info.create_system = 0  # MS-DOS attributes only: no owner, mode or Unix times
            info.external_attr = 0x20  # archive bit, as Windows' own zip folders write
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, files[name], compresslevel=9)


def pack(args):
    bindir, out = Path(args.bin), Path(args.out)
    files = {}
    for name in PROGRAMS:
        files[name] = ((Path(args.signed) if args.signed else bindir) / name).read_bytes()
    for name in args.vendor:
        # As the vendor ships them: the bytes the program checks before it loads them.
        files[name] = (bindir / name).read_bytes()
    readme = Path(args.readme).read_text(encoding="utf-8").replace("@VERSION@", args.version)
    # Windows' Notepad reads either; CRLF keeps older viewers from showing one line.
    files["README.txt"] = readme.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")
    files["SHA256SUMS"] = sums(files).encode("ascii")
    out.mkdir(parents=True, exist_ok=True)
    name = package_name(args.version)
    archive = out / f"{name}.zip"
    write_zip(archive, name, files, args.epoch)
    (out / "SHA256SUMS").write_text(sums({archive.name: archive.read_bytes()}), encoding="ascii")
    print(f"release: {archive} ({archive.stat().st_size} bytes)")
    print(f"release: {(out / 'SHA256SUMS').read_text().strip()}")
    return 0


def check(args):
    problems = []
    name = package_name(args.version)
    with zipfile.ZipFile(args.zip) as z:
        infos = z.infolist()
        names = [i.filename for i in infos]
        inside = [n[len(name) + 1:] for n in names if n.startswith(name + "/")]
        if len(inside) != len(names):
            problems.append(f"entries outside {name}/: {sorted(set(names) - {name + '/' + n for n in inside})}")
        if len(set(names)) != len(names):
            problems.append("an entry is there twice")
        want = expected_files(args.version, args.vendor)
        if sorted(inside) != want:
            problems.append(f"holds {sorted(inside)}, must hold {want}")
        files = {n[len(name) + 1:]: z.read(n) for n in names if n.startswith(name + "/")}
    listed = files.pop("SHA256SUMS", b"").decode("ascii", "replace")
    if listed != sums(files):
        problems.append("its SHA256SUMS does not match its files")
    for p in problems:
        print(f"release: {args.zip}: {p}", file=sys.stderr)
    return 1 if problems else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("pack")
    p.add_argument("--bin", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--version", required=True)
    p.add_argument("--epoch", required=True, type=int)
    p.add_argument("--readme", required=True)
    p.add_argument("--vendor", nargs="+", required=True)
    p.add_argument("--signed")
    c = sub.add_parser("check")
    c.add_argument("zip")
    c.add_argument("--version", required=True)
    c.add_argument("--vendor", nargs="+", required=True)
    args = parser.parse_args()
    return pack(args) if args.command == "pack" else check(args)


if __name__ == "__main__":
    sys.exit(main())
