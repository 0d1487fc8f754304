"""The hourly weather table reader (native: src/bindings/components/weather_feed.cpp)."""
from quillmere._native import WeatherFeed

__all__ = ["WeatherFeed"]
