"""Checksums of a data folder's files, so that damaged bytes are found rather than served.

``export`` writes ``checksums.sha256`` next to the tables, one line per file in
the format ``sha256sum`` reads and writes, so the folder can also be checked
without Python. Only files the manifest lists are checked: a folder written by
other tools, or a table replaced by a partitioned folder, has nothing to compare.
"""

import hashlib
import pathlib

from .layout import StoreError

__all__ = ["MANIFEST", "write_manifest", "check_manifest"]

MANIFEST = "checksums.sha256"
_CHUNK = 1 << 22


def _digest(path):
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as handle:
            for block in iter(lambda: handle.read(_CHUNK), b""):
                digest.update(block)
    except OSError as exc:
        raise StoreError("{}: not readable ({})".format(path, exc)) from None
    return digest.hexdigest()


def write_manifest(folder, files):
    """Record the checksum of each of ``files`` (paths inside ``folder``)."""
    folder = pathlib.Path(folder)
    lines = ["{}  {}\n".format(_digest(path), pathlib.Path(path).relative_to(folder).as_posix()) for path in files]
    target = folder / MANIFEST
    temporary = target.with_name(target.name + ".tmp")
    temporary.write_text("".join(lines), encoding="utf-8")
    temporary.replace(target)


def _entries(folder):
    path = folder / MANIFEST
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        return []
    except (OSError, UnicodeDecodeError) as exc:
        raise StoreError("{}: not readable ({})".format(path, exc)) from None
    entries = []
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        digest, sep, name = line.partition("  ")
        if not sep or len(digest) != 64 or not name or pathlib.PurePosixPath(name).is_absolute() or ".." in name:
            raise StoreError("{}: line {} is not '<sha256>  <file>': {!r}".format(path, number, line))
        entries.append((digest.lower(), folder / name))
    return entries


def check_manifest(folder):
    """StoreError naming the first listed file whose bytes differ from those export wrote."""
    folder = pathlib.Path(folder)
    for digest, path in _entries(folder):
        if not path.exists():
            continue
        if _digest(path) != digest:
            raise StoreError("{}: the file's checksum differs from the one recorded in {} when it was written; "
                             "the file is damaged (or was changed afterwards: then remove its line)".format(
                                 path, MANIFEST))
