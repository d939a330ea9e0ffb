"""The recorded HPACK corpus shipped with the tests (tests/data/hpack-test-case.tar.xz, MIT
licence in tests/data/hpack-test-case.LICENSE): header blocks from independent encoders, one
folder per encoder and strategy, each story_NN.json one compression context.

`corpus_dir()` unpacks the archive once per content into the temporary directory and returns the
folder holding the encoder folders."""
import hashlib
import os
import pathlib
import tarfile
import tempfile

ARCHIVE = pathlib.Path(__file__).resolve().parents[1] / "data" / "hpack-test-case.tar.xz"


def corpus_dir() -> pathlib.Path:
    digest = hashlib.sha256(ARCHIVE.read_bytes()).hexdigest()[:16]
    dest = pathlib.Path(tempfile.gettempdir()) / f"velmora-hpack-corpus-{digest}"
    root = dest / "hpack-test-case"
    if (dest / ".complete").exists():
        return root
    staging = pathlib.Path(tempfile.mkdtemp(prefix="velmora-hpack-corpus-"))
    with tarfile.open(ARCHIVE) as tar:
        for member in tar.getmembers():
            if not (member.isfile() or member.isdir()) or member.name.startswith(("/", "..")):
                raise ValueError(f"unexpected archive member {member.name!r}")
        if hasattr(tarfile, "data_filter"):
            tar.extractall(staging, filter="data")
        else:
            tar.extractall(staging)
    (staging / ".complete").touch()
    try:
        os.rename(staging, dest)
    except OSError:  # another process unpacked it first
        pass
    return root


def stories() -> list[pathlib.Path]:
    return sorted(corpus_dir().glob("*/story_*.json"))
