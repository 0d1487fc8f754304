"""Building models in OBJ, glTF and CityJSON: the format is chosen by the file's
extension and everything downstream (the geometry functions, the project's
checks, the shading module, the panels) sees the same surfaces as from STL."""
import base64
import json
import shutil
import struct

import pytest

from quillmere import cli
from quillmere.core.manager import Manager, ProjectError
from quillmere.shadow_calc.occlusion_scan import calculate_shadow, read_stl_with_solids, stl_statistics

PERIOD = "period = [2025, 6, 1, 2025, 6, 3]\n"


@pytest.fixture(scope="module")
def demo_folder(tmp_path_factory):
    folder = tmp_path_factory.mktemp("formats")
    project = cli.write_demo(str(folder), 48.2, 16.4, 1)
    text = open(project, encoding="utf-8").read()
    open(project, "w", encoding="utf-8").write(PERIOD + text)
    return folder


def triangles(stl_path):
    """{solid: [(a, b, c), ...]} of an STL model, vertices as tuples."""
    return {name: [tuple(tuple(float(x) for x in v) for v in face) for face in faces]
            for name, (faces, _) in read_stl_with_solids(stl_path).items()}


def write_obj(path, solids, quads=False):
    """One `o` per solid. quads: two triangles sharing an edge written as one quad face."""
    lines = ["# written by the test", "mtllib none.mtl"]
    count = 0
    for name, faces in solids.items():
        lines.append("o " + name)
        lines.append("usemtl grey")
        for a, b, c in faces:
            for p in (a, b, c):
                lines.append("v %r %r %r" % p)
            count += 3
            lines.append("f -3 -2 -1" if count % 2 else "f %d %d %d" % (count - 2, count - 1, count))
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return str(path)


def write_cityjson(path, solids, translate=(600000.0, 5340000.0, 200.0)):
    """One city object "house"; each solid a semantic surface (roofs RoofSurface, the rest WallSurface),
    millimetre integer vertices, georeferenced far from the datum."""
    vertices, boundaries, values, surfaces, names = [], [], [], [], {}
    for name, faces in solids.items():
        kind = "RoofSurface" if name.startswith("roof") else "WallSurface"
        names[name] = "house/%s/%d" % (kind, len(surfaces))
        values.extend([len(surfaces)] * len(faces))
        surfaces.append({"type": kind})
        for face in faces:
            ring = []
            for p in face:
                vertices.append([round(p[k] * 1000) for k in range(3)])
                ring.append(len(vertices) - 1)
            boundaries.append([ring])
    doc = {"type": "CityJSON", "version": "2.0",
           "transform": {"scale": [0.001, 0.001, 0.001], "translate": list(translate)},
           "CityObjects": {"house": {"type": "Building", "geometry": [
               {"type": "MultiSurface", "lod": "2.2", "boundaries": boundaries,
                "semantics": {"surfaces": surfaces, "values": values}}]}},
           "vertices": vertices}
    path.write_text(json.dumps(doc), encoding="utf-8")
    return str(path), names


def run(project):
    m = Manager(str(project))
    m.quiet = True
    return m.run_simulation()


def energy(df, module):
    col = [c for c in df.columns if c.startswith(module) and c.endswith("energy")]
    return float(df[col[0]].iloc[-1])


def test_obj_model_casts_and_counts_as_the_stl(demo_folder, tmp_path):
    stl = str(demo_folder / "house.stl")
    solids = triangles(stl)
    obj = write_obj(tmp_path / "house.obj", solids)
    assert list(read_stl_with_solids(obj)) == list(solids)
    s_stl, s_obj = stl_statistics(stl), stl_statistics(obj)
    assert list(s_obj) == list(s_stl)
    for name in s_stl:
        assert s_obj[name]["area"] == pytest.approx(s_stl[name]["area"], rel=1e-12)
        assert s_obj[name]["normal"] == pytest.approx(s_stl[name]["normal"], abs=1e-9)
    roofs = ["roof_south_east", "roof_south_west", "roof_north"]
    for alt, az in ((20.0, 120.0), (45.0, 180.0), (10.0, 250.0)):
        a, b = calculate_shadow(stl, roofs, alt, az), calculate_shadow(obj, roofs, alt, az)
        for name in roofs:
            assert b[0][name] == pytest.approx(a[0][name], abs=1e-9)


