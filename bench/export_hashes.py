"""SHA-256 of every array (and the patch dictionary) of the whole builds, to
check that a change leaves every output bit as it was, for any pool size.

    RAYON_NUM_THREADS=8 .venv/bin/python bench/export_hashes.py > hashes-8.txt

Cases: the bunny of the shared data at levels 5 and 6 (the domain of
build_bench.py), the bunny at level 4 with one final uniform pass, and the
gear wheel at level 5 with a refinement region. For each: the ghost-cell
mesh, the axis-projected mesh, a session's mesh, update_ib and remesh.
"""
import hashlib
import os
import sys

import numpy as np

import _quorin

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "..", "shared", "data")

BUNNY = dict(
    path=os.path.join(DATA, "bunny.stl"),
    domain=([-9.912138, -5.081526, -8.009299], [9.902513, 14.733124, 8.090105]),
    base=[16, 16, 13],
    seed=[-9.0, -4.0, -7.0],
    regions=None,
)
GEAR = dict(
    path=os.path.join(DATA, "gearwheel.ascii.stl"),
    domain=([-30.0, -30.0, -12.0], [30.0, 30.0, 20.0]),
    base=[12, 12, 7],
    seed=[-29.0, -29.0, -11.0],
    regions=[([-25.0, -25.0, 9.0], [0.0, 25.0, 14.0], 4)],
)

CASES = [
    ("bunny-L5", BUNNY, 5, 0),
    ("bunny-L6", BUNNY, 6, 0),
    ("bunny-L4-leaf1", BUNNY, 4, 1),
    ("gear-L5-region", GEAR, 5, 0),
]

FIELDS = [
    "cell_centers", "cell_sizes", "internal_faces_owner", "internal_faces_neighbour",
    "internal_faces_axis", "domain_bnd_faces_owner", "domain_bnd_faces_dir",
]
GC_FIELDS = FIELDS + [
    "gc_is_fluid", "gc_cell_ids", "gc_bnd_anchor_ids", "gc_bnd_patch_ids", "gc_bnd_intercepts",
    "gc_image_points", "gc_interp_stencil_indices", "gc_interp_stencil_weights",
]
AP_FIELDS = [
    "is_immersed_face", "dist_owner_to_bnd", "dist_neighbour_to_bnd", "owner_near_boundary",
    "neighbour_near_boundary", "owner_bnd_anchor_id", "owner_bnd_patch_id",
    "neighbour_bnd_anchor_id", "neighbour_bnd_patch_id",
]


def digest(a):
    a = np.asarray(a)
    h = hashlib.sha256()
    h.update(f"{a.dtype.str}{a.shape}".encode())
    h.update(np.ascontiguousarray(a).tobytes())
    return h.hexdigest()[:32]


def show(label, obj, fields):
    print(f"{label} n_cells {obj.n_cells} patches {sorted(obj.patch_name_to_id.items())}")
    for f in fields:
        print(f"  {label}.{f} {digest(getattr(obj, f))}")


def show_ap(label, mesh):
    show(label, mesh, FIELDS)
    for f in AP_FIELDS:
        print(f"  {label}.ap.{f} {digest(getattr(mesh.ap, f))}")


def main():
    for name, case, level, n_leaf in CASES:
        manager = _quorin.QuorinManager(_quorin.BoundingBox(*case["domain"]), case["base"],
                                        n_leaf_refinement=n_leaf)
        kw = {"refinement_regions": case["regions"]} if case["regions"] else {}
        gc = manager.build_ghost_cell_mesh(case["path"], level, case["seed"], **kw)
        show(f"{name}/gc", gc, GC_FIELDS)
        show_ap(f"{name}/ap", manager.build_axis_projected_mesh(case["path"], level, **kw))
        session = manager.create_axis_projected_session(case["path"], level, **kw)
        show_ap(f"{name}/session", session.mesh)
        show_ap(f"{name}/update_ib",
                session.update_ib(translation=[0.05, 0, 0], warn_outside_refinement=False))
        show_ap(f"{name}/remesh", session.remesh(warn_outside_refinement=False))
    return 0


if __name__ == "__main__":
    sys.exit(main())
