"""Shared pieces of the fuzz harnesses: a byte-consuming input decoder, the
command line every harness understands, and the sample-data location.

Each harness turns the fuzzer's bytes into structured arguments through
`Provider`, calls the module, and checks the result against a short model of
the contract. `Provider` is plain Python (not atheris' own data provider) so
that a saved input decodes to the same arguments in the normal test run,
which replays fuzz/corpus/<harness>/ without atheris.

    python3 fuzz/<harness>.py [libFuzzer options] [corpus dirs]   # fuzz
    python3 fuzz/<harness>.py --make-seeds DIR                    # seeds
    python3 fuzz/<harness>.py --replay FILE...                    # re-run inputs
    python3 fuzz/<harness>.py --mutate SECONDS OUT_DIR CORPUS_DIR...  # see mutate()
"""

from __future__ import annotations

import math
import os
import random
import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"
SHARED_DATA = Path(os.environ.get("TESSAROID_SHARED_DATA", ROOT.parent / "shared" / "data"))

_work_folders: dict[str, str] = {}


def work_folder(name: str) -> str:
    """One scratch folder per harness for the whole run, removed at exit (in
    memory when /dev/shm is writable: creating and removing folders on a disk
    costs more than a call)."""
    if name not in _work_folders:
        import atexit
        import shutil
        import tempfile

        base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
        folder = tempfile.mkdtemp(prefix=f"tsr-fuzz-{name}-", dir=base)
        atexit.register(shutil.rmtree, folder, True)
        _work_folders[name] = folder
    return _work_folders[name]


# Exit status of a harness whose entry point still raises NotImplementedError.
EXIT_UNAVAILABLE = 77


class Provider:
    """Decodes fuzzer bytes into values. Reading past the end yields zeros,
    so every input, however short, decodes to some arguments."""

    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def remaining(self) -> int:
        return max(0, len(self.data) - self.pos)

    def take(self, n: int) -> bytes:
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def uint(self, nbytes: int) -> int:
        return int.from_bytes(self.take(nbytes).ljust(nbytes, b"\0"), "little")

    def int_in(self, lo: int, hi: int) -> int:
        """An integer in [lo, hi]."""
        span = hi - lo
        if span <= 0:
            return lo
        nbytes = (span.bit_length() + 7) // 8
        return lo + self.uint(nbytes) % (span + 1)

    def boolean(self) -> bool:
        return bool(self.uint(1) & 1)

    def chance(self, one_in: int) -> bool:
        return self.int_in(0, one_in - 1) == one_in - 1

    def pick(self, seq):
        return seq[self.int_in(0, len(seq) - 1)]

    def float64_bits(self) -> float:
        return struct.unpack("<d", self.take(8).ljust(8, b"\0"))[0]

    def blob(self, max_len: int) -> bytes:
        return self.take(self.int_in(0, max_len))

    def rest(self) -> bytes:
        chunk = self.data[self.pos:]
        self.pos = len(self.data)
        return chunk


# ------------------------------------------------------------- saved cases
#
# A failing input is also saved as the arguments it decoded to (a JSON
# "case"), because the raw bytes mean something else as soon as a
# generator changes. Cases hold None, bools, ints, floats (as hex, so NaN,
# infinities and signed zeros survive), str, bytes, lists, tuples, dicts
# and NumPy arrays (dtype, shape, order, read-only flag, every-other-row
# views).


def encode_case(obj):
    import base64

    import numpy as np

    if obj is None or isinstance(obj, (bool, str)):
        return obj
    if isinstance(obj, int):
        return {"int": str(obj)}
    if isinstance(obj, float):
        return {"float": obj.hex()}
    if isinstance(obj, bytes):
        return {"bytes": base64.b64encode(obj).decode()}
    if isinstance(obj, list):
        return [encode_case(x) for x in obj]
    if isinstance(obj, tuple):
        return {"tuple": [encode_case(x) for x in obj]}
    if isinstance(obj, dict):
        return {"dict": [[encode_case(k), encode_case(v)] for k, v in obj.items()]}
    if isinstance(obj, np.ndarray):
        if obj.ndim and not (obj.flags.c_contiguous or obj.flags.f_contiguous):
            return {"every_other_row": encode_case(np.ascontiguousarray(obj))}
        out = {"dtype": obj.dtype.str, "shape": list(obj.shape), "fortran": bool(obj.ndim > 1 and obj.flags.f_contiguous
                                                                                  and not obj.flags.c_contiguous),
               "readonly": not obj.flags.writeable}
        if obj.dtype == object:
            out["items"] = [encode_case(x) for x in obj.ravel().tolist()]
        else:
            out["data"] = base64.b64encode(np.ascontiguousarray(obj).tobytes()).decode()
        return {"ndarray": out}
    raise TypeError(f"cannot save {type(obj).__name__} in a case")


def decode_case(obj):
    import base64

    import numpy as np

    if not isinstance(obj, (dict, list)):
        return obj
    if isinstance(obj, list):
        return [decode_case(x) for x in obj]
    (tag, value), = obj.items()
    if tag == "int":
        return int(value)
    if tag == "float":
        return float.fromhex(value)
    if tag == "bytes":
        return base64.b64decode(value)
    if tag == "tuple":
        return tuple(decode_case(x) for x in value)
    if tag == "dict":
        return {decode_case(k): decode_case(v) for k, v in value}
    if tag == "every_other_row":
        return np.repeat(decode_case(value), 2, axis=0)[::2]
    if tag == "ndarray":
        if "items" in value:
            arr = np.empty(len(value["items"]), dtype=object)
            arr[:] = [decode_case(x) for x in value["items"]] if value["items"] else []
            arr = arr.reshape(value["shape"])
        else:
            arr = np.frombuffer(base64.b64decode(value["data"]), dtype=value["dtype"]).reshape(value["shape"]).copy()
        if value["fortran"]:
            arr = np.asfortranarray(arr)
        arr.flags.writeable = not value["readonly"]
        return arr
    raise ValueError(f"unknown case tag {tag!r}")


