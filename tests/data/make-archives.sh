#!/bin/sh
# Makes the package corpus of the installer tests: archives written by other tools than the
# libzip that reads them, and hostile ones. Run from anywhere; writes next to this script.
# Needs Info-ZIP zip, bsdtar (libarchive-tools) and python3.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TZ=UTC LC_ALL=C
umask 022

# The same small application folder for every ordinary tool.
tree=$work/tree
mkdir -p "$tree/sub" "$tree/empty"
printf 'alpha\n' > "$tree/a.txt"
printf '#!/bin/sh\necho run\n' > "$tree/run.sh"
chmod 0755 "$tree/run.sh"
printf 'bravo\n' > "$tree/sub/b.txt"
find "$tree" -exec touch -h -d '2024-05-01 12:00:00' {} +

cd "$tree"
rm -f "$here"/*.zip
zip -q -X -r "$here/infozip.zip" .
# Written to a pipe, zip cannot seek back: sizes and CRCs follow each entry in data descriptors.
zip -q -X -r - . | cat > "$here/infozip-stream.zip"
zip -q -X -fz -r "$here/infozip-zip64.zip" .
# bsdtar names every entry below "./", the folder itself included.
bsdtar -a -cf "$here/bsdtar.zip" .

# A symbolic link stored as a link (-y), next to a file and an empty folder.
links=$work/links
mkdir -p "$links/empty"
printf 'f\n' > "$links/f.txt"
ln -s /etc/passwd "$links/passwd"
find "$links" -exec touch -h -d '2024-05-01 12:00:00' {} +
cd "$links"
zip -q -X -y -r "$here/infozip-symlink.zip" f.txt passwd empty

python3 - "$here" <<'PY'
import stat, sys, warnings, zipfile

here = sys.argv[1]
when = (2024, 5, 1, 12, 0, 0)

def entry(name, system=3, mode=0o100644, attr=None):
    info = zipfile.ZipInfo(name, date_time=when)
    info.create_system = system
    info.external_attr = attr if attr is not None else (mode << 16)
    info.compress_type = zipfile.ZIP_DEFLATED
    return info

def write(name, items):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")     # duplicate names are the point of one archive
        with zipfile.ZipFile(f"{here}/{name}", "w") as z:
            for info, data in items:
                z.writestr(info, data)

write("python.zip", [
    (entry("sub/", mode=0o040755), b""),
    (entry("a.txt"), b"alpha\n"),
    (entry("run.sh", mode=0o100755), b"#!/bin/sh\necho run\n"),
    (entry("sub/b.txt"), b"bravo\n"),
])

# Made on a system without Unix modes: only the DOS attribute byte (0x01 read-only,
# 0x10 folder, 0x20 archive).
write("dos-attributes.zip", [
    (entry("readonly.txt", system=0, attr=0x21), b"read only\n"),
    (entry("plain.txt", system=0, attr=0x20), b"plain\n"),
    (entry("folder/", system=0, attr=0x11), b""),
    (entry("folder/inner.txt", system=0, attr=0x20), b"inner\n"),
])

write("duplicate-names.zip", [
    (entry("dup.txt"), b"first"),
    (entry("other.txt"), b"other"),
    (entry("dup.txt"), b"second"),
])

# Zip-slip: each archive holds a harmless file first and then one entry that would land
# outside the folder it is unpacked into.
slips = {
    "slip-parent.zip": "../evil.txt",
    "slip-nested-parent.zip": "a/../../evil.txt",
    "slip-absolute.zip": "/tmp/tovrel-slip-evil.txt",
    "slip-backslash.zip": "a\\..\\..\\evil.txt",
    "slip-drive.zip": "C:/evil.txt",
}
for archive, name in slips.items():
    write(archive, [(entry("good.txt"), b"good"), (entry(name), b"evil")])

# A link entry that points out of the folder, then a file "through" it.
write("slip-through-link.zip", [
    (entry("good.txt"), b"good"),
    (entry("escape", mode=stat.S_IFLNK | 0o777), b"../.."),
    (entry("escape/evil.txt"), b"evil"),
])
PY
ls -l "$here"/*.zip
