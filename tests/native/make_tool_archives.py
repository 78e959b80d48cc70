#!/usr/bin/env python3
"""Writes zip archives the way publishers' tools write them, for the extraction
tests to read and compare with unzip.

    make_tool_archives.py OUT

OUT/ok/*.zip      archives the library must extract exactly as `unzip -j` does
OUT/refuse/*.zip  archives it must refuse without writing anything
OUT/missing.txt   the tools that are not installed, one a line

Info-ZIP zip, 7-Zip and bsdtar run as installed; Python's zipfile runs here.
The .NET and Windows compressed-folder layouts have no tool on Debian, so they
are written byte by byte below, with the fields those writers use.
"""
import io
import os
import random
import shutil
import struct
import subprocess
import sys
import zipfile
import zlib

OUT = sys.argv[1]
SRC = os.path.join(OUT, "src")
OK = os.path.join(OUT, "ok")
REFUSE = os.path.join(OUT, "refuse")
missing = []

# ASCII names only: how unflagged non-ASCII names are read is not what these
# archives test. Sizes cross the library's 64 KiB buffers.
rng = random.Random(20261207)
FILES = {
    "leia-me.txt": b"linha 1\r\nlinha 2\r\n",
    "QuarnSQLService.exe": bytes(rng.getrandbits(8) for _ in range(150000)),
    "vazio.txt": b"",
    "dados/registro.log": b"".join(b"07/12/2026 05:58:36 backup %d ok\r\n" % (i % 97) for i in range(9000)),
}


