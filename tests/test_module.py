"""The module surface: import rules, function objects, and argument binding (every entry point)."""

import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from tessaroid import _obj_writer as ow

# name: (signature, exact docstring)
SIGNATURES = {
    "format_vertex_lines": ("positions", "Format positions as 'v x y z\\n' lines. Returns bytes."),
    "format_texcoord_lines": ("texcoords", "Format texcoords as 'vt u v\\n' lines. Returns bytes."),
    "format_face_lines": ("faces, with_vt", "Format faces as 'f a b c\\n' or 'f a/a b/b c/c\\n' lines. Returns bytes."),
    "extract_mesh_arrays": ("gltf, bin_chunk, feature_ids=None",
                            "Extract mesh geometry from decompressed glTF into pre-allocated arrays.\n\n"
                            "    Returns (positions, indices, tex_coord, uvr, feature_ids_out) or None.\n    "),
    "quantize_uvr": ("uvr", "Quantize UVR to 1/32 grid.\n\n    Equivalent to: np.round(np.clip(uvr, 0, 1) * 32) / 32\n"
                     "    Operates in-place on a float64 copy, nogil.\n    "),
    "ecef_to_webmercator": ("positions", "Convert ECEF (x,y,z) to Web Mercator EPSG:3857 (x,y,z) in-place.\n\n"
                            "    positions: (N, 3) float64 array, modified in-place.\n"
                            "    x = a * lon, y = a * ln(tan(\u03c0/4 + lat/2)), z = ellipsoidal height.\n    "),
    "ecef_to_wgs84_geo": ("positions", "Convert ECEF (x,y,z) to WGS84 geographic EPSG:4326 (lon,lat,h) in-place.\n\n"
                          "    positions: (N, 3) float64 array, modified in-place.\n"
                          "    Output: lon/lat in degrees, height in meters.\n    "),
    "convert_crs": ("positions, crs", "Dispatch CRS conversion based on crs string. Modifies positions in-place."),
    "compute_obj_extent": ("obj_path", "Scan an OBJ file for 'v' lines, return "
                           "(min_x, min_y, min_z, max_x, max_y, max_z) or None."),
    "shift_obj_file": ("obj_path, dx, dy, dz", "Read OBJ file, shift all 'v' lines by (dx,dy,dz), write back.\n\n"
                       "    Returns number of vertices shifted.\n    "),
    "decode": ("data", "Decode image from PNG/JPEG bytes. Returns True on success."),
    "crop_and_save": ("x0, y0, x1, y1, path, as_png=True, jpeg_quality=90",
                      "Crop region [x0,y0)-[x1,y1), flip vertically, save to file."),
    "flip_and_save": ("path, as_png=True, jpeg_quality=90", "Flip full image vertically, save to file."),
}
METHODS = {"decode", "crop_and_save", "flip_and_save"}
ALL = [(name, getattr(ow.DecodedTexture() if name in METHODS else ow, name)) for name in SIGNATURES]


def test_namespace_and_module_docstring():
    assert {n for n in dir(ow) if not n.startswith("_")} == (set(SIGNATURES) - METHODS) | {"DecodedTexture", "np"}
    assert ow.np is np
    cls = ow.DecodedTexture
    assert (cls.__module__, cls.__name__) == ("tessaroid._obj_writer", "DecodedTexture")
    assert cls.__doc__ and "\n" not in cls.__doc__
    assert ow.__doc__.split("\n")[1:] == [
        "", "Stage 1: OBJ string formatting via snprintf with GIL released.",
        "Stage 2: Mesh array extraction with pre-allocated numpy + nogil type casting.", ""]


@pytest.mark.parametrize("name,fn", ALL, ids=[a[0] for a in ALL])
def test_function_objects(name, fn):
    signature, doc = SIGNATURES[name]
    qualname = f"DecodedTexture.{name}" if name in METHODS else name
    assert (fn.__name__, fn.__qualname__, fn.__doc__) == (name, qualname, doc)
    assert str(inspect.signature(fn)) == f"({signature})"  # names, defaults, all positional-or-keyword
    assert name in METHODS or fn.__module__ == "tessaroid._obj_writer"


@pytest.mark.parametrize("name,fn", ALL, ids=[a[0] for a in ALL])
def test_count_and_keyword_messages(name, fn):
    params = [p.split("=")[0] for p in SIGNATURES[name][0].split(", ")]
    required = sum("=" not in p for p in SIGNATURES[name][0].split(", "))
    exact = "exactly" if required == len(params) else "at least"

    def message_of(*args, **kwargs):
        with pytest.raises(TypeError) as e:
            fn(*args, **kwargs)
        return str(e.value)

    def count(qualifier, n, given):
        return f"{name}() takes {qualifier} {n} positional argument{'' if n == 1 else 's'} ({given} given)"

    assert message_of(*[None] * (len(params) + 1)) == count(
        "exactly" if required == len(params) else "at most", len(params), len(params) + 1)
    assert message_of() == count(exact, required, 0)
    if required > 1:
        # The first gap is reported: K = R - 1 when only the last required one is missing,
        # 0 when only the first is (a keyword filling a later one does not count).
        assert message_of(**{p: 0 for p in params[: required - 1]}) == count(exact, required, required - 1)
        assert message_of(**{params[required - 1]: 0}) == count(exact, required, 0)
    assert message_of(None, **{params[0]: None}) == f"{name}() got multiple values for keyword argument '{params[0]}'"
    assert message_of(nonexistent=1) == f"{name}() got an unexpected keyword argument 'nonexistent'"


def test_keyword_built_at_run_time_matches():
    key = "".join(["with", "_vt"])  # not the interned object
    assert ow.format_face_lines(faces=np.zeros((0, 3)), **{key: 1}) == b""


