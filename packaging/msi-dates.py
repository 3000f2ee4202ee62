#!/usr/bin/env python3
"""msi-dates.py PACKAGE.msi EPOCH: sets the dates in an MSI's summary
information (created, last saved, last printed) to EPOCH (Unix seconds).

wixl stamps them with the time of the build and offers no option, so a
package built twice differs in these bytes only (once the package code and
the files' dates are fixed). The package is an OLE compound file: this reads
its allocation tables, finds the "\\x05SummaryInformation" stream and
overwrites the FILETIME values in place; nothing else moves.
"""
import struct
import sys

FREE_LIMIT = 0xFFFFFFFA  # sector numbers at or above this end a chain


def main(path, epoch):
    data = bytearray(open(path, "rb").read())
    if data[:8] != bytes.fromhex("d0cf11e0a1b11ae1"):
        sys.exit(f"{path}: not an OLE compound file")
    shift = struct.unpack_from("<H", data, 0x1E)[0]
    mini_shift = struct.unpack_from("<H", data, 0x20)[0]
    sector_size, mini_size = 1 << shift, 1 << mini_shift
    first_dir, = struct.unpack_from("<I", data, 0x30)
    cutoff, first_minifat, _, first_difat, n_difat = struct.unpack_from("<IIIII", data, 0x38)

    def offset(sector):
        return (sector + 1) * sector_size

    difat = list(struct.unpack_from("<109I", data, 0x4C))
    sector = first_difat
    for _ in range(n_difat):
        entries = struct.unpack_from(f"<{sector_size // 4}I", data, offset(sector))
        difat.extend(entries[:-1])
        sector = entries[-1]
    fat = []
    for s in difat:
        if s < FREE_LIMIT:
            fat.extend(struct.unpack_from(f"<{sector_size // 4}I", data, offset(s)))

    def chain(start, table):
        out = []
        while start < FREE_LIMIT:
            out.append(start)
            start = table[start]
        return out

    directory = b"".join(bytes(data[offset(s):offset(s) + sector_size]) for s in chain(first_dir, fat))
    entries = []
    for i in range(0, len(directory), 128):
        e = directory[i:i + 128]
        name_len, = struct.unpack_from("<H", e, 64)
        name = e[:max(name_len - 2, 0)].decode("utf-16-le")
        start, size = struct.unpack_from("<IQ", e, 116)
        entries.append((name, start, size))
    root_start = entries[0][1]
    target = [e for e in entries if e[0] == "\x05SummaryInformation"]
    if not target:
        sys.exit(f"{path}: no summary information")
    _, start, size = target[0]

    # File offset of every byte of the stream.
    positions = []
    if size < cutoff:
        minifat = []
        for s in chain(first_minifat, fat):
            minifat.extend(struct.unpack_from(f"<{sector_size // 4}I", data, offset(s)))
        root_sectors = chain(root_start, fat)
        for m in chain(start, minifat):
            for k in range(mini_size):
                at = m * mini_size + k
                positions.append(offset(root_sectors[at // sector_size]) + at % sector_size)
    else:
        for s in chain(start, fat):
            positions.extend(range(offset(s), offset(s) + sector_size))
    positions = positions[:size]
    stream = bytes(data[p] for p in positions)

    section, = struct.unpack_from("<I", stream, 44)
    count, = struct.unpack_from("<I", stream, section + 4)
    filetime = (int(epoch) + 11644473600) * 10_000_000
    changed = 0
    for i in range(count):
        pid, rel = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        at = section + rel
        vtype, = struct.unpack_from("<I", stream, at)
        if pid in (11, 12, 13) and vtype == 0x40:
            for k, byte in enumerate(struct.pack("<Q", filetime)):
                data[positions[at + 4 + k]] = byte
            changed += 1
    open(path, "wb").write(data)
    return changed


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
