"""tessaroid: 3D-tile glTF content to Wavefront OBJ files and texture images."""

__version__ = "0.1.0"
