from .._localsource import Location, SourceError, FetchConfig, open_location, fetch_stats, parse_header  # noqa: F401
