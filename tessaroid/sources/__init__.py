from .._localsource import *  # noqa: F401,F403  (replaced by the source layer)
from .._localsource import Location, SourceError, FetchConfig, open_location, fetch_stats  # noqa: F401
