#!/usr/bin/env python3
"""Helpers of the Windows acceptance run (acceptance.sh), one subcommand each:

  tree DIR first|second   the source trees, with fixed contents and times
  compare A B [START...]  two images (or virtual discs with sessions at START...)
                          the same but for the build's time and 8.3 aliases
  isoinfo-extract IMG OUT every file of the Joliet tree through isoinfo -x
  strip-dots DIR          drops the full stop that names without extension carry
  ls-names                the names in `qnzb-cli ls` output (standard input)
  wait-locked FILE SECS   until another process holds a lock on FILE
"""

import errno
import fcntl
import os
import random
import re
import subprocess
import sys
import time

SECTOR = 2048
MIB = 1 << 20

# Names over 64 characters: the Joliet records hold up to 108 (110 for folders).
LONG_FILE = "A document with a rather long file name that goes on past sixty-four characters.txt"
LONG_FOLDER = "A folder name that is also longer than sixty-four characters in all"

# The shapes users' trees have. Sizes sit on both sides of a sector and of
# 1 MiB; "summary.TXT" and "REPORTS" repeat names of another folder in another case.
TREES = {
    "first": [
        ("README", 1),
        ("empty.dat", 0),
        ("notes.txt", 2047),
        ("big archive.bin", 3 * MIB // 2 + 5),
        ("café.txt", 2048),
        ("Übersicht Größe.txt", 2049),
        ("odd !#$%&'()+,=@[]^_`{}~ name.txt", 100),
        (LONG_FILE, 65539),
        ("Level 1/top.txt", 10),
        ("Level 1/Level 2/data 2.bin", 4101),
        ("Level 1/Level 2/Level 3/zero", 0),
        ("Level 1/Level 2/Level 3/Level 4/deep file.txt", 777),
        ("Reports/Summary.txt", 300),
        ("Archive/summary.TXT", 301),
        ("Archive/REPORTS/old report.txt", 5),
        ("Müller résumé/naïve.txt", 1234),
        (LONG_FOLDER + "/inside.txt", 2049),
    ],
    # The second session adds a folder, a file to a folder of the first, and one at the top.
    "second": [
        ("Session 2/new file.txt", 1234),
        ("Level 1/added in session 2.txt", 42),
        ("été.txt", 7),
    ],
}
EMPTY_FOLDERS = {"first": ["Empty Folder", "Level 1/Nothing here/Nor here"], "second": []}
# A fixed time for every file and folder, so listings of two runs are alike.
MTIME = 1715000000


def make_tree(root, kind):
    for seed, (rel, size) in enumerate(TREES[kind], start=1 if kind == "first" else 100):
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(random.Random(seed).randbytes(size))
    for rel in EMPTY_FOLDERS[kind]:
        os.makedirs(os.path.join(root, rel), exist_ok=True)
    for top, dirs, files in os.walk(root, topdown=False):
        for name in files + dirs:
            os.utime(os.path.join(top, name), (MTIME, MTIME))


# ---- images

def both32(b, at):
    return int.from_bytes(b[at:at + 4], "little")


def records(img, extent, size):
    """(offset, raw record) of a directory extent; a zero length byte ends a sector."""
    at, end = extent * SECTOR, extent * SECTOR + size
    while at < end:
        n = img[at]
        if n == 0:
            at = (at // SECTOR + 1) * SECTOR
            continue
        if n < 34 or at + n > end:
            raise ValueError(f"bad directory record at byte {at}")
        yield at, img[at:at + n]
        at += n


def rec_id(rec):
    return rec[33:33 + rec[32]]


def well_formed(rec):
    """Length byte and padding as an identifier of this length needs: no system use bytes."""
    n = rec[32]
    return len(rec) == 33 + n + (1 - n % 2) and (n % 2 or rec[-1] == 0)


def descriptors(img, start):
    out, s = [], start + 16
    while True:
        d = img[s * SECTOR:(s + 1) * SECTOR]
        if len(d) < SECTOR or d[1:6] != b"CD001":
            raise ValueError(f"no volume descriptor at sector {s}")
        out.append((s, d[0]))
        if d[0] == 255:
            return out
        s += 1


def tree_dirs(img, vd):
    """Every directory of the tree under the descriptor at sector `vd`, breadth first:
    (extent, size, [records])."""
    root = img[vd * SECTOR + 156:vd * SECTOR + 190]
    queue, out, seen = [(both32(root, 2), both32(root, 10))], [], set()
    while queue:
        extent, size = queue.pop(0)
        if extent in seen:
            raise ValueError(f"directory loop at sector {extent}")
        seen.add(extent)
        recs = list(records(img, extent, size))
        out.append((extent, size, recs))
        for _, r in recs[2:]:
            if r[25] & 0x02:
                queue.append((both32(r, 2), both32(r, 10)))
    return out


SHORT_NAME = re.compile(rb"^[A-Z0-9_~!#$%&'()@^{}-]{1,8}(\.[A-Z0-9_~!#$%&'()@^{}-]{0,3})?(;1)?$")


def is_83(name):
    """Whether a long name is a valid 8.3 name in some case: such a name has no alias."""
    try:
        raw = name.encode("ascii").upper()
    except UnicodeEncodeError:
        return False
    return bool(SHORT_NAME.match(raw)) and raw.count(b".") <= 1 and b"~" not in raw


def path_table(img, at, size):
    out, p = [], at * SECTOR
    while p < at * SECTOR + size:
        n = img[p]
        out.append((img[p + 2:p + 6], img[p + 6:p + 8], img[p + 8:p + 8 + n]))
        p += 8 + n + (n & 1)
    return out


class Comparison:
    """A and B with every byte the comparison explains set to zero in both, and the
    problems found on the way. Two builds of one tree differ where the build puts
    its own time (BuildMetadata: the volume dates and the "." and ".." records;
    effective and expiration dates are zeros and the descriptors' root records
    undated) and where the system names files:
      - bytes 813-828 and 830-845 of each primary and supplementary descriptor: the
        16 digits of the creation and modification dates (the zone byte after each,
        829 and 846, is compared);
      - bytes 18-23 of the "." and ".." records of every directory, year to second of
        the recording date (byte 24, the zone, is compared); every other record is
        dated with its source's time and compared;
      - ISO 9660 names that are 8.3 aliases: the system makes them (Wine's hashed
        "LEVE~AJZ", Windows' "LEVEL1~1", which the POSIX build makes), so those
        records, and the path tables, which sort folders by those names, are
        compared field by field, names apart."""

    def __init__(self, a, b):
        self.a, self.b = a, b
        self.ma, self.mb = bytearray(a), bytearray(b)
        self.problems, self.dates, self.aliases = [], 0, []

    def blank(self, at, n):
        self.ma[at:at + n] = bytes(n)
        self.mb[at:at + n] = bytes(n)

    def session(self, start):
        vda, vdb = descriptors(self.a, start), descriptors(self.b, start)
        if [t for _, t in vda] != [t for _, t in vdb]:
            self.problems.append(f"session at {start}: descriptor kinds {vda} and {vdb}")
            return
        joliet = [s for s, t in vda if t == 2]
        for s, t in vda:
            if t in (1, 2):
                self.blank(s * SECTOR + 813, 16)
                self.blank(s * SECTOR + 830, 16)
                self.dates += 2
        jdirs = tree_dirs(self.a, joliet[0]) if joliet else None
        for s, t in vda:
            if t in (1, 2):
                self.tree(s, None if t == 2 else jdirs)

    def tree(self, vd, jdirs):
        """The tree of the descriptor at `vd`; jdirs: A's Joliet tree, to name the
        ISO 9660 records (both trees list every folder's entries in one order)."""
        da, db = tree_dirs(self.a, vd), tree_dirs(self.b, vd)
        if [(e, s) for e, s, _ in da] != [(e, s) for e, s, _ in db]:
            self.problems.append(f"directory extents differ under the descriptor at sector {vd}")
            return
        aliased_dirs = {}
        for i, ((extent, size, ra), (_, _, rb)) in enumerate(zip(da, db)):
            for at, _ in ra[:2]:
                self.blank(at + 18, 6)
            self.dates += 2
            if jdirs is None:
                continue  # Joliet: compared byte for byte
            names = [rec_id(r).decode("utf-16-be") for _, r in jdirs[i][2][2:]]
            if len(ra) != len(rb) or len(ra) - 2 != len(names):
                self.problems.append(f"directory at sector {extent}: {len(ra)} and {len(rb)} records")
                continue
            for (_, a), (_, b) in zip(ra[:2], rb[:2]):
                if a[:18] + a[24:] != b[:18] + b[24:]:
                    self.problems.append(f"\".\" or \"..\" record in sector {extent} differs")
            for (_, a), (_, b), name in zip(ra[2:], rb[2:], names):
                if a[1:32] != b[1:32] or not (well_formed(a) and well_formed(b)):
                    self.problems.append(f"record of {name!r} in sector {extent} differs beyond its name")
                elif rec_id(a) != rec_id(b):
                    if is_83(name.removesuffix(";1")) or not (SHORT_NAME.match(rec_id(a)) and SHORT_NAME.match(rec_id(b))):
                        self.problems.append(f"ISO 9660 name of {name!r}: {rec_id(a)!r} and {rec_id(b)!r}")
                    else:
                        self.aliases.append((rec_id(a), rec_id(b)))
                        if a[25] & 0x02:
                            aliased_dirs[both32(a, 2)] = (rec_id(a), rec_id(b))
            # Compared record by record above; what lies between records must be zeros.
            for m, img, recs in ((self.ma, self.a, ra), (self.mb, self.b, rb)):
                gaps = bytearray(img[extent * SECTOR:extent * SECTOR + size])
                for at, r in recs:
                    gaps[at - extent * SECTOR:at - extent * SECTOR + len(r)] = bytes(len(r))
                if any(gaps):
                    self.problems.append(f"directory at sector {extent}: bytes between records are not zero")
                m[extent * SECTOR:extent * SECTOR + size] = bytes(size)
        self.path_tables(vd, aliased_dirs)

    def path_tables(self, vd, aliased):
        """Both path tables of the descriptor at `vd`, as the folders they list: extent,
        parent's extent and name. The order follows the ISO 9660 names, aliases included."""
        d = vd * SECTOR
        size = both32(self.a, d + 132)
        for field, big in ((140, False), (148, True)):
            at = int.from_bytes(self.a[d + field:d + field + 4], "big" if big else "little")
            order = "big" if big else "little"
            tables = []
            for img in (self.a, self.b):
                rows = path_table(img, at, size)
                extents = [int.from_bytes(e, order) for e, _, _ in rows]
                tables.append(sorted((int.from_bytes(e, order), extents[int.from_bytes(p, order) - 1], n)
                                     for e, p, n in rows))
            ta, tb = tables
            for (ea, pa, na), (eb, pb, nb) in zip(ta, tb):
                ok = (ea, pa) == (eb, pb) and (na == nb or aliased.get(ea) == (na, nb))
                if not ok:
                    self.problems.append(f"path table at sector {at}: folder {ea}/{na!r} and {eb}/{nb!r}")
            if len(ta) != len(tb):
                self.problems.append(f"path table at sector {at}: {len(ta)} and {len(tb)} folders")
            n = -(-size // SECTOR) * SECTOR
            self.ma[at * SECTOR:at * SECTOR + size] = bytes(size)
            self.mb[at * SECTOR:at * SECTOR + size] = bytes(size)
            if any(self.ma[at * SECTOR:at * SECTOR + n]) or any(self.mb[at * SECTOR:at * SECTOR + n]):
                self.problems.append(f"path table at sector {at}: bytes after the table are not zero")

    def rest(self):
        if self.ma == self.mb:
            return
        diff = [i for i in range(len(self.ma)) if self.ma[i] != self.mb[i]]
        shown = ", ".join(f"byte {i} (sector {i // SECTOR} +{i % SECTOR})" for i in diff[:8])
        self.problems.append(f"{len(diff)} other bytes differ: {shown}")


def compare(a_path, b_path, starts):
    a, b = open(a_path, "rb").read(), open(b_path, "rb").read()
    if len(a) != len(b):
        print(f"{a_path}: {len(a)} bytes, {b_path}: {len(b)} bytes")
        return 1
    c = Comparison(a, b)
    try:
        for s in starts:
            c.session(s)
    except (ValueError, IndexError) as e:
        c.problems.append(f"unreadable structure: {e}")
    c.rest()
    for p in c.problems:
        print(p)
    pairs = ", ".join(f"{x.decode()}={y.decode()}" for x, y in c.aliases[:3])
    print(f"{len(a) // SECTOR} sectors; {c.dates} dates of the build's time, "
          f"{len(c.aliases)} 8.3 aliases ({pairs}{', ...' if len(c.aliases) > 3 else ''}) told apart")
    return 1 if c.problems else 0


# ---- readers

LISTED = re.compile(rb"^([d-])\S{9}\s+\d+\s+\d+\s+\d+\s+(\d+)\s+.*?\[\s*\d+\s+[0-9a-fA-F]+\]\s\s(.*?) ?$")


def isoinfo_extract(image, out):
    """isoinfo prints Joliet names in Latin-1, which holds every name of the trees."""
    listing = subprocess.run(["isoinfo", "-i", image, "-J", "-l"], check=True, capture_output=True).stdout
    folder = b"/"
    for line in listing.splitlines():
        if line.startswith(b"Directory listing of "):
            folder = line[len(b"Directory listing of "):]
            continue
        m = LISTED.match(line)
        if not m or m[3] in (b".", b".."):
            continue
        name = m[3].removesuffix(b";1")
        target = os.path.join(out, (folder + name).decode("latin-1").lstrip("/"))
        if m[1] == b"d":
            os.makedirs(target, exist_ok=True)
            continue
        data = subprocess.run(["isoinfo", "-i", image, "-J", "-x", folder + m[3]], check=True,
                              capture_output=True).stdout
        if len(data) != int(m[2]):
            print(f"isoinfo -x {(folder + m[3]).decode('latin-1')}: {len(data)} bytes, listed {int(m[2])}")
            return 1
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
    return 0


def strip_dots(root):
    """A file without extension is "README." on the disc; some readers keep the dot."""
    for top, _, files in os.walk(root):
        for name in files:
            if name.endswith(".") and name != ".":
                os.rename(os.path.join(top, name), os.path.join(top, name[:-1]))
    return 0


def ls_names():
    """`qnzb-cli ls` lines: date, time, size (blank for folders), name; folders end in "/"."""
    names = sorted(line.rstrip("\r\n")[35:] for line in sys.stdin if line.strip())
    print("\n".join(names))
    return 0


def wait_locked(path, seconds):
    """Polls with a POSIX lock of our own, which conflicts with Wine's (the
    wineserver keeps one for each LockFileEx) as with the POSIX build's."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            with open(path, "rb+") as f:
                try:
                    fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    fcntl.lockf(f, fcntl.LOCK_UN)
                except OSError as e:
                    if e.errno in (errno.EACCES, errno.EAGAIN):
                        return 0
                    raise
        except FileNotFoundError:
            pass
        time.sleep(0.05)
    print(f"nobody locked {path} within {seconds} s")
    return 1


def main(argv):
    cmd, args = argv[1], argv[2:]
    if cmd == "tree":
        make_tree(args[0], args[1])
        return 0
    if cmd == "compare":
        return compare(args[0], args[1], [int(s) for s in args[2:]] or [0])
    if cmd == "isoinfo-extract":
        return isoinfo_extract(args[0], args[1])
    if cmd == "strip-dots":
        return strip_dots(args[0])
    if cmd == "ls-names":
        return ls_names()
    if cmd == "wait-locked":
        return wait_locked(args[0], float(args[1]))
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
