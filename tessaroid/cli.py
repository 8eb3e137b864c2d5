"""Command line: `tessaroid convert INPUT... -o OUTPUT_DIR [options]`."""

from __future__ import annotations

import argparse
import os
import sys


def _bbox(text: str) -> tuple[float, float, float, float]:
    try:
        vals = tuple(float(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError("expected WEST,SOUTH,EAST,NORTH in degrees") from None
    if len(vals) != 4:
        raise argparse.ArgumentTypeError("expected four numbers: WEST,SOUTH,EAST,NORTH")
    return vals  # type: ignore[return-value]


def _positive(text: str) -> int:
    v = int(text)
    if v < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return v


def _selection_args(p: argparse.ArgumentParser) -> None:
    sel = p.add_argument_group("tile selection (tile sets only)")
    sel.add_argument("--leaves", action="store_true",
                     help="only the finest level of detail: tiles with no content below them")
    sel.add_argument("--max-depth", type=int, metavar="N", help="only tiles down to depth N (root = 0)")
    sel.add_argument("--bbox", type=_bbox, metavar="W,S,E,N",
                     help="only tiles whose bounding volume meets this longitude/latitude box (degrees)")
    sel.add_argument("--max-error", type=float, metavar="M",
                     help="in each branch, the coarsest tiles whose geometric error is at most M metres")


def _selection_kwargs(args) -> dict:
    return dict(leaves=args.leaves, max_depth=args.max_depth, bbox=args.bbox, max_error=args.max_error)


def _header(text: str) -> str:
    from .sources import parse_header

    try:
        parse_header(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tessaroid",
        description="Convert 3D-tile glTF content (ECEF meshes with textures) into Wavefront OBJ "
                    "files, MTL files and texture images.")
    from . import __version__

    parser.add_argument("--version", action="version", version=f"tessaroid {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    c = sub.add_parser(
        "convert", help="convert tiles or a tile set into OBJ files",
        description="Convert .glb, .gltf, .b3dm, .i3dm and .cmpt tiles, or a 3D Tiles tile set (a path, an "
                    "http(s)://, s3:// or gs:// URL, a .3tz or .3dtiles package), into one OBJ + MTL "
                    "(+ textures) per tile, or one merged OBJ.")
    c.add_argument("inputs", nargs="+", metavar="INPUT",
                   help="a .glb, .gltf, .b3dm, .i3dm or .cmpt file, a tileset.json (path or URL, quoted when it "
                        "carries a query), a package, or a folder holding a tileset.json")
    c.add_argument("-o", "--output", required=True, metavar="DIR", help="output folder (created if missing)")
    c.add_argument("--crs", default="EPSG:4978",
                   help="output coordinates: EPSG:4978 (ECEF, default), EPSG:3857 (Web Mercator), "
                        "EPSG:4326 (lon, lat in degrees, height), ENU (local east-north-up metres about "
                        "--origin), or any CRS pyproj knows (EPSG:32618, ...); frame.json names it")
    c.add_argument("--origin", metavar="LON,LAT[,HEIGHT]",
                   help="ENU origin in degrees and metres on WGS 84, as one token (--origin=-75.6,40.04); "
                        "default: the ellipsoid point below the centre of the selected tiles")
    c.add_argument("--texture-format", choices=("source", "png", "jpeg", "jpg"), default="source",
                   help="source (default): PNG/JPEG images written as stored, others as PNG, v flipped in "
                        "the vt lines; png or jpeg (jpg): re-encoded, image flipped")
    c.add_argument("--jpeg-quality", type=int, default=90, metavar="Q", help="JPEG quality 1..100 (default 90)")
    c.add_argument("--no-textures", action="store_true",
                   help="write geometry and texture coordinates but no texture images (no image is read)")
    _selection_args(c)
    out = c.add_argument_group("output layout")
    out.add_argument("--merge", nargs="?", const="merged", default=None, metavar="NAME",
                     help="write all tiles into one OBJ (NAME.obj, default merged.obj)")
    out.add_argument("--recenter", action="store_true",
                     help="move all OBJ files to a common local origin; the offset goes to offset.json")
    run = c.add_argument_group("execution")
    run.add_argument("--workers", type=_positive, default=None, metavar="N",
                     help=f"threads converting tiles (default: CPU count, here {os.cpu_count()})")
    run.add_argument("--dask", metavar="SCHEDULER_ADDRESS",
                     help="run tiles on a Dask cluster (needs tessaroid[dask]; the output folder must be "
                          "shared with the workers)")
    run.add_argument("--downloads", type=_positive, default=16, metavar="N",
                     help="contents downloaded at once from remote sources, beside the converting "
                          "threads (default 16)")
    run.add_argument("--cache", metavar="DIR", help="keep downloaded bytes in DIR and reuse them in later runs")
    run.add_argument("--header", dest="headers", type=_header, action="append", default=[],
                     metavar='"NAME: VALUE"', help="send this HTTP header with every request (repeatable)")
    run.add_argument("--resume", action="store_true",
                     help="convert only the tiles an earlier run into the same output folder (same inputs "
                          "and options) did not finish")
    run.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")

    i = sub.add_parser(
        "inspect", help="describe what a conversion would take, without fetching any content",
        description="Walk a tile set as a conversion would under the same selection, reading tile set JSONs "
                    "and subtrees only as far as the selection reaches and no content: per depth the tiles, "
                    "contents, geometric error range and lon/lat extent; content kinds; contents selected.")
    i.add_argument("input", metavar="INPUT", help="a tileset.json (path or URL), a package, or a folder holding one")
    _selection_args(i)
    i.add_argument("--json", action="store_true", help="print the figures as JSON")
    return parser


def _inspect(args) -> int:
    from .inspection import inspect, to_json

    try:
        ins = inspect(args.input, **_selection_kwargs(args))
    except (ValueError, ImportError, OSError) as exc:
        print(f"tessaroid: error: {exc}", file=sys.stderr)
        return 2
    print(to_json(ins) if args.json else ins.text())
    return 1 if ins.errors else 0


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "inspect":
        return _inspect(args)
    if args.command != "convert":
        parser.print_help()
        return 2
    from .converter import convert

    try:
        summary = convert(
            args.inputs, args.output, crs=args.crs, origin=args.origin, texture_format=args.texture_format,
            jpeg_quality=args.jpeg_quality, **_selection_kwargs(args),
            merge=args.merge if args.merge is not None else False, recenter=args.recenter,
            workers=args.workers, dask=args.dask, progress=not args.quiet, textures=not args.no_textures,
            downloads=args.downloads, cache=args.cache, headers=args.headers, resume=args.resume)
    except (ValueError, ImportError, OSError) as exc:
        print(f"tessaroid: error: {exc}", file=sys.stderr)
        return 2
    for source, reason in summary.failures:
        print(f"tessaroid: {source}: {reason}", file=sys.stderr)
    if not args.quiet:
        for note in summary.notes:
            print(f"tessaroid: note: {note}", file=sys.stderr)
        print(summary.line())
        if summary.origin is not None and summary.frame_file:
            lon, lat, h = summary.origin
            print(f"ENU origin lon {lon:.9f}, lat {lat:.9f}, height {h:.3f} m; frame in {summary.frame_file}")
        if summary.offset is not None:
            print(f"recentred by {summary.offset}; offset written to {summary.offset_file}")
    return 1 if summary.failed else 0


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
