"""The module surface: import rules, function objects, and argument binding.

Binding is table-driven: one descriptor per entry point drives every error
message, so these tests go through every function and method once.
"""

import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from tessaroid import _obj_writer as ow

FUNCTIONS = {
    # name: (parameters, number required, defaults)
    "format_vertex_lines": (["positions"], 1, ()),
    "format_texcoord_lines": (["texcoords"], 1, ()),
    "format_face_lines": (["faces", "with_vt"], 2, ()),
    "extract_mesh_arrays": (["gltf", "bin_chunk", "feature_ids"], 2, (None,)),
    "quantize_uvr": (["uvr"], 1, ()),
    "ecef_to_webmercator": (["positions"], 1, ()),
    "ecef_to_wgs84_geo": (["positions"], 1, ()),
    "convert_crs": (["positions", "crs"], 2, ()),
    "compute_obj_extent": (["obj_path"], 1, ()),
    "shift_obj_file": (["obj_path", "dx", "dy", "dz"], 4, ()),
}
METHODS = {
    "decode": (["data"], 1, ()),
    "crop_and_save": (["x0", "y0", "x1", "y1", "path", "as_png", "jpeg_quality"], 5, (True, 90)),
    "flip_and_save": (["path", "as_png", "jpeg_quality"], 1, (True, 90)),
}

DOCS = {
    "format_vertex_lines": "Format positions as 'v x y z\\n' lines. Returns bytes.",
    "format_texcoord_lines": "Format texcoords as 'vt u v\\n' lines. Returns bytes.",
    "format_face_lines": "Format faces as 'f a b c\\n' or 'f a/a b/b c/c\\n' lines. Returns bytes.",
    "extract_mesh_arrays": "Extract mesh geometry from decompressed glTF into pre-allocated arrays.\n\n"
    "    Returns (positions, indices, tex_coord, uvr, feature_ids_out) or None.\n    ",
    "quantize_uvr": "Quantize UVR to 1/32 grid.\n\n    Equivalent to: np.round(np.clip(uvr, 0, 1) * 32) / 32\n"
    "    Operates in-place on a float64 copy, nogil.\n    ",
    "ecef_to_webmercator": "Convert ECEF (x,y,z) to Web Mercator EPSG:3857 (x,y,z) in-place.\n\n"
    "    positions: (N, 3) float64 array, modified in-place.\n"
    "    x = a * lon, y = a * ln(tan(\u03c0/4 + lat/2)), z = ellipsoidal height.\n    ",
    "ecef_to_wgs84_geo": "Convert ECEF (x,y,z) to WGS84 geographic EPSG:4326 (lon,lat,h) in-place.\n\n"
    "    positions: (N, 3) float64 array, modified in-place.\n"
    "    Output: lon/lat in degrees, height in meters.\n    ",
    "convert_crs": "Dispatch CRS conversion based on crs string. Modifies positions in-place.",
    "compute_obj_extent": "Scan an OBJ file for 'v' lines, return (min_x, min_y, min_z, max_x, max_y, max_z) or None.",
    "shift_obj_file": "Read OBJ file, shift all 'v' lines by (dx,dy,dz), write back.\n\n"
    "    Returns number of vertices shifted.\n    ",
    "decode": "Decode image from PNG/JPEG bytes. Returns True on success.",
    "crop_and_save": "Crop region [x0,y0)-[x1,y1), flip vertically, save to file.",
    "flip_and_save": "Flip full image vertically, save to file.",
}


def callables():
    for name, info in FUNCTIONS.items():
        yield name, getattr(ow, name), info
    for name, info in METHODS.items():
        yield name, getattr(ow.DecodedTexture(), name), info


ALL = list(callables())
IDS = [c[0] for c in ALL]


def count_message(name, qualifier, count, given):
    return f"{name}() takes {qualifier} {count} positional argument{'' if count == 1 else 's'} ({given} given)"


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


