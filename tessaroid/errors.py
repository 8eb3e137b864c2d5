"""The one exception type the converter's stages raise for a tile they cannot convert."""


class ConversionError(Exception):
    """A tile that cannot be converted; the message says why, for the user."""
