"""tessaroid: 3D-tile glTF content to Wavefront OBJ files and texture images.

`tessaroid.convert(inputs, output_dir, ...)` is the Python API (see its docstring);
`tessaroid convert ...` / `python -m tessaroid convert ...` the command line. The native
module `tessaroid._obj_writer` is imported on first use, not here.
"""

__version__ = "0.1.0"
__all__ = ["convert", "Summary", "ConversionError", "__version__"]


def __getattr__(name):
    if name in ("convert", "Summary", "ConversionError"):
        from . import converter as _converter

        return getattr(_converter, name)
    raise AttributeError(f"module 'tessaroid' has no attribute {name!r}")