class TestSurface:
    def test_namespace(self):
        names = {n for n in dir(ow) if not n.startswith("_")}
        assert names == set(FUNCTIONS) | {"DecodedTexture", "np"}
        assert ow.np is np
        cls = ow.DecodedTexture
        assert (cls.__module__, cls.__name__) == ("tessaroid._obj_writer", "DecodedTexture")
        assert cls.__doc__ and "\n" not in cls.__doc__

    def test_module_docstring(self):
        lines = ow.__doc__.split("\n")
        assert len(lines) == 5 and lines[4] == "" and lines[1] == ""
        assert lines[2] == "Stage 1: OBJ string formatting via snprintf with GIL released."
        assert lines[3] == "Stage 2: Mesh array extraction with pre-allocated numpy + nogil type casting."

    @pytest.mark.parametrize("name,fn,info", ALL, ids=IDS)
    def test_function_objects(self, name, fn, info):
        params, required, defaults = info
        assert fn.__name__ == name
        qual = f"DecodedTexture.{name}" if name in METHODS else name
        assert fn.__qualname__ == qual
        assert fn.__doc__ == DOCS[name]
        sig = inspect.signature(fn)
        assert list(sig.parameters) == params
        got_defaults = tuple(p.default for p in sig.parameters.values() if p.default is not p.empty)
        assert got_defaults == defaults
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
        if name in FUNCTIONS:
            assert fn.__module__ == "tessaroid._obj_writer"


