"""Shadow geometry: STL reading, surface statistics and sun occlusion by ray casting."""