def write_sources():
    shutil.rmtree(OUT, ignore_errors=True)
    for d in (SRC, OK, REFUSE):
        os.makedirs(d)
    for name, data in FILES.items():
        path = os.path.join(SRC, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def run(cmd, stdin=None, stdout=None):
    subprocess.run(cmd, cwd=SRC, input=stdin, stdout=stdout or subprocess.DEVNULL, check=True,
                   stderr=subprocess.DEVNULL)


def have(tool):
    if shutil.which(tool):
        return True
    missing.append(tool)
    return False


def piped(cmd, path, stdin=None):
    """Runs cmd writing the archive to a pipe, so the tool cannot seek back."""
    p = subprocess.Popen(cmd, cwd=SRC, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    data, _ = p.communicate(stdin)
    if p.returncode != 0:
        raise subprocess.CalledProcessError(p.returncode, cmd)
    with open(path, "wb") as f:
        f.write(data)


NAMES = ["leia-me.txt", "QuarnSQLService.exe", "vazio.txt", "dados/registro.log"]


def info_zip():
    if not have("zip"):
        return
    for level, tag in (("-0", "stored"), ("-9", "deflated")):
        def ok(name):
            return os.path.join(OK, f"zip-{tag}-{name}.zip")
        run(["zip", "-q", level, "-r", ok("plain"), *NAMES, "dados"])
        run(["zip", "-q", level, "-X", ok("no-extra"), *NAMES])
        run(["zip", "-q", level, "-fz", ok("zip64"), *NAMES])
        # Archive comment, then one comment per entry, all read from stdin.
        run(["zip", "-q", level, "-z", ok("comments"), *NAMES], stdin=b"arquivo de teste\r\n.\r\n")
        run(["zip", "-q", level, "-c", ok("comments"), *NAMES], stdin=b"um\ndois\ntres\nquatro\n")
        piped(["zip", "-q", level, "-", *NAMES], ok("descriptors"))
        # Streamed input: the size is unknown, so the local header carries ZIP64 fields.
        run(["zip", "-q", level, ok("stdin"), "-"], stdin=FILES["dados/registro.log"])
        if tag == "deflated":  # zip stores nothing from a pipe to a pipe
            piped(["zip", "-q", level, "-", "-"], ok("stdin-stdout"), stdin=FILES["QuarnSQLService.exe"])
    run(["zip", "-q", "-P", "segredo", os.path.join(REFUSE, "zip-encrypted.zip"), *NAMES])
    # Forced ZIP64 into a pipe: the end record is marked ZIP64 but no ZIP64
    # record follows, so the directory cannot be found (unzip refuses it too).
    piped(["zip", "-q", "-fz", "-", *NAMES], os.path.join(REFUSE, "zip-zip64-pipe-no-zip64-end.zip"))
    bz = os.path.join(REFUSE, "zip-bzip2-after-deflated.zip")
    run(["zip", "-q", bz, "leia-me.txt"])
    run(["zip", "-q", "-Z", "bzip2", bz, "dados/registro.log"])
    # Two volumes; the last one holds the directory.
    run(["zip", "-q", "-0", "-s", "64k", os.path.join(REFUSE, "zip-split.zip"), *NAMES])


def seven_zip():
    if not have("7z"):
        return
    for method, tag in (("Copy", "stored"), ("Deflate", "deflated")):
        def ok(name):
            return os.path.join(OK, f"7z-{tag}-{name}.zip")
        run(["7z", "a", "-tzip", "-bd", f"-mm={method}", ok("plain"), *NAMES])
        run(["7z", "a", "-tzip", "-bd", f"-mm={method}", "-mtc=on", "-mcu=on", ok("ntfs-times-utf8"), *NAMES])
    run(["7z", "a", "-tzip", "-bd", "-mm=Deflate", "-mx=9", os.path.join(OK, "7z-deflated-ultra.zip"), *NAMES])
    for method in ("Deflate64", "BZip2", "LZMA", "PPMd"):
        path = os.path.join(REFUSE, f"7z-{method.lower()}.zip")
        run(["7z", "a", "-tzip", "-bd", "-mm=Copy", path, "leia-me.txt"])
        run(["7z", "a", "-tzip", "-bd", f"-mm={method}", path, "dados/registro.log"])
    run(["7z", "a", "-tzip", "-bd", "-psegredo", os.path.join(REFUSE, "7z-zipcrypto.zip"), *NAMES])
    run(["7z", "a", "-tzip", "-bd", "-psegredo", "-mem=AES256", os.path.join(REFUSE, "7z-aes.zip"), *NAMES])


def bsdtar():
    if not have("bsdtar"):
        return
    for opts, tag in ((["--options", "zip:compression=store"], "stored"), ([], "deflated")):
        def ok(name):
            return os.path.join(OK, f"bsdtar-{tag}-{name}.zip")
        run(["bsdtar", *opts, "-a", "-cf", ok("plain"), *NAMES])
        piped(["bsdtar", *opts, "--format", "zip", "-cf", "-", *NAMES], ok("stdout"))
        zip64 = ["--options", ",".join(filter(None, [opts[1] if opts else "", "zip:zip64"]))]
        run(["bsdtar", *zip64, "-a", "-cf", ok("zip64"), *NAMES])
    run(["bsdtar", "--options", "zip:encryption=zipcrypt", "--passphrase", "segredo", "-a", "-cf",
         os.path.join(REFUSE, "bsdtar-encrypted.zip"), *NAMES])


class Unseekable(io.RawIOBase):
    def __init__(self, f):
        self.f = f

    def writable(self):
        return True

    def write(self, b):
        self.f.write(b)
        return len(b)


def python_zipfile():
    for method, tag in ((zipfile.ZIP_STORED, "stored"), (zipfile.ZIP_DEFLATED, "deflated")):
        for variant in ("plain", "stream", "zip64", "zip64-stream", "comments-extra"):
            path = os.path.join(OK, f"python-{tag}-{variant}.zip")
            with open(path, "wb") as f:
                target = Unseekable(f) if "stream" in variant else f
                with zipfile.ZipFile(target, "w", method) as z:
                    for i, name in enumerate(NAMES):
                        info = zipfile.ZipInfo(name, (2026, 12, 7, 5, 58, 36))
                        info.compress_type = method
                        if variant == "comments-extra":
                            info.comment = b"entrada %d" % i
                            info.extra = struct.pack("<HHBI", 0x5455, 5, 1, 1796623116) + \
                                struct.pack("<HH4s", 0xCAFE, 4, b"quar")
                        with z.open(info, "w", force_zip64=variant.startswith("zip64")) as w:
                            w.write(FILES[name])
                    if variant == "comments-extra":
                        z.comment = b"publicado por Solvane"
    for method, name in ((zipfile.ZIP_BZIP2, "bzip2"), (zipfile.ZIP_LZMA, "lzma")):
        with zipfile.ZipFile(os.path.join(REFUSE, f"python-{name}.zip"), "w") as z:
            z.writestr("leia-me.txt", FILES["leia-me.txt"], zipfile.ZIP_DEFLATED)
            z.writestr("registro.log", FILES["dados/registro.log"], method)


def hand_built(path, method, host, flags, descriptor, zip64, extras, comment=b""):
    """One archive laid out field by field.

    host: high byte of "version made by" (0 FAT, 3 Unix, 10 NTFS)
    descriptor: None, "sig32", "nosig32" or "sig64" after each entry's data
    zip64: ZIP64 fields in local and central headers and the ZIP64 end records
    extras: "ntfs" (0x000a) and/or "ut" (0x5455) fields in both headers
    """
    out = bytearray()
    central = bytearray()
    dos_time, dos_date = 0x2F52, 0x5B87
    for name in NAMES:
        data = FILES[name]
        raw = name.encode()
        crc = zlib.crc32(data)
        if method == 8:
            c = zlib.compressobj(6, zlib.DEFLATED, -15)
            payload = c.compress(data) + c.flush()
        else:
            payload = data
        extra = b""
        if "ntfs" in extras:
            extra += struct.pack("<HHIHHQQQ", 0x000A, 32, 0, 1, 24, 134094000000000000, 134094000000000000,
                                 134094000000000000)
        if "ut" in extras:
            extra += struct.pack("<HHBI", 0x5455, 5, 1, 1796623116)
        need = 45 if zip64 else 20
        local_flags = flags | (0x0008 if descriptor else 0)
        offset = len(out)
        if zip64:
            # Sizes unknown when the header is written: markers, with the
            # values (or zeros when a descriptor follows) in the ZIP64 field.
            z_sizes = (0, 0) if descriptor else (len(data), len(payload))
            local_extra = struct.pack("<HHQQ", 1, 16, *z_sizes) + extra
            l_crc, l_cs, l_us = (0 if descriptor else crc), 0xFFFFFFFF, 0xFFFFFFFF
        else:
            local_extra = extra
            l_crc, l_cs, l_us = (0, 0, 0) if descriptor else (crc, len(payload), len(data))
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, need, local_flags, method, dos_time, dos_date, l_crc, l_cs,
                           l_us, len(raw), len(local_extra)) + raw + local_extra + payload
        if descriptor == "sig32":
            out += struct.pack("<IIII", 0x08074B50, crc, len(payload), len(data))
        elif descriptor == "nosig32":
            out += struct.pack("<III", crc, len(payload), len(data))
        elif descriptor == "sig64":
            out += struct.pack("<IIQQ", 0x08074B50, crc, len(payload), len(data))
        if zip64:
            central_extra = struct.pack("<HHQQQ", 1, 24, len(data), len(payload), offset) + extra
            c_cs = c_us = c_off = 0xFFFFFFFF
        else:
            central_extra, c_cs, c_us, c_off = extra, len(payload), len(data), offset
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, host << 8 | need, need, local_flags, method,
                               dos_time, dos_date, crc, c_cs, c_us, len(raw), len(central_extra), 0, 0, 0, 0x20,
                               c_off) + raw + central_extra
    cd_offset = len(out)
    out += central
    count = len(NAMES)
    if zip64:
        z64_at = len(out)
        out += struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, len(central), cd_offset)
        out += struct.pack("<IIQI", 0x07064B50, 0, z64_at, 1)
        out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, len(comment))
    else:
        out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, len(central), cd_offset, len(comment))
    out += comment
    with open(path, "wb") as f:
        f.write(out)