StrSub, BytesSub = type("StrSub", (str,), {}), type("BytesSub", (bytes,), {})


@pytest.mark.parametrize("fn,args,param,expected", [
    (ow.compute_obj_extent, (b"a.obj",), "obj_path", "str"),
    (ow.compute_obj_extent, (StrSub("a"),), "obj_path", "str"),
    (ow.convert_crs, ([], 3857), "crs", "str"),
    (ow.extract_mesh_arrays, ({}, bytearray(b"..")), "bin_chunk", "bytes"),
    (ow.extract_mesh_arrays, ({}, BytesSub(b"")), "bin_chunk", "bytes"),
    (ow.DecodedTexture().decode, (bytearray(),), "data", "bytes"),
    (ow.DecodedTexture().flip_and_save, (b"a.png",), "path", "str"),
])
def test_exact_type_checks(fn, args, param, expected):
    with pytest.raises(TypeError) as e:
        fn(*args)
    got = type(args[-1]).__name__
    assert str(e.value) == f"Argument '{param}' has incorrect type (expected {expected}, got {got})"


Falsy = type("Falsy", (), {"__bool__": lambda self: 1 / 0})  # its truth value raises ZeroDivisionError


def test_scalar_conversions_come_before_type_checks():
    tex = ow.DecodedTexture()
    # x0 is converted before path is type-checked, whatever their order.
    with pytest.raises(TypeError, match="^an integer is required$"):
        tex.crop_and_save("0", 0, 8, 8, b"a.png")
    with pytest.raises(OverflowError):
        tex.crop_and_save(0, 0, 8, 8, b"a.png", True, 2**31)
    with pytest.raises(ZeroDivisionError):
        tex.flip_and_save(b"a.png", as_png=Falsy())
    with pytest.raises(TypeError):
        ow.shift_obj_file(b"a.obj", "1", 0, 0)


IntLike = type("IntLike", (), {"__int__": lambda self: 3})


@pytest.mark.parametrize("value,error", [
    (2**31, OverflowError), (-(2**31) - 1, OverflowError), (2**64, OverflowError), ("0", TypeError),
    (None, TypeError), ([1], TypeError), (1j, TypeError), (0.9, None), (-0.9, None), (True, None),
    (np.int64(2), None), (IntLike(), None), (2**31 - 1, None), (-(2**31), None),
])
def test_int32_parameters(tmp_path, value, error):
    call = lambda: ow.DecodedTexture().crop_and_save(0, value, 8, 8, str(tmp_path / "a.png"))  # noqa: E731
    if error is None:  # accepted; an empty texture then reports failure
        assert call() is False
    else:
        with pytest.raises(error, match=None if error is OverflowError else "^an integer is required$"):
            call()


def test_float_parameters(tmp_path):
    path = tmp_path / "a.obj"
    path.write_bytes(b"v 1 2 3\n")
    assert ow.shift_obj_file(str(path), 1, type("Idx", (), {"__index__": lambda self: 1})(), np.float32(0.5)) == 1
    assert path.read_bytes() == b"v 0.000000 1.000000 2.500000\n"
    for bad in ("1", None, [1.0]):
        with pytest.raises(TypeError):
            ow.shift_obj_file(str(path), bad, 0, 0)


@pytest.mark.parametrize("code,expected", [
    pytest.param("""
        import sys, importlib
        import tessaroid._obj_writer as a
        del sys.modules["tessaroid._obj_writer"]
        b = importlib.import_module("tessaroid._obj_writer")
        print(a is b and b.format_vertex_lines is a.format_vertex_lines)
    """, ["True"], id="reimport_returns_same_module"),
    pytest.param("""
        import _xxsubinterpreters as si
        import tessaroid._obj_writer
        try:
            si.run_string(si.create(), "import tessaroid._obj_writer")
        except Exception as e:
            print(e)
    """, ["<class 'ImportError'>: Interpreter change detected - this module can only be loaded into one interpreter "
          "per process."],
        id="second_interpreter_is_refused"),
    pytest.param("""
        import _imp, importlib.util
        spec = importlib.util.find_spec("tessaroid._obj_writer")
        a, b = _imp.create_dynamic(spec), _imp.create_dynamic(spec)
        assert a is not b
        _imp.exec_dynamic(a)
        _imp.exec_dynamic(a)  # the same module again: nothing to do
        try:
            _imp.exec_dynamic(b)
        except RuntimeError as e:
            print(e)
    """, ["Module '_obj_writer' has already been imported. Re-initialisation is not supported."],
        id="executing_a_second_module_object_is_refused"),
    pytest.param("""
        import sys, types
        sys.modules["numpy"] = None
        try:
            import tessaroid._obj_writer
        except ModuleNotFoundError as e:
            print("ModuleNotFoundError")
        del sys.modules["numpy"]
        import numpy
        # NumPy 2 keeps its core in numpy._core, NumPy 1 in numpy.core.
        name = next(n for n in ("numpy._core._multiarray_umath", "numpy.core._multiarray_umath") if n in sys.modules)
        real, sys.modules[name] = sys.modules[name], types.ModuleType("broken")
        try:
            import tessaroid._obj_writer
        except ImportError as e:
            print(e, "|", type(e.__cause__).__name__ != "NoneType")
        sys.modules[name] = real
        sys.modules.pop("tessaroid._obj_writer", None)
        import tessaroid._obj_writer as m
        print(m.format_face_lines([[1, 2, 3]], False))
    """, ["ModuleNotFoundError", "numpy._core.multiarray failed to import | True", "b'f 1 2 3\\n'"],
        id="numpy_failures_then_retry"),
])
def test_import_rules(code, expected):
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)
    assert r.stdout.splitlines() == expected, r.stderr
