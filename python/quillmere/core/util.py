"""Shared utility functions (native): path normalisation, sun position and the
diffuse-sky / ground-reflection split for a tilted surface. Binding in src/bindings/core/util.cpp."""
from quillmere._native import (
    calculate_sky_diffuse_and_ground_reflection,
    calculate_sun_position,
    convert_to_valid_path,
    get_base_folder,
    set_base_folder,
)

__all__ = [
    "convert_to_valid_path",
    "calculate_sun_position",
    "calculate_sky_diffuse_and_ground_reflection",
    "set_base_folder",
    "get_base_folder",
]
