// OBJ files on disk: the vertex-line rule and parser shared by the extent
// scan and the vertex shift, the two scans themselves, and the output sink
// the shift writes into. Plain C++, no Python.
//
// A line is a run of bytes up to, not including, the next 0x0A (or the end
// of the data). A vertex line is a line of 4 to 511 bytes whose first two
// bytes are "v " and from which C sscanf("v %lf %lf %lf") in the C locale
// reads three numbers. A carriage return before the 0x0A is part of the
// line (it counts towards the 511 bytes and belongs to the tail kept after
// the third number); bare carriage returns separate nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tsr::objfile {

constexpr std::size_t kShortestVertexLine = 4;
constexpr std::size_t kLongestVertexLine = 511;

struct Vertex {
    double xyz[3];
    // Offset within the line just past the third number, as sscanf's "%n"
    // would report it: the bytes from there to the line end are the tail.
    std::size_t tail;
    // Length of the line, without its 0x0A.
    std::size_t len;
};

// True when the line that starts at `line` (a line start inside data that
// ends at `end`) is a vertex line; then `out` holds the three numbers
// exactly as sscanf yields them in the C locale, whatever the process or
// thread locale is, the tail offset and the line length.
bool parse_vertex_line(const char* line, const char* end, Vertex* out) noexcept;

struct Extent {
    bool found = false;
    double min[3] = {0, 0, 0};
    double max[3] = {0, 0, 0};
};

// Bounding box of the vertex lines of data[0 .. n). The first vertex sets
// the bounds; later ones move a bound only when strictly beyond it, so a
// NaN coordinate changes nothing (and a NaN first vertex stays NaN).
Extent scan_extent(const char* data, std::size_t n) noexcept;

// Where the rewritten text goes: a window [cur, end) of writable memory.
// When the window is too small, make_room() is asked for more (a file sink
// writes out what it holds).
class Sink {
public:
    virtual ~Sink() = default;

    // A pointer with at least `need` writable bytes; null on failure
    // (see error()).
    char* room(std::size_t need) noexcept {
        if (static_cast<std::size_t>(end_ - cur_) >= need) return cur_;
        return make_room(need) ? cur_ : nullptr;
    }
    // Marks bytes up to `p` (inside the last room()) as written.
    void commit(char* p) noexcept { cur_ = p; }
    bool append(const char* p, std::size_t len) noexcept {
        if (static_cast<std::size_t>(end_ - cur_) >= len) {
            if (len != 0) std::memcpy(cur_, p, len);
            cur_ += len;
            return true;
        }
        return append_large(p, len);
    }
    // errno-style code of the first failure, 0 if none.
    int error() const noexcept { return error_; }

protected:
    virtual bool make_room(std::size_t need) noexcept = 0;
    // append() of more than the window holds.
    virtual bool append_large(const char* p, std::size_t len) noexcept = 0;
    char* cur_ = nullptr;
    char* end_ = nullptr;
    int error_ = 0;
};

// Writes data[0 .. n) to `out` with every vertex line (x, y, z) replaced
// by "v %.6f %.6f %.6f" of (x - dx, y - dy, z - dz), followed by the
// line's tail and one 0x0A (also for a last line that had none). All other
// bytes are copied unchanged and in order. `count` receives the number of
// rewritten lines. False when the sink failed.
bool shift_vertices(const char* data, std::size_t n, double dx, double dy, double dz,
                    Sink& out, std::uint64_t* count) noexcept;

}  // namespace tsr::objfile
