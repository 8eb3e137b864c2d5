"""Replays the fuzz harnesses' inputs: every input that ever failed
(fuzz/corpus/<harness>/), and each harness's generated seeds.

A saved input is kept in two forms: the fuzzer's raw bytes, and the
arguments they decoded to (<name>.json, written by tools/fuzz-short). The
JSON form is what is replayed when it exists: raw bytes decode to other
arguments as soon as a harness's generator changes.

The harnesses check their own invariants (results equal to a model,
exceptions of documented types, files whole or untouched), so a replay fails
exactly when the fault an input found comes back. Under tools/sanitize-test
the same replay runs with AddressSanitizer and UndefinedBehaviorSanitizer.
"""

import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
HARNESSES = sorted(p.stem for p in FUZZ.glob("*.py") if not p.stem.startswith("_"))

# Inputs that pin a fault not fixed yet, with what the fault is. A replay of
# one of them is expected to fail; remove the entry when the fault is fixed.
KNOWN_FAULTS: dict = {}


def load(name: str):
    module = sys.modules.get(f"tessaroid_fuzz_{name}")
    if module is None:
        spec = importlib.util.spec_from_file_location(f"tessaroid_fuzz_{name}", FUZZ / f"{name}.py")
        module = importlib.util.module_from_spec(spec)
        sys.modules[spec.name] = module
        try:
            spec.loader.exec_module(module)
        except BaseException:
            del sys.modules[spec.name]
            raise
    if not module.available():
        pytest.skip(f"{name}: entry point not implemented yet")
    return module


def corpus():
    for name in HARNESSES:
        folder = FUZZ / "corpus" / name
        for path in sorted(folder.glob("*")) if folder.is_dir() else []:
            if path.suffix != ".json" and path.with_name(path.name + ".json").exists():
                continue  # replayed through its saved arguments
            marks = ()
            reason = KNOWN_FAULTS.get((name, path.name.removesuffix(".json")))
            if reason:
                marks = pytest.mark.xfail(reason=reason, raises=AssertionError, strict=False)
            yield pytest.param(name, path, id=f"{name}/{path.name}", marks=marks)


# Under the sanitizers each saved input runs in its own interpreter: an input
# that still trips ASan or UBSan stops only that process, and its report
# becomes this test's failure message, while the rest of the suite goes on.
SANITIZED = os.environ.get("TESSAROID_SANITIZED") == "1"


@pytest.mark.parametrize("name,path", list(corpus()))
def test_failed_input_stays_fixed(name, path):
    if SANITIZED and not os.environ.get("TESSAROID_CORPUS_CHILD"):
        code = ("import sys, pytest; sys.exit(pytest.main(['-q', '-p', 'no:cacheprovider', '--capture=sys', "
                f"{__file__!r} + '::test_failed_input_stays_fixed[{name}/{path.name}]']))")
        env = dict(os.environ, TESSAROID_CORPUS_CHILD="1")
        r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
        assert r.returncode == 0, f"replay of {name}/{path.name} failed:\n{r.stdout[-3000:]}\n{r.stderr[:6000]}"
        return
    module = load(name)
    if path.suffix == ".json":
        from _common import decode_case

        case = decode_case(json.loads(path.read_text()))
    else:
        case = module.generate(path.read_bytes())
    module.check_case(case)


@pytest.mark.parametrize("name", HARNESSES)
def test_seeds_pass(name):
    module = load(name)
    seeds = module.seeds()
    assert seeds
    for data in seeds:
        module.check_case(module.generate(data))
