"""Texture files of a tile.

- "source" (the default): PNG and JPEG images are written byte for byte as the tile
  stores them (.png / .jpg after their own format, not their name or MIME type);
  other images (BMP, GIF, ...) are decoded and written as PNG, unflipped. The vertical
  flip OBJ needs (its texture origin is bottom-left, glTF's top-left) is done on the
  texture coordinates instead (`placement.flip_v`).
- "png" / "jpeg": every image decoded, flipped and re-encoded by `DecodedTexture`.

Decoding and encoding hold the interpreter lock, so on a thread pool they would run
one image at a time: during a run with several workers they go to a pool of worker
processes (`reencode_pool`), one image per job, each writing straight to its staging
temp path; the bytes are the same as in-thread.
"""

from __future__ import annotations

import atexit
import contextlib
import multiprocessing
import os
import struct
import threading
import uuid
import zlib
from concurrent.futures import ProcessPoolExecutor
from typing import Callable
from concurrent.futures.process import BrokenProcessPool

from .assembly import TileMesh
from .errors import ConversionError
from . import images
from .planning import stored_image_bytes
from .records import Options

def stored_image_fault(data: bytes, kind: str) -> str | None:
    """Why stored PNG/JPEG bytes are not a whole image (None when they look whole),
    checked without decoding: PNG chunks with their CRCs up to IEND; JPEG start,
    scan and end markers. A file cut short is refused here rather than written."""
    if kind == "png":
        pos, end = 8, len(data)
        while pos + 12 <= end:
            length, ctype = struct.unpack_from(">I4s", data, pos)
            stop = pos + 12 + length
            if stop > end:
                break
            crc = struct.unpack_from(">I", data, stop - 4)[0]
            if zlib.crc32(data[pos + 4:stop - 4]) != crc:
                return "not a whole PNG (a chunk fails its CRC)"
            if ctype == b"IEND":
                return None
            pos = stop
        return "not a whole PNG (cut short)"
    soi_sos = data.find(b"\xff\xda", 2)
    if soi_sos < 0 or data.rfind(b"\xff\xd9") < soi_sos:
        return "not a whole JPEG (cut short)"
    return None


# ---------------------------------------------------------------- the work of one image

def encode_image(data: bytes, path: str, as_png: bool, quality: int, flip: bool = True) -> str | None:
    """Decode `data` and write it to `path` as PNG (or JPEG), flipped or not; None when
    done, else the reason. Runs in a worker process or in the calling thread."""
    if images.is_webp(data[:16]):
        try:
            data = images.webp_to_png(data, "WebP image")
        except ConversionError as exc:
            return str(exc)
    from ._native import native

    ow = native()
    dec = ow.DecodedTexture()
    if not dec.decode(data):
        return "could not be decoded (not a readable PNG/JPEG/BMP/GIF, or corrupt)"
    if flip:
        return None if dec.flip_and_save(path, as_png, quality) else "could not be written"
    # Unflipped: the saver always flips, so flip a lossless copy back.
    mid = f"{path}.{uuid.uuid4().hex[:8]}.flip.png"
    try:
        if not dec.flip_and_save(mid, True, quality):
            return "could not be written"
        again = ow.DecodedTexture()
        with open(mid, "rb") as fh:
            if not again.decode(fh.read()):
                return "could not be written"
        return None if again.flip_and_save(path, as_png, quality) else "could not be written"
    finally:
        with contextlib.suppress(OSError):
            os.unlink(mid)


# ---------------------------------------------------------------- the process pool of a run

def _context():
    """fork where there is one: the pool is started before the run's tile threads
    (see `reencode_pool`), and unlike spawn or a fork server it does not re-run the
    caller's main script in the workers. Elsewhere spawn (the caller's script then
    needs its `if __name__ == "__main__":` guard, as for any process pool)."""
    try:
        return multiprocessing.get_context("fork")
    except ValueError:  # pragma: no cover - platforms without fork
        return multiprocessing.get_context("spawn")


