"""The native module, imported on first use so `import tessaroid` and the CLI's help
work without it."""


def native():
    try:
        from . import _obj_writer
    except ImportError as exc:
        raise ImportError(
            "the native module tessaroid._obj_writer is not available "
            f"({exc}); build it with tools/devbuild or install the package with pip") from exc
    return _obj_writer
