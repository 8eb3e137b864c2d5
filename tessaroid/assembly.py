"""Mesh assembly: one tile's placed glTF assets joined into one mesh with named
materials, face groups per material, and the list of textures to write.

Material names are the glTF material's (`mat3`, `default`), tagged per asset when a
tile holds several (`a1_mat0`) and prefixed by the tile's name in a merged OBJ so
that tiles never share a material by accident.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .placement import PlacedMesh
from .planning import Material, Plan
from .records import Options, TileTask


@dataclass
class TextureJob:
    """One image of the tile to write under `file_name`."""

    file_name: str
    asset: object
    image: int


@dataclass
class TileMesh:
    """A tile's mesh ready to be written: faces 0-based, groups as
    (material name, first face, end face, with texture coordinates)."""

    positions: np.ndarray
    faces: np.ndarray
    texcoords: np.ndarray | None
    groups: list[tuple[str, int, int, bool]]
    materials: list[tuple[str, Material, str | None]]  # MTL entries: name, material, texture file
    textures: list[TextureJob] = field(default_factory=list)


def _groups(plan: Plan, mat_names: dict[int, str]) -> list[tuple[str, int, int, bool]]:
    """Face runs sharing a material and a vt use: (material name, f0, f1, with_vt)."""
    groups: list[tuple[str, int, int, bool]] = []
    for p in plan.prims:
        if p.fcount == 0:
            continue
        name = mat_names[p.material]
        if groups and groups[-1][0] == name and groups[-1][3] == p.has_texcoord and groups[-1][2] == p.f0:
            groups[-1] = (name, groups[-1][1], p.f0 + p.fcount, p.has_texcoord)
        else:
            groups.append((name, p.f0, p.f0 + p.fcount, p.has_texcoord))
    return groups


def assemble(meshes: list[PlacedMesh], task: TileTask, opts: Options) -> TileMesh:
    several = len(meshes) > 1
    prefix = f"{task.name}_" if opts.merge else ""
    mat_names: dict[tuple[int, int], str] = {}
    used: list[tuple[int, int]] = []
    groups: list[tuple[str, int, int, bool]] = []
    tex_files: dict[tuple[int, int], str] = {}
    textures: list[TextureJob] = []
    v_base = f_base = 0
    for ai, m in enumerate(meshes):
        plan = m.plan
        tag = f"a{ai}_" if several else ""
        names = {}
        for p in plan.prims:
            if p.fcount and (ai, p.material) not in mat_names:
                used.append((ai, p.material))
                mat_names[(ai, p.material)] = prefix + tag + plan.materials[p.material].name
            names[p.material] = mat_names.get((ai, p.material), "")
        groups += [(n, f0 + f_base, f1 + f_base, vt) for n, f0, f1, vt in _groups(plan, names)]
        # Textures of the materials some triangle uses, each image written once.
        for key in [u for u in used if u[0] == ai]:
            img = plan.materials[key[1]].image
            if img is None or (ai, img) in tex_files:
                continue
            fname = f"{task.name}_{tag}img{img}.{opts.texture_ext}"
            tex_files[(ai, img)] = fname
            textures.append(TextureJob(file_name=fname, asset=m.asset, image=img))
        if several:
            m.faces += v_base
        v_base += len(m.pos)
        f_base += len(m.faces)
    if several:
        pos = np.concatenate([m.pos for m in meshes])
        faces = np.concatenate([m.faces for m in meshes])
        tc = None
        if any(m.tc is not None for m in meshes):
            tc = np.concatenate([m.tc if m.tc is not None else np.zeros((len(m.pos), 2)) for m in meshes])
    else:
        pos, faces, tc = meshes[0].pos, meshes[0].faces, meshes[0].tc
    entries = []
    for ai, k in used:
        mat = meshes[ai].plan.materials[k]
        entries.append((mat_names[(ai, k)], mat, tex_files.get((ai, mat.image))))
    return TileMesh(positions=pos, faces=faces, texcoords=tc, groups=groups, materials=entries,
                    textures=textures)