class _PoolState:
    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.users = 0  # runs re-encoding in the pool now
        self.size = 0
        self.pool: ProcessPoolExecutor | None = None

    def get(self) -> ProcessPoolExecutor | None:
        with self.lock:
            return self.pool if self.users else None

    def shutdown_broken(self, pool: ProcessPoolExecutor) -> None:
        """Forget a pool whose worker died, so that the next run starts a new one."""
        with self.lock:
            if self.pool is pool:
                self.pool, self.size = None, 0

    def shutdown(self) -> None:
        with self.lock:
            pool, self.pool, self.size = self.pool, None, 0
        if pool is not None:
            pool.shutdown(wait=True)


_state = _PoolState()
atexit.register(_state.shutdown)


@contextlib.contextmanager
def reencode_pool(workers: int):
    """During a run: image re-encoding in up to `workers` processes (none for one
    worker, or one CPU). The pool is started here, in the calling thread, with all
    its processes at once, before the run starts its tile threads; it is shared by
    the runs of this process that overlap and kept for the next run of the same size
    (a process of its own is not started again for every call of `convert`)."""
    size = min(int(workers), os.cpu_count() or 1)
    if size < 2:
        yield
        return
    old = None
    with _state.lock:
        if _state.pool is not None and _state.size != size and _state.users == 0:
            old, _state.pool, _state.size = _state.pool, None, 0
        if _state.pool is None:
            try:
                pool = ProcessPoolExecutor(max_workers=size, mp_context=_context())
                pool.submit(os.getpid).result()  # launches the workers now
                _state.pool, _state.size = pool, size
            except Exception:  # noqa: BLE001 - no processes here (a daemonic process, limits):
                _state.pool = None  # re-encode in the tile threads
        _state.users += 1
    if old is not None:
        old.shutdown(wait=True)
    try:
        yield
    finally:
        with _state.lock:
            _state.users -= 1


def _start_jobs(jobs: list[tuple[str, bytes, str, bool, int, bool]]) -> Callable[[], None]:
    """(file name, bytes, temp path, as_png, quality, flip) per image, handed to the
    run's process pool when there is one; the returned function waits for them (or,
    without a pool, does them) and raises ConversionError naming the first image that
    failed."""
    pool = _state.get() if jobs else None
    futs = None
    if pool is not None:
        try:
            futs = [(name, pool.submit(encode_image, data, tmp, png, q, flip))
                    for name, data, tmp, png, q, flip in jobs]
        except BrokenProcessPool:
            futs = None
            _state.shutdown_broken(pool)

    def finish() -> None:
        results = None
        if futs is not None:
            try:
                results = [(name, f.result()) for name, f in futs]
            except BrokenProcessPool:
                results = None  # a worker process died (killed, out of memory): do it here instead
                _state.shutdown_broken(pool)
        if results is None:
            results = [(name, encode_image(data, tmp, png, q, flip)) for name, data, tmp, png, q, flip in jobs]
        for name, err in results:
            if err is not None:
                raise ConversionError(f"texture {name}: {err}")

    return finish


def start_textures(ow, mesh: TileMesh, stage, opts: Options) -> Callable[[], None]:
    """Start writing the tile's images into the staging folder (re-encoding runs in
    the run's worker processes, if any, while the caller writes the OBJ) and point the
    materials at their final names now; the returned function waits for the images."""
    jobs = []
    renamed: dict[str, str] = {}
    for job in mesh.textures:
        if opts.keep_images:
            data = stored_image_bytes(job.asset, job.image)
            kind = images.image_kind(data)
            stem = job.file_name.rsplit(".", 1)[0]
            name = f"{stem}.{kind or 'png'}"
            if name != job.file_name:
                renamed[job.file_name] = name
                job.file_name = name
            if kind is not None:
                fault = stored_image_fault(data, kind)
                if fault:
                    raise ConversionError(f"texture {name} (image {job.image}): {fault}")
                stage.write(name, [data])
                continue
            tmp, _ = stage.temp_for(name)
            jobs.append((f"{name} (image {job.image})", data, str(tmp), True, opts.jpeg_quality, False))
        else:
            from .planning import image_bytes

            data = image_bytes(job.asset, job.image)
            tmp, _ = stage.temp_for(job.file_name)
            jobs.append((f"{job.file_name} (image {job.image})", data, str(tmp), opts.as_png,
                         opts.jpeg_quality, True))
    if renamed:
        mesh.materials[:] = [(n, m, renamed.get(t, t) if t else t) for n, m, t in mesh.materials]
    return _start_jobs(jobs)


__all__ = ["start_textures", "reencode_pool", "encode_image"]
