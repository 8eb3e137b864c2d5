"""Replays every input that ever failed a fuzz harness (fuzz/corpus/<harness>/) and each
harness's seeds; the harnesses check their own invariants, so a replay fails when the fault returns.
A saved input is replayed through its decoded arguments (<name>.json) when they exist: raw bytes
decode to other arguments as soon as a harness's generator changes."""

import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
HARNESSES = sorted(p.stem for p in FUZZ.glob("*.py") if not p.stem.startswith("_"))
SANITIZED = os.environ.get("TESSAROID_SANITIZED") == "1"


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
        for path in sorted((FUZZ / "corpus" / name).glob("*")):
            if path.suffix == ".json" or not path.with_name(path.name + ".json").exists():
                yield pytest.param(name, path, id=f"{name}/{path.name}")


@pytest.mark.parametrize("name,path", list(corpus()))
def test_failed_input_stays_fixed(name, path):
    # Under the sanitizers each input runs in its own interpreter, so a report stops only that
    # process and becomes this test's failure message.
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
