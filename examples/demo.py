"""Builds CFD background meshes around a sphere and prints what came out.

The sphere is written as a binary STL file into a temporary directory, so the
example needs nothing but the installed module and NumPy.
"""
import math
import os
import struct
import sys
import tempfile
import time

import numpy as np

import _quorin


def write_sphere_stl(path, centre, radius, rings=48, segments=96):
    """A closed latitude-longitude sphere, outward winding."""
    cx, cy, cz = centre

    def point(i, j):
        th = math.pi * i / rings
        ph = 2.0 * math.pi * j / segments
        return (cx + radius * math.sin(th) * math.cos(ph),
                cy + radius * math.sin(th) * math.sin(ph),
                cz + radius * math.cos(th))

    triangles = []
    for i in range(rings):
        for j in range(segments):
            a, b = point(i, j), point(i + 1, j)
            c, d = point(i + 1, j + 1), point(i, j + 1)
            if i > 0:
                triangles.append((a, b, d))
            if i < rings - 1:
                triangles.append((b, c, d))
    with open(path, "wb") as f:
        f.write(b"quorin demo sphere".ljust(80, b" "))
        f.write(struct.pack("<I", len(triangles)))
        for tri in triangles:
            f.write(struct.pack("<3f", 0.0, 0.0, 0.0))
            for v in tri:
                f.write(struct.pack("<3f", *v))
            f.write(b"\0\0")
    return len(triangles)


TARGET_LEVEL = 6
LEAF_REFINEMENT = 1  # uniform passes after the build: the finest cells are level 7


def finest_level(mesh, root_size):
    return round(math.log2(root_size / float(mesh.cell_sizes[:, 0].min())))


def main():
    box = _quorin.BoundingBox([0.0, 0.0, 0.0], [2.0, 1.0, 1.0])
    root_size = 0.5  # 2 / 4 along x
    manager = _quorin.QuorinManager(box, [4, 2, 2], n_leaf_refinement=LEAF_REFINEMENT)
    with tempfile.TemporaryDirectory() as tmp:
        stl = os.path.join(tmp, "sphere.stl")
        n_tri = write_sphere_stl(stl, (0.7, 0.5, 0.5), 0.2)
        print(f"surface: {n_tri} triangles, sphere of radius 0.2 at (0.7, 0.5, 0.5)")
        wake = ([0.9, 0.35, 0.35], [1.8, 0.65, 0.65], 5)

        t0 = time.perf_counter()
        gc = manager.build_ghost_cell_mesh(stl, TARGET_LEVEL, [0.05, 0.05, 0.05],
                                           refinement_regions=[wake])
        t1 = time.perf_counter()
        print(f"\nghost-cell mesh ({t1 - t0:.3f} s)")
        print(f"  finest cells        level {finest_level(gc, root_size)}: target level "
              f"{TARGET_LEVEL} + n_leaf_refinement={LEAF_REFINEMENT}")
        print(f"  cells               {gc.n_cells}")
        print(f"  internal faces      {len(gc.internal_faces_owner)}")
        print(f"  boundary faces      {len(gc.domain_bnd_faces_owner)}")
        print(f"  fluid cells         {int(np.count_nonzero(gc.gc_is_fluid))}")
        print(f"  ghost cells         {len(gc.gc_cell_ids)}")
        print(f"  patches             {gc.patch_name_to_id}")
        if len(gc.gc_cell_ids):
            w = gc.gc_interp_stencil_weights
            print(f"  stencil weight sums {w.sum(axis=1).min():.6f} .. {w.sum(axis=1).max():.6f}")

        t0 = time.perf_counter()
        session = manager.create_axis_projected_session(stl, TARGET_LEVEL,
                                                        refinement_regions=[wake])
        t1 = time.perf_counter()
        ap = session.mesh.ap
        print(f"\naxis-projected session ({t1 - t0:.3f} s)")
        print(f"  cells               {session.mesh.n_cells}")
        print(f"  immersed faces      {int(np.count_nonzero(ap.is_immersed_face))}")

        t0 = time.perf_counter()
        moved = session.update_ib(translation=[0.02, 0.0, 0.0], warn_outside_refinement=False)
        t1 = time.perf_counter()
        print(f"  after moving 0.02 in x ({t1 - t0:.3f} s): "
              f"{int(np.count_nonzero(moved.ap.is_immersed_face))} immersed faces, "
              f"translation {session.translation}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
