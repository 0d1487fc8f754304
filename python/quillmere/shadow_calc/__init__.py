"""Shadow geometry: STL reading, surface statistics and sun occlusion by ray casting.

Bindings in src/bindings/shadow_calc/ (occlusion_scan.cpp; model formats: model_files.cpp)."""