def test_projects_run_on_obj_and_cityjson_models(demo_folder, tmp_path):
    folder = tmp_path / "p"
    shutil.copytree(demo_folder, folder)
    stl_df = run(folder / "project.toml")
    solids = triangles(str(folder / "house.stl"))
    text = (folder / "project.toml").read_text(encoding="utf-8")

    write_obj(folder / "house.obj", solids)
    (folder / "obj.toml").write_text(text.replace('model = "house.stl"', 'model = "house.obj"')
                                     .replace("shading/", "shading_obj/"), encoding="utf-8")
    obj_df = run(folder / "obj.toml")
    assert energy(obj_df, "pv_east") == pytest.approx(energy(stl_df, "pv_east"), rel=1e-9)
    assert energy(obj_df, "pv_west") == pytest.approx(energy(stl_df, "pv_west"), rel=1e-9)

    _, names = write_cityjson(folder / "house.city.json", solids)
    city = text.replace('model = "house.stl"', 'model = "house.city.json"').replace("shading/", "shading_city/")
    for old, new in names.items():
        city = city.replace('"%s"' % old, '"%s"' % new)
    (folder / "city.toml").write_text(city, encoding="utf-8")
    city_df = run(folder / "city.toml")
    # Millimetre vertices 5,340 km from the datum: the same energy to well within a millimetre's effect.
    assert energy(city_df, "pv_east") == pytest.approx(energy(stl_df, "pv_east"), rel=1e-3)
    assert energy(city_df, "pv_west") == pytest.approx(energy(stl_df, "pv_west"), rel=1e-3)


def test_a_malformed_model_stops_the_project_naming_file_and_place(demo_folder, tmp_path):
    folder = tmp_path / "p"
    shutil.copytree(demo_folder, folder)
    solids = triangles(str(folder / "house.stl"))
    obj = write_obj(folder / "house.obj", solids)
    lines = open(obj, encoding="utf-8").read().splitlines()
    lines.insert(5, "v 1 2 zwei")
    open(obj, "w", encoding="utf-8").write("\n".join(lines) + "\n")
    text = (folder / "project.toml").read_text(encoding="utf-8")
    (folder / "obj.toml").write_text(text.replace('model = "house.stl"', 'model = "house.obj"'), encoding="utf-8")
    with pytest.raises(ProjectError) as info:
        Manager(str(folder / "obj.toml")).run_simulation()
    msg = str(info.value)
    assert "house.obj" in msg and "第 6 行" in msg and "zwei" in msg and "数值无法解析" in msg, msg
    # The geometry functions: ValueError with the same wording.
    with pytest.raises(ValueError, match="第 6 行"):
        calculate_shadow(obj, ["roof_north"], 30.0, 180.0)


def test_unknown_cityjson_names_get_the_closest_hint(demo_folder, tmp_path):
    folder = tmp_path / "p"
    shutil.copytree(demo_folder, folder)
    _, names = write_cityjson(folder / "house.json", triangles(str(folder / "house.stl")))
    text = (folder / "project.toml").read_text(encoding="utf-8").replace('model = "house.stl"', 'model = "house.json"')
    (folder / "city.toml").write_text(text, encoding="utf-8")
    with pytest.raises(ProjectError) as info:
        Manager(str(folder / "city.toml")).run_simulation()
    assert "roof_south_east" in str(info.value) and "house/RoofSurface/" in str(info.value)


