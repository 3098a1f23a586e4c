#!/usr/bin/env python3
"""wimsplit against images that wimlib-imagex captures, in one table.

    split_table.py WIMSPLIT WORK_FOLDER

Each row builds an image with wimlib-imagex, splits it with wimsplit into a
folder of its own, and then checks the set three ways: its headers and
lookup tables as read here (every resource a byte-for-byte copy of the
source's), `wimlib-imagex verify` and `apply` of every image compared file by
file with the tree it was captured from, and a listing by 7-Zip. Refusal rows
patch or build an image that must be refused and check that no part exists.
"""
import filecmp
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import unittest

WIMSPLIT = WORK = None
MiB = 1 << 20

# Header flags and resource flags (wim/WimFormat.h).
SPANNED, WRITE_IN_PROGRESS = 0x8, 0x40
METADATA = 0x2


def run(*command, check=True):
    result = subprocess.run(command, capture_output=True, text=True)
    if check and result.returncode != 0:
        raise AssertionError(f"{command} failed ({result.returncode}): {result.stderr[-2000:]}")
    return result


def make_tree(folder, seed, shared):
    """Incompressible files of a few hundred KiB (stored as they are),
    compressible text (stored compressed), a subfolder, an empty file, and
    the files of `shared` in both trees."""
    rng = random.Random(seed)
    os.makedirs(os.path.join(folder, "sub", "deeper"))
    for i in range(4):
        with open(os.path.join(folder, f"random{i}.bin"), "wb") as f:
            f.write(rng.randbytes(rng.randrange(200, 450) * 1024))
    words = ["".join(rng.choice("abcdefghij") for _ in range(rng.randrange(3, 9))) for _ in range(400)]
    for name in ("sub/notes.txt", "sub/deeper/log.txt"):
        with open(os.path.join(folder, name), "w") as f:
            f.write(" ".join(rng.choice(words) for _ in range(rng.randrange(50000, 120000))))
    open(os.path.join(folder, "sub", "empty"), "w").close()
    for name, data in shared.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


def trees():
    """Two trees that share two files, made once."""
    one, two = os.path.join(WORK, "tree1"), os.path.join(WORK, "tree2")
    if not os.path.isdir(two):
        rng = random.Random(7)
        shared = {"shared.bin": rng.randbytes(300 * 1024), "shared.txt": b"the same words " * 20000}
        make_tree(one, 1, shared)
        make_tree(two, 2, shared)
    return one, two


def resource(raw):
    size = int.from_bytes(raw[0:7], "little")
    offset, original = struct.unpack("<QQ", raw[8:24])
    return {"size": size, "flags": raw[7], "offset": offset, "original": original}