class TestBinding:
    @pytest.mark.parametrize("name,fn,info", ALL, ids=IDS)
    def test_count_and_keyword_messages(self, name, fn, info):
        params, required, _ = info
        exact = required == len(params)

        def message_of(*args, **kwargs):
            with pytest.raises(TypeError) as e:
                fn(*args, **kwargs)
            return str(e.value)

        assert message_of(*([None] * (len(params) + 1))) == count_message(
            name, "exactly" if exact else "at most", len(params), len(params) + 1)
        qualifier = "exactly" if exact else "at least"
        assert message_of() == count_message(name, qualifier, required, 0)
        if required > 1:
            # The first gap is reported: K = R - 1 when only the last required one is missing,
            # 0 when only the first is (a keyword filling a later one does not count).
            assert message_of(**{p: 0 for p in params[: required - 1]}) == count_message(
                name, qualifier, required, required - 1)
            assert message_of(**{params[required - 1]: 0}) == count_message(name, qualifier, required, 0)
        assert message_of(None, **{params[0]: None}) == (
            f"{name}() got multiple values for keyword argument '{params[0]}'")
        assert message_of(nonexistent=1) == f"{name}() got an unexpected keyword argument 'nonexistent'"

    def test_keyword_built_at_run_time_matches(self):
        key = "".join(["with", "_vt"])  # not the interned object
        assert ow.format_face_lines(faces=np.zeros((0, 3)), **{key: 1}) == b""

    class StrSub(str):
        pass

    class BytesSub(bytes):
        pass

    @pytest.mark.parametrize(
        "call,message",
        [
            (lambda: ow.compute_obj_extent(b"a.obj"), "Argument 'obj_path' has incorrect type (expected str, got bytes)"),
            (lambda: ow.compute_obj_extent(TestBinding.StrSub("a")), "Argument 'obj_path' has incorrect type (expected str, got StrSub)"),
            (lambda: ow.convert_crs([], 3857), "Argument 'crs' has incorrect type (expected str, got int)"),
            (lambda: ow.extract_mesh_arrays({}, bytearray(b"..")), "Argument 'bin_chunk' has incorrect type (expected bytes, got bytearray)"),
            (lambda: ow.extract_mesh_arrays({}, TestBinding.BytesSub(b"")), "Argument 'bin_chunk' has incorrect type (expected bytes, got BytesSub)"),
            (lambda: ow.DecodedTexture().decode(bytearray()), "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
            (lambda: ow.DecodedTexture().flip_and_save(b"a.png"), "Argument 'path' has incorrect type (expected str, got bytes)"),
        ],
    )
    def test_exact_type_checks(self, call, message):
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == message

    def test_scalar_conversions_come_before_type_checks(self):
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

    class IntLike:
        def __int__(self):
            return 3

    @pytest.mark.parametrize("value,error", [
        (2**31, OverflowError), (-(2**31) - 1, OverflowError), (2**64, OverflowError),
        ("0", TypeError), (None, TypeError), ([1], TypeError), (1j, TypeError),
        (0.9, None), (-0.9, None), (True, None), (np.int64(2), None), (IntLike(), None),
        (2**31 - 1, None), (-(2**31), None),
    ])
    def test_int32_parameters(self, tmp_path, value, error):
        call = lambda: ow.DecodedTexture().crop_and_save(0, value, 8, 8, str(tmp_path / "a.png"))  # noqa: E731
        if error is None:  # accepted; an empty texture then reports failure
            assert call() is False
        else:
            with pytest.raises(error) as e:
                call()
            assert error is OverflowError or str(e.value) == "an integer is required"

    def test_float_parameters(self, tmp_path):
        path = tmp_path / "a.obj"
        path.write_bytes(b"v 1 2 3\n")

        class Idx:
            def __index__(self):
                return 1

        assert ow.shift_obj_file(str(path), 1, Idx(), np.float32(0.5)) == 1
        assert path.read_bytes() == b"v 0.000000 1.000000 2.500000\n"
        for bad in ("1", None, [1.0]):
            with pytest.raises(TypeError):
                ow.shift_obj_file(str(path), bad, 0, 0)


class Falsy:
    def __bool__(self):
        raise ZeroDivisionError("truth")


class TestImport:
    def test_reimport_returns_same_module(self):
        code = """
            import sys, importlib
            import tessaroid._obj_writer as a
            del sys.modules["tessaroid._obj_writer"]
            b = importlib.import_module("tessaroid._obj_writer")
            assert a is b and b.format_vertex_lines is a.format_vertex_lines
            print("ok")
        """
        r = run_python(code)
        assert r.stdout.strip() == "ok", r.stderr

    def test_second_interpreter_is_refused(self):
        code = """
            import _xxsubinterpreters as si
            import tessaroid._obj_writer
            interp = si.create()
            try:
                si.run_string(interp, "import tessaroid._obj_writer")
            except Exception as e:
                print(e)
        """
        r = run_python(code)
        assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in r.stdout, r.stderr

    def test_executing_a_second_module_object_is_refused(self):
        code = """
            import _imp, importlib.util, tessaroid
            import os
            path = [os.path.join(tessaroid.__path__[0], f) for f in os.listdir(tessaroid.__path__[0])
                    if f.startswith("_obj_writer") and f.endswith(".so")][0]
            spec = importlib.util.spec_from_file_location("tessaroid._obj_writer", path)
            a = _imp.create_dynamic(spec)
            b = _imp.create_dynamic(spec)
            assert a is not b
            _imp.exec_dynamic(a)
            _imp.exec_dynamic(a)  # the same module again: nothing to do
            try:
                _imp.exec_dynamic(b)
            except RuntimeError as e:
                print(e)
        """
        r = run_python(code)
        assert r.stdout.strip() == (
            "Module '_obj_writer' has already been imported. Re-initialisation is not supported."
        ), r.stderr

    def test_numpy_failures_then_retry(self):
        code = """
            import sys, types
            sys.modules["numpy"] = None
            try:
                import tessaroid._obj_writer
            except ModuleNotFoundError as e:
                print("ModuleNotFoundError")
            del sys.modules["numpy"]
            import numpy
            # NumPy 2 keeps its core in numpy._core, NumPy 1 in numpy.core.
            name = next(n for n in ("numpy._core._multiarray_umath", "numpy.core._multiarray_umath")
                        if n in sys.modules)
            real = sys.modules[name]
            sys.modules[name] = types.ModuleType("broken")
            try:
                import tessaroid._obj_writer
            except ImportError as e:
                print(e, "|", type(e.__cause__).__name__)
            sys.modules[name] = real
            sys.modules.pop("tessaroid._obj_writer", None)
            import tessaroid._obj_writer as m
            print(m.format_face_lines([[1, 2, 3]], False))
        """
        r = run_python(code)
        lines = r.stdout.splitlines()
        assert lines[0] == "ModuleNotFoundError", r.stderr
        assert lines[1].startswith("numpy._core.multiarray failed to import |")
        assert lines[2] == "b'f 1 2 3\\n'"
