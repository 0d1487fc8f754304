"""Project shading module: exact ray-cast factors per step, or a table on a free grid (native).

``ExactShadowModule`` extends ``quillmere.components.shade_group.SurfaceShadowModule``; binding in
``src/bindings/components/shade_exact.cpp`` (the table, sky views and removal of kept files:
``src/bindings/components/shade_exact_products.cpp``; prepared shading shared between runs of one
process, ``share_prepared`` and ``prepared_counts``: ``src/bindings/components/shade_exact_prepared.cpp``;
``shading_keys``, what every shading module of a checked project computes and where its files lie, by key
name: ``src/bindings/components/shading_keys.cpp``).
"""
from quillmere._native import (
    ExactShadowModule,
    cos_table_positions,
    prepared_counts,
    shading_keys,
    share_prepared,
    write_cos_table,
)

__all__ = ["ExactShadowModule", "cos_table_positions", "write_cos_table", "share_prepared", "prepared_counts",
           "shading_keys"]