def test_gltf_and_glb_models_read_through_the_geometry_functions(tmp_path):
    # A 2 x 2 m roof 3 m up, placed by its node's translation, and a 1 m square above the
    # centroid of one of its two triangles.
    pos = struct.pack("<12f", 0, 0, 0, 2, 0, 0, 2, 2, 0, 0, 2, 0)
    idx = struct.pack("<6B", 0, 1, 2, 0, 2, 3) + b"\0\0"
    buf = pos + idx
    doc = {"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0, 1]}],
           "nodes": [{"name": "roof", "mesh": 0, "translation": [0, 0, 3]},
                     {"name": "shade", "mesh": 0, "translation": [1, 0, 5], "scale": [0.5, 0.5, 1]}],
           "meshes": [{"primitives": [{"attributes": {"POSITION": 0}, "indices": 1}]}],
           "accessors": [{"bufferView": 0, "componentType": 5126, "count": 4, "type": "VEC3"},
                         {"bufferView": 1, "componentType": 5121, "count": 6, "type": "SCALAR"}],
           "bufferViews": [{"buffer": 0, "byteLength": 48}, {"buffer": 0, "byteOffset": 48, "byteLength": 6}],
           "buffers": [{"byteLength": len(buf), "uri": "data:application/octet-stream;base64,"
                        + base64.b64encode(buf).decode()}]}
    gltf = tmp_path / "m.gltf"
    gltf.write_text(json.dumps(doc), encoding="utf-8")
    stats = stl_statistics(str(gltf))
    assert stats["roof"]["area"] == pytest.approx(4.0) and stats["roof"]["normal"] == (0.0, 0.0, 1.0)
    assert stats["shade"]["area"] == pytest.approx(1.0)
    # Sun overhead: one of the roof's two triangles is shaded.
    assert calculate_shadow(str(gltf), ["roof"], 90.0, 0.0)[0]["roof"] == pytest.approx(0.5, abs=1e-12)
    # GLB with the buffer in the binary chunk.
    doc2 = dict(doc, buffers=[{"byteLength": len(buf)}])
    js = json.dumps(doc2).encode()
    js += b" " * (-len(js) % 4)
    glb = b"glTF" + struct.pack("<II", 2, 12 + 8 + len(js) + 8 + len(buf)) + struct.pack("<I", len(js)) + b"JSON" + js
    glb += struct.pack("<I", len(buf)) + b"BIN\0" + buf
    (tmp_path / "m.glb").write_bytes(glb)
    assert stl_statistics(str(tmp_path / "m.glb"))["roof"]["area"] == pytest.approx(4.0)
    # A missing file: the STL readers' line, an empty result.
    assert read_stl_with_solids(str(tmp_path / "none.glb")) == {}


def test_surfaces_selected_by_pattern(demo_folder, tmp_path):
    folder = tmp_path / "p"
    shutil.copytree(demo_folder, folder)
    _, names = write_cityjson(folder / "house.city.json", triangles(str(folder / "house.stl")))
    text = (folder / "project.toml").read_text(encoding="utf-8").replace('model = "house.stl"', 'model = "house.city.json"')
    for old, new in names.items():
        text = text.replace('"%s"' % old, '"%s"' % new)
    listed = 'surfaces = ["%s", "%s", "%s"]' % (names["roof_south_east"], names["roof_south_west"], names["roof_north"])
    assert listed in text
    (folder / "glob.toml").write_text(text.replace(listed, 'surfaces = ["*/RoofSurface/*"]'), encoding="utf-8")
    (folder / "list.toml").write_text(text.replace("shading/", "shading_list/"), encoding="utf-8")
    listed_df = run(folder / "list.toml")
    glob_df = run(folder / "glob.toml")
    # The pattern brought in the panels' roofs (else the panel check stops the run), with the same result.
    assert energy(glob_df, "pv_east") == pytest.approx(energy(listed_df, "pv_east"), rel=1e-12)
    assert energy(glob_df, "pv_west") == pytest.approx(energy(listed_df, "pv_west"), rel=1e-12)
    # A pattern that matches nothing stops the run, naming the pattern and the surfaces there are.
    (folder / "none.toml").write_text(text.replace(listed, 'surfaces = ["*/RoofSurface/*", "*/Solar*"]'),
                                      encoding="utf-8")
    with pytest.raises(ProjectError) as info:
        Manager(str(folder / "none.toml")).run_simulation()
    msg = str(info.value)
    assert '"*/Solar*"' in msg and "surfaces[1]" in msg, msg