def not_implemented(call) -> bool:
    """True when `call()` raises NotImplementedError (a body not written yet)."""
    try:
        call()
    except NotImplementedError:
        return True
    except Exception:
        return False
    return False


def same_float(a: float, b: float) -> bool:
    """Bitwise equality of two doubles (NaN payloads and signed zeros included)."""
    return struct.pack("<d", a) == struct.pack("<d", b)


def close_float(a: float, b: float, rel: float) -> bool:
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b or abs(a - b) <= rel * max(abs(a), abs(b))


_signals: dict = {}
_instrumenting = [False]


def signal(key) -> None:
    """Marks a native outcome (a decoded format, a channel count, an error
    type) as coverage. The native code is not instrumented, so without this
    the fuzzer keeps only inputs that take new paths through the harness's
    own Python code. Each distinct key gets its own tiny instrumented
    function the first time it is seen; a call to it is new coverage."""
    fn = _signals.get(key)
    if fn is None:
        if len(_signals) >= 4096:
            return
        namespace: dict = {}
        exec(compile("def outcome():\n    return None\n", f"<signal {key!r}>", "exec"), namespace)
        fn = namespace["outcome"]
        if _instrumenting[0]:
            import atheris

            fn = atheris.instrument_func(fn)
        _signals[key] = fn
    fn()


def _instrument(module_globals: dict) -> None:
    """Lets atheris see the branches of the harness's own Python code (its
    generators and models): the native code is not instrumented, so this is
    the coverage signal that guides the fuzzer."""
    import atheris

    _instrumenting[0] = True
    name = module_globals["__name__"]
    for key, value in list(module_globals.items()):
        if callable(value) and getattr(value, "__module__", None) == name and hasattr(value, "__code__"):
            module_globals[key] = atheris.instrument_func(value)
    for fn in (Provider.int_in, Provider.uint, Provider.take, Provider.pick):
        atheris.instrument_func(fn)


def mutate(one_input, seconds: float, out_dir: Path, corpus_dirs) -> None:
    """Random mutations of the corpus inputs (bit flips, byte changes,
    inserts, deletions, splices) for `seconds`. Used under ASan, where
    atheris gets no coverage signal and would shrink its corpus to a single
    input. Before each run the input is written to OUT_DIR/current, so an
    input that kills the process (a sanitizer report) is left there; a
    failing check saves OUT_DIR/crash-<n> and raises."""
    import time

    inputs = [f.read_bytes() for d in corpus_dirs for f in sorted(Path(d).glob("*")) if f.is_file()]
    inputs = inputs or [b""]
    seed = int.from_bytes(os.urandom(4), "little")
    print(f"mutate: seed {seed}, {len(inputs)} corpus inputs", file=sys.stderr)
    rng = random.Random(seed)
    current = out_dir / "current"
    runs = 0
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        data = bytearray(rng.choice(inputs))
        for _ in range(rng.randint(1, 4)):
            op = rng.randrange(5)
            pos = rng.randrange(len(data) + 1)
            if op == 0 and data:
                data[min(pos, len(data) - 1)] ^= 1 << rng.randrange(8)
            elif op == 1 and data:
                data[min(pos, len(data) - 1)] = rng.choice((0, 1, 0x7F, 0x80, 0xFF, rng.randrange(256)))
            elif op == 2:
                data[pos:pos] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 8)))
            elif op == 3 and data:
                del data[pos:pos + rng.randint(1, 16)]
            else:
                other = rng.choice(inputs)
                a = rng.randrange(len(other) + 1)
                data[pos:pos + rng.randint(0, 16)] = other[a:a + rng.randint(1, 64)]
        blob = bytes(data)
        current.write_bytes(blob)
        try:
            one_input(blob)
        except Exception:
            (out_dir / f"crash-mutate-{seed}-{runs}").write_bytes(blob)
            current.unlink()
            raise
        runs += 1
    current.unlink(missing_ok=True)
    print(f"Done {runs} runs in {int(time.monotonic() - start)} second(s)", file=sys.stderr)


def main(module_globals: dict) -> None:
    """Command line of a harness module: `generate(data)`, `check(case)`,
    `seeds()` and `available()` are taken from its globals."""
    one_input = module_globals["one_input"]
    args = sys.argv[1:]
    if args[:1] == ["--materialize"]:
        import json

        case = module_globals["generate"](Path(args[1]).read_bytes())
        Path(args[2]).write_text(json.dumps(encode_case(case), indent=1) + "\n")
        return
    if args[:1] == ["--make-seeds"]:
        out = Path(args[1])
        out.mkdir(parents=True, exist_ok=True)
        for i, seed in enumerate(module_globals["seeds"]()):
            (out / f"seed-{i:03d}").write_bytes(seed)
        return
    if not module_globals["available"]():
        print(f"{Path(sys.argv[0]).stem}: entry point not implemented yet, skipped", file=sys.stderr)
        sys.exit(EXIT_UNAVAILABLE)
    if args[:1] == ["--mutate"]:
        mutate(one_input, float(args[1]), Path(args[2]), args[3:])
        return
    if args[:1] == ["--replay"]:
        for name in args[1:]:
            one_input(Path(name).read_bytes())
        print(f"replayed {len(args) - 1} input(s)", file=sys.stderr)
        return
    import atheris

    _instrument(module_globals)
    atheris.Setup(sys.argv, module_globals["one_input"])
    atheris.Fuzz()