def read_wim(path):
    with open(path, "rb") as f:
        data = f.read()
    header = {
        "magic": data[0:8], "flags": struct.unpack("<I", data[16:20])[0], "guid": data[24:40],
        "part": struct.unpack("<H", data[40:42])[0], "total": struct.unpack("<H", data[42:44])[0],
        "images": struct.unpack("<I", data[44:48])[0], "table": resource(data[48:72]),
        "xml": resource(data[72:96]), "boot": struct.unpack("<I", data[120:124])[0],
        "integrity": resource(data[124:148])}
    table = header["table"]
    entries = []
    for at in range(table["offset"], table["offset"] + table["size"], 50):
        entry = resource(data[at:at + 24])
        entry["part"], entry["refs"] = struct.unpack("<HI", data[at + 24:at + 30])
        entry["hash"] = data[at + 30:at + 50]
        entry["bytes"] = data[entry["offset"]:entry["offset"] + entry["size"]]
        entries.append(entry)
    xml = header["xml"]
    return header, entries, data[xml["offset"]:xml["offset"] + xml["size"]], len(data)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def patch(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def capture(wim, tree, name, *options):
    run("wimlib-imagex", "capture", tree, wim, name, *options)


def append(wim, tree, name, *options):
    run("wimlib-imagex", "append", tree, wim, name, *options)


# Images to split: (name, builder, part MiB, first part). A builder makes
# the image at its path and returns the source tree of each image in order.
def two_images_lzx(wim, one, two):
    capture(wim, one, "one", "--compress=lzx")
    append(wim, two, "two")
    return [one, two]


def xpress_integrity_boot(wim, one, two):
    capture(wim, one, "one", "--compress=xpress", "--check")
    append(wim, two, "two", "--check", "--boot")
    header, _, _, _ = read_wim(wim)
    assert header["boot"] == 2 and header["integrity"]["size"] > 0, header
    return [one, two]


def metadata_of_image2_first(wim, one, two):
    # Updating image 1 writes its metadata anew at the end of the file, after
    # image 2's; the table still lists image 1's first.
    capture(wim, one, "one", "--compress=lzx")
    append(wim, two, "two")
    updated = os.path.join(WORK, "tree1-updated")
    if not os.path.isdir(updated):
        shutil.copytree(one, updated)
        shutil.copy(os.path.join(two, "random0.bin"), os.path.join(updated, "added.bin"))
    subprocess.run(["wimlib-imagex", "update", wim, "1"], input=f"add {updated}/added.bin /added.bin\n",
                   text=True, check=True, capture_output=True)
    _, entries, _, _ = read_wim(wim)
    metadata = [e for e in entries if e["flags"] & METADATA]
    assert metadata[0]["offset"] > metadata[1]["offset"], metadata
    return [updated, two]


def uncompressed_with_large_file(wim, one, two):
    # A file larger than a part gets a part of its own.
    big = os.path.join(WORK, "tree-big")
    if not os.path.isdir(big):
        shutil.copytree(one, big)
        with open(os.path.join(big, "big.bin"), "wb") as f:
            f.write(random.Random(3).randbytes(MiB + MiB // 2))
    capture(wim, big, "big", "--compress=none")
    return [big]


# The last column names the first part: the number of part n goes before
# the extension, or at the end when the name has none.
SPLITS = [
    ("two_images_lzx", two_images_lzx, 1, "set/install.swm"),
    ("xpress_integrity_boot", xpress_integrity_boot, 1, "set/install.swm"),
    ("metadata_of_image2_first", metadata_of_image2_first, 1, "set/install.swm"),
    ("uncompressed_with_large_file", uncompressed_with_large_file, 1, "set.d/install"),
    ("one_part", two_images_lzx, 64, "set/install.swm"),
]


# Images to refuse: (name, builder, refusal text). A builder makes the
# image at its path from a plain captured image (made by `base`).
def base(wim):
    one, two = trees()
    capture(wim, one, "one", "--compress=lzx")
    append(wim, two, "two")


def header_patch(offset, fmt, value):
    def builder(wim):
        base(wim)
        patch(wim, offset, struct.pack(fmt, value))
    return builder


def built_with(*options):
    def builder(wim):
        capture(wim, trees()[0], "one", *options)
    return builder


def already_split(wim):
    base(wim)
    folder = os.path.join(os.path.dirname(wim), "wimlib-set")
    os.makedirs(folder)
    run("wimlib-imagex", "split", wim, os.path.join(folder, "set.swm"), "1")
    shutil.copy(os.path.join(folder, "set2.swm"), wim)


def write_in_progress(wim):
    base(wim)
    header, _, _, _ = read_wim(wim)
    patch(wim, 16, struct.pack("<I", header["flags"] | WRITE_IN_PROGRESS))


def truncated(wim):
    base(wim)
    os.truncate(wim, os.path.getsize(wim) // 2)


def resource_beyond_4_gib(wim):
    # One stored file's entry pointed at a 4.5 GiB hole added to the end of
    # the file: a sparse file, so nothing of it is written.
    base(wim)
    header, entries, _, end = read_wim(wim)
    index = next(i for i, e in enumerate(entries) if e["flags"] == 0)
    size = 9 << 29
    raw = size.to_bytes(7, "little") + b"\0" + struct.pack("<QQ", end, size)
    patch(wim, header["table"]["offset"] + 50 * index, raw)
    os.truncate(wim, end + size)


def resources_overlap(wim):
    # Two stored files' entries pointed at the same bytes.
    base(wim)
    header, entries, _, _ = read_wim(wim)
    first, second = [i for i, e in enumerate(entries) if e["flags"] == 0][:2]
    patch(wim, header["table"]["offset"] + 50 * second + 8, struct.pack("<Q", entries[first]["offset"]))


def metadata_entry_missing(wim):
    base(wim)
    header, _, _, _ = read_wim(wim)
    patch(wim, 44, struct.pack("<I", header["images"] + 1))


REFUSALS = [
    ("solid_lzms", built_with("--solid"), "solid"),
    ("solid_lzx", built_with("--compress=lzx", "--solid", "--solid-compress=lzx"), "solid"),
    ("pipable", built_with("--pipable"), "pipable"),
    ("already_split", already_split, "already split"),
    ("write_in_progress", write_in_progress, "never finished"),
    ("truncated", truncated, "damaged"),
    ("table_outside_the_file", header_patch(0x30 + 8, "<Q", 1 << 40), "damaged"),
    ("xml_outside_the_file", header_patch(0x48 + 8, "<Q", 1 << 40), "damaged"),
    ("bad_magic", header_patch(0, "<8s", b"MSWIN\0\0\0"), "damaged"),
    ("bad_header_size", header_patch(8, "<I", 200), "damaged"),
    ("zero_images", header_patch(44, "<I", 0), "damaged"),
    ("more_images_than_metadata", metadata_entry_missing, "damaged"),
    ("resources_overlap", resources_overlap, "damaged"),
    ("resource_beyond_4_gib", resource_beyond_4_gib, "too large for FAT32"),
]


class SplitTable(unittest.TestCase):
    def check_set(self, source, first, part_mib, images):
        header, entries, xml, _ = read_wim(source)
        folder = os.path.dirname(first)
        total = len(os.listdir(folder))
        stem, extension = os.path.splitext(first)
        names = [first] + [f"{stem}{n}{extension}" for n in range(2, total + 1)]
        self.assertEqual(sorted(os.listdir(folder)), sorted(os.path.basename(name) for name in names))
        parts = [read_wim(name) for name in names]
        if part_mib == 1:
            self.assertGreater(total, 2)
        source_metadata = [e for e in entries if e["flags"] & METADATA][:header["images"]]
        source_files = {e["hash"]: e for e in entries if not e["flags"] & METADATA}
        copied = set()
        for number, (part, part_entries, part_xml, part_bytes) in enumerate(parts, 1):
            self.assertEqual(part["magic"], b"MSWIM\0\0\0")
            self.assertEqual(part["part"], number)
            self.assertEqual(part["total"], total)
            self.assertEqual(part["guid"], parts[0][0]["guid"])
            self.assertNotEqual(part["guid"], header["guid"])
            self.assertEqual(part["flags"], header["flags"] | (SPANNED if total > 1 else 0))
            self.assertEqual((part["images"], part["boot"], part["integrity"]["size"]), (header["images"], 0, 0))
            self.assertEqual(part_xml, xml)
            if number == 1:
                # Every image's metadata first, in the source table's order.
                self.assertEqual([e["hash"] for e in part_entries[:len(source_metadata)]],
                                 [e["hash"] for e in source_metadata])
                self.assertEqual([e["bytes"] for e in part_entries[:len(source_metadata)]],
                                 [e["bytes"] for e in source_metadata])
                files = part_entries[len(source_metadata):]
            else:
                files = part_entries
            for entry in part_entries:
                self.assertEqual(entry["part"], number)
                self.assertLessEqual(entry["offset"] + entry["size"], part["table"]["offset"])
            for entry in files:
                self.assertFalse(entry["flags"] & METADATA)
                origin = source_files[entry["hash"]]
                self.assertEqual((entry["bytes"], entry["flags"], entry["original"], entry["refs"]),
                                 (origin["bytes"], origin["flags"], origin["original"], origin["refs"]))
                copied.add(entry["hash"])
            # The whole file counts; only a lone resource may exceed it.
            if len(files) > 1:
                self.assertLessEqual(part_bytes, part_mib * MiB)
        self.assertEqual(copied, set(source_files))

        reference = "--ref=" + stem + "*" + extension
        run("wimlib-imagex", "verify", first, reference)
        for index, tree in enumerate(images, 1):
            target = os.path.join(os.path.dirname(folder), f"applied{index}")
            run("wimlib-imagex", "apply", first, str(index), target, reference)
            self.assertSameTree(tree, target)
        # 7-Zip warns of data after the end, or of an unexpected end, for
        # wimlib's own sets as well: the rows it lists must be the same.
        rows = self.listed_rows(first)
        wimlib_set = os.path.join(os.path.dirname(folder), "wimlib-set")
        os.makedirs(wimlib_set)
        run("wimlib-imagex", "split", source, os.path.join(wimlib_set, "install.swm"), str(part_mib))
        self.assertEqual(rows, self.listed_rows(os.path.join(wimlib_set, "install.swm")))
        for index, tree in enumerate(images, 1):
            for path in self.files_of(tree):
                self.assertIn(f"{index}/{path}" if len(images) > 1 else path, rows)

    def listed_rows(self, first):
        listing = run("7zz", "l", first, check=False).stdout
        rows = re.findall(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (\S{5}) +(\d*) +(\d*) +(.+)$", listing, re.M)
        return {name: (attributes, size, packed) for attributes, size, packed, name in rows}

    def files_of(self, tree):
        for folder, _, files in os.walk(tree):
            for name in files:
                yield os.path.relpath(os.path.join(folder, name), tree)

    def assertSameTree(self, expected, got):
        self.assertEqual(sorted(self.files_of(expected)), sorted(self.files_of(got)))
        for path in self.files_of(expected):
            self.assertTrue(filecmp.cmp(os.path.join(expected, path), os.path.join(got, path), shallow=False),
                            path)

    def test_splits(self):
        one, two = trees()
        for name, builder, part_mib, first in SPLITS:
            with self.subTest(name):
                folder = os.path.join(WORK, name)
                shutil.rmtree(folder, ignore_errors=True)
                first = os.path.join(folder, first)
                os.makedirs(os.path.dirname(first))
                source = os.path.join(folder, "install.wim")
                images = builder(source, one, two)
                run(WIMSPLIT, source, first, str(part_mib))
                self.check_set(source, first, part_mib, images)

    def test_refusals_leave_no_part(self):
        for name, builder, reason in REFUSALS:
            with self.subTest(name):
                folder = os.path.join(WORK, "refused-" + name)
                shutil.rmtree(folder, ignore_errors=True)
                os.makedirs(os.path.join(folder, "set"))
                source = os.path.join(folder, "install.wim")
                builder(source)
                result = run(WIMSPLIT, source, os.path.join(folder, "set", "install.swm"), "1", check=False)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(reason, result.stderr)
                self.assertEqual(os.listdir(os.path.join(folder, "set")), [])
                os.remove(source)

    def test_read_in_place_from_an_iso_image(self):
        # As Microsoft masters Windows images (UDF only: ISO 9660 does not
        # show the file) and as xorriso writes ISO 9660 level 3: the parts
        # read out of the image are the parts split from the file itself.
        one, two = trees()
        folder = os.path.join(WORK, "in-place")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(os.path.join(folder, "iso", "sources"))
        source = os.path.join(folder, "iso", "sources", "install.wim")
        two_images_lzx(source, one, two)
        os.makedirs(os.path.join(folder, "file"))
        run(WIMSPLIT, source, os.path.join(folder, "file", "install.swm"), "1")
        expected = {name: read_bytes(os.path.join(folder, "file", name)) for name in os.listdir(os.path.join(folder, "file"))}
        self.assertGreater(len(expected), 2)
        masters = {
            "udf-only": ["genisoimage", "-quiet", "-udf", "-allow-limited-size", "-hide", "install.wim"],
            "iso9660-level3": ["xorriso", "-as", "mkisofs", "-quiet", "-iso-level", "3"],
        }
        for name, master in masters.items():
            with self.subTest(name):
                image = os.path.join(folder, name + ".iso")
                run(*master, "-o", image, os.path.join(folder, "iso"))
                target = os.path.join(folder, name)
                os.makedirs(target)
                run(WIMSPLIT, "--image", image, "SOURCES\\Install.wim", os.path.join(target, "install.swm"), "1")
                got = {part: read_bytes(os.path.join(target, part)) for part in os.listdir(target)}
                self.assertEqual(sorted(got), sorted(expected))
                self.assertTrue(all(got[part] == expected[part] for part in got))
                info = run("wimlib-imagex", "info", os.path.join(target, "install.swm")).stdout
                self.assertRegex(info, r"Image Count:\s+2")

    def test_failed_write_removes_the_parts_written(self):
        # Part 2 cannot be created (a folder holds its name): part 1 goes too.
        folder = os.path.join(WORK, "failed-write")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(os.path.join(folder, "set", "install2.swm"))
        source = os.path.join(folder, "install.wim")
        base(source)
        result = run(WIMSPLIT, source, os.path.join(folder, "set", "install.swm"), "1", check=False)
        self.assertEqual(result.returncode, 3, result.stderr)
        self.assertEqual(os.listdir(os.path.join(folder, "set")), ["install2.swm"])


if __name__ == "__main__":
    WIMSPLIT, WORK = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    unittest.main(argv=sys.argv[:1], verbosity=2)
