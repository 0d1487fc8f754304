"""The hourly weather table reader (native)."""
from quillmere._native import WeatherFeed

__all__ = ["WeatherFeed"]