def hand_built_layouts():
    utf8 = 0x0800
    for method, tag in ((0, "stored"), (8, "deflated")):
        # .NET's ZipArchive on an unseekable stream: descriptors with signature,
        # 64-bit when it wrote ZIP64 fields; names flagged UTF-8.
        hand_built(os.path.join(OK, f"dotnet-{tag}-stream.zip"), method, 0, utf8, "sig32", False, ())
        hand_built(os.path.join(OK, f"dotnet-{tag}-zip64-stream.zip"), method, 0, utf8, "sig64", True, ())
        hand_built(os.path.join(OK, f"dotnet-{tag}-seekable.zip"), method, 0, utf8, None, False, ())
        # Windows' compressed folders: made by NTFS, NTFS times, descriptors.
        hand_built(os.path.join(OK, f"windows-{tag}-folder.zip"), method, 10, 0, "sig32", False, ("ntfs",),
                   comment=b"pasta compactada")
        hand_built(os.path.join(OK, f"windows-{tag}-zip64.zip"), method, 10, utf8, None, True, ("ntfs", "ut"))
        hand_built(os.path.join(OK, f"other-{tag}-descriptor-nosig.zip"), method, 3, 0, "nosig32", False, ("ut",))


def main():
    write_sources()
    info_zip()
    seven_zip()
    bsdtar()
    python_zipfile()
    hand_built_layouts()
    with open(os.path.join(OUT, "missing.txt"), "w") as f:
        f.write("".join(t + "\n" for t in missing))


if __name__ == "__main__":
    main()
