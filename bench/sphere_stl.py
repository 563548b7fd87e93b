"""Writes a closed lat-long sphere as a binary STL: an N x N grid (N bands of
latitude, N segments of longitude), fans at the poles, 2·N·(N-1) triangles
wound outwards. N = 1000 gives 1,998,000 triangles in about 100 MB: the size
a CAD export of a whole vehicle reaches.

    python3 bench/sphere_stl.py PATH [--n N] [--radius R] [--obj]

--obj writes a Wavefront OBJ instead (shared vertices, one group per band
of latitude), for the OBJ loader at the same size.
"""
import argparse
import struct

import numpy as np


def sphere(n, radius):
    """Vertices (poles first, then ring after ring) and triangles (int64)."""
    phi = np.pi * np.arange(1, n) / n
    theta = 2 * np.pi * np.arange(n) / n
    ring = np.stack([np.outer(np.sin(phi), np.cos(theta)), np.outer(np.sin(phi), np.sin(theta)),
                     np.repeat(np.cos(phi)[:, None], n, axis=1)], axis=-1).reshape(-1, 3)
    vertices = np.concatenate([[[0.0, 0.0, 1.0], [0.0, 0.0, -1.0]], ring]) * radius
    j = np.arange(n)
    k = (j + 1) % n
    at = lambda r, c: 2 + r * n + c  # vertex of ring r, segment c
    tris = [np.stack([np.zeros(n, np.int64), at(0, j), at(0, k)], axis=1)]
    r = np.arange(n - 2)[:, None]
    tris.append(np.stack([at(r, j), at(r + 1, j), at(r + 1, k)], axis=-1).reshape(-1, 3))
    tris.append(np.stack([at(r, j), at(r + 1, k), at(r, k)], axis=-1).reshape(-1, 3))
    tris.append(np.stack([np.ones(n, np.int64), at(n - 2, k), at(n - 2, j)], axis=1))
    return vertices, np.concatenate(tris)


def write_stl(path, vertices, triangles):
    corners = vertices[triangles].astype(np.float32)  # (T, 3, 3)
    normal = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    length = np.linalg.norm(normal, axis=1, keepdims=True)
    normal = np.divide(normal, length, out=np.zeros_like(normal), where=length > 0)
    record = np.zeros(len(triangles), dtype=[("n", "<f4", 3), ("v", "<f4", (3, 3)), ("a", "<u2")])
    record["n"] = normal
    record["v"] = corners
    with open(path, "wb") as f:
        f.write(b"lat-long sphere".ljust(80, b" "))
        f.write(struct.pack("<I", len(triangles)))
        record.tofile(f)


def write_obj(path, vertices, triangles, n):
    with open(path, "w") as f:
        f.write("o sphere\n")
        np.savetxt(f, vertices, fmt="v %.9g %.9g %.9g")
        faces = triangles + 1
        # Rows of triangles by band: the north fan, the bands' two halves
        # interleaved by band, the south fan.
        bands = [faces[:n]]
        quads_a = faces[n:n + n * (n - 2)].reshape(n - 2, n, 3)
        quads_b = faces[n + n * (n - 2):n + 2 * n * (n - 2)].reshape(n - 2, n, 3)
        bands += [np.concatenate([quads_a[b], quads_b[b]]) for b in range(n - 2)]
        bands.append(faces[-n:])
        for b, rows in enumerate(bands):
            f.write(f"g band{b}\n")
            np.savetxt(f, rows, fmt="f %d %d %d")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("path")
    p.add_argument("--n", type=int, default=1000)
    p.add_argument("--radius", type=float, default=1.0)
    p.add_argument("--obj", action="store_true")
    a = p.parse_args()
    if a.n < 3:
        raise SystemExit("--n must be at least 3")
    vertices, triangles = sphere(a.n, a.radius)
    if a.obj:
        write_obj(a.path, vertices, triangles, a.n)
    else:
        write_stl(a.path, vertices, triangles)


if __name__ == "__main__":
    main()
