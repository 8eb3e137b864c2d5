// The signatures of every function and method of the module: parameter
// names in order, their kinds, defaults and the docstrings, and the table
// from which module.cpp creates the function objects.
#include "entry_points.h"

namespace tsr {
namespace {

constexpr Param kPositions[] = {{"positions", Kind::Array}};
constexpr Param kTexcoords[] = {{"texcoords", Kind::Array}};
constexpr Param kFaces[] = {{"faces", Kind::Array}, {"with_vt", Kind::Truth}};
constexpr Param kExtract[] = {{"gltf", Kind::Object},
                              {"bin_chunk", Kind::Bytes},
                              {"feature_ids", Kind::Object, true}};
constexpr Param kUvr[] = {{"uvr", Kind::Array}};
constexpr Param kConvert[] = {{"positions", Kind::Array}, {"crs", Kind::Str}};
constexpr Param kObjPath[] = {{"obj_path", Kind::Str}};
constexpr Param kShift[] = {{"obj_path", Kind::Str},
                            {"dx", Kind::Double},
                            {"dy", Kind::Double},
                            {"dz", Kind::Double}};
constexpr Param kDecode[] = {{"data", Kind::Bytes}};
constexpr Param kCrop[] = {{"x0", Kind::Int32},
                           {"y0", Kind::Int32},
                           {"x1", Kind::Int32},
                           {"y1", Kind::Int32},
                           {"path", Kind::Str},
                           {"as_png", Kind::Truth, true, 1},
                           {"jpeg_quality", Kind::Int32, true, 90}};
constexpr Param kFlip[] = {{"path", Kind::Str},
                           {"as_png", Kind::Truth, true, 1},
                           {"jpeg_quality", Kind::Int32, true, 90}};

}  // namespace

namespace sig {

const Signature format_vertex_lines{
    "format_vertex_lines", kPositions, 1, 1,
    "Format positions as 'v x y z\\n' lines. Returns bytes.", "bytes"};

const Signature format_texcoord_lines{
    "format_texcoord_lines", kTexcoords, 1, 1,
    "Format texcoords as 'vt u v\\n' lines. Returns bytes.", "bytes"};

const Signature format_face_lines{
    "format_face_lines", kFaces, 2, 2,
    "Format faces as 'f a b c\\n' or 'f a/a b/b c/c\\n' lines. Returns bytes.",
    "bytes"};

const Signature extract_mesh_arrays{
    "extract_mesh_arrays", kExtract, 3, 2,
    "Extract mesh geometry from decompressed glTF into pre-allocated arrays.\n"
    "\n"
    "    Returns (positions, indices, tex_coord, uvr, feature_ids_out) or None.\n"
    "    ",
    nullptr};

const Signature quantize_uvr{
    "quantize_uvr", kUvr, 1, 1,
    "Quantize UVR to 1/32 grid.\n"
    "\n"
    "    Equivalent to: np.round(np.clip(uvr, 0, 1) * 32) / 32\n"
    "    Operates in-place on a float64 copy, nogil.\n"
    "    ",
    "np.ndarray"};

const Signature ecef_to_webmercator{
    "ecef_to_webmercator", kPositions, 1, 1,
    "Convert ECEF (x,y,z) to Web Mercator EPSG:3857 (x,y,z) in-place.\n"
    "\n"
    "    positions: (N, 3) float64 array, modified in-place.\n"
    "    x = a * lon, y = a * ln(tan(\xcf\x80/4 + lat/2)), z = ellipsoidal height.\n"
    "    ",
    "None"};

const Signature ecef_to_wgs84_geo{
    "ecef_to_wgs84_geo", kPositions, 1, 1,
    "Convert ECEF (x,y,z) to WGS84 geographic EPSG:4326 (lon,lat,h) in-place.\n"
    "\n"
    "    positions: (N, 3) float64 array, modified in-place.\n"
    "    Output: lon/lat in degrees, height in meters.\n"
    "    ",
    "None"};

const Signature convert_crs{
    "convert_crs", kConvert, 2, 2,
    "Dispatch CRS conversion based on crs string. Modifies positions in-place.",
    "None"};

const Signature compute_obj_extent{
    "compute_obj_extent", kObjPath, 1, 1,
    "Scan an OBJ file for 'v' lines, return (min_x, min_y, min_z, max_x, "
    "max_y, max_z) or None.",
    "tuple | None"};

const Signature shift_obj_file{
    "shift_obj_file", kShift, 4, 4,
    "Read OBJ file, shift all 'v' lines by (dx,dy,dz), write back.\n"
    "\n"
    "    Returns number of vertices shifted.\n"
    "    ",
    "int"};

const Signature texture_decode{
    "decode", kDecode, 1, 1,
    "Decode image from PNG/JPEG bytes. Returns True on success.", "bool"};

const Signature texture_crop_and_save{
    "crop_and_save", kCrop, 7, 5,
    "Crop region [x0,y0)-[x1,y1), flip vertically, save to file.", "bool"};

const Signature texture_flip_and_save{
    "flip_and_save", kFlip, 3, 1,
    "Flip full image vertically, save to file.", "bool"};

}  // namespace sig

const EntryPoint kEntryPoints[] = {
    {&sig::format_vertex_lines, format_vertex_lines},
    {&sig::format_texcoord_lines, format_texcoord_lines},
    {&sig::format_face_lines, format_face_lines},
    {&sig::extract_mesh_arrays, extract_mesh_arrays},
    {&sig::quantize_uvr, quantize_uvr},
    {&sig::ecef_to_webmercator, ecef_to_webmercator},
    {&sig::ecef_to_wgs84_geo, ecef_to_wgs84_geo},
    {&sig::convert_crs, convert_crs},
    {&sig::compute_obj_extent, compute_obj_extent},
    {&sig::shift_obj_file, shift_obj_file},
};
const int kEntryPointCount = sizeof(kEntryPoints) / sizeof(kEntryPoints[0]);

}  // namespace tsr
