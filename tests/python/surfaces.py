"""Small surface files for the build tests, written into a test's tmp_path."""

import struct

# The 12 outward-facing triangles of a box, as corner indices into
# box_corners(lo, hi).
_BOX_TRIANGLES = [
    (0, 2, 1), (0, 3, 2),  # z = lo
    (4, 5, 6), (4, 6, 7),  # z = hi
    (0, 1, 5), (0, 5, 4),  # y = lo
    (2, 3, 7), (2, 7, 6),  # y = hi
    (1, 2, 6), (1, 6, 5),  # x = hi
    (0, 4, 7), (0, 7, 3),  # x = lo
]


def box_corners(lo, hi):
    (x0, y0, z0), (x1, y1, z1) = lo, hi
    return [(x0, y0, z0), (x1, y0, z0), (x1, y1, z0), (x0, y1, z0),
            (x0, y0, z1), (x1, y0, z1), (x1, y1, z1), (x0, y1, z1)]


def box_triangles(lo, hi):
    v = box_corners(lo, hi)
    return [(v[a], v[b], v[c]) for a, b, c in _BOX_TRIANGLES]


def write_ascii_stl(path, triangles):
    lines = ["solid body"]
    for tri in triangles:
        lines += [" facet normal 0 0 0", "  outer loop"]
        lines += ["   vertex %r %r %r" % tuple(p) for p in tri]
        lines += ["  endloop", " endfacet"]
    lines.append("endsolid body")
    path.write_text("\n".join(lines) + "\n")
    return str(path)


def write_binary_stl(path, triangles):
    data = bytearray(80) + struct.pack("<I", len(triangles))
    for tri in triangles:
        data += struct.pack("<3f", 0.0, 0.0, 0.0)
        for p in tri:
            data += struct.pack("<3f", *p)
        data += struct.pack("<H", 0)
    path.write_bytes(bytes(data))
    return str(path)


def write_obj_boxes(path, groups):
    """One group per (name, lo, hi) box."""
    lines, base = [], 1
    for name, lo, hi in groups:
        lines.append(f"g {name}")
        lines += ["v %r %r %r" % p for p in box_corners(lo, hi)]
        lines += ["f %d %d %d" % (a + base, b + base, c + base) for a, b, c in _BOX_TRIANGLES]
        base += 8
    path.write_text("\n".join(lines) + "\n")
    return str(path)


def cube_stl(tmp_path, lo=(0.3, 0.3, 0.3), hi=(0.7, 0.7, 0.7), name="cube.stl"):
    return write_ascii_stl(tmp_path / name, box_triangles(lo, hi))
