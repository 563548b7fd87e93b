// The immersed-boundary surface: a triangle mesh in 64-bit floats with its
// bounding-volume hierarchy, the names of the surface patches (position =
// patch id) and one patch id per triangle. Built once by a loader or as the
// placeholder, never changed afterwards, and shared read-only by the workers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorin/error.hpp"
#include "quorin/memory.hpp"
#include "quorin/surface/bvh.hpp"

namespace quorin {

struct IbmMesh {
    TriMesh trimesh;
    std::vector<std::string> patch_names;
    Buffer<std::uint64_t> triangle_patch_ids;

    // Copies the vertices and triangles (order, winding, duplicates and
    // degenerate triangles kept as given) and builds the hierarchy; takes the
    // two patch vectors over. Stops with "Failed to build TriMesh: EmptyIndices"
    // for an empty triangle list, and with an index-out-of-bounds error for a
    // vertex index at or above the vertex count. The patch vectors are not
    // checked: the producers guarantee one id per triangle, each below the
    // number of names.
    IbmMesh(std::span<const Vec3> vertices, std::span<const Triangle> triangles,
            std::vector<std::string> patch_names, std::vector<std::uint64_t> triangle_patch_ids);

    // The same, taking the vertex, triangle and patch-id buffers over instead
    // of copying them, so that a loader does not hold a large surface twice.
    IbmMesh(Buffer<Vec3>&& vertices, Buffer<Triangle>&& triangles, std::vector<std::string> patch_names,
            Buffer<std::uint64_t> triangle_patch_ids);
};

namespace mesh {

// The corner coordinate of the surface used when a build has no surface file:
// far enough away that no ordinary domain reaches it.
inline constexpr double PLACEHOLDER_SURFACE_COORD = 1e10;

// Widens 32-bit float vertices to 64-bit ones, element for element, exactly.
// Takes the vector over and releases it.
Buffer<Vec3> vertices_to_f64(std::vector<std::array<float, 3>> vertices);

// One triangle at (1e10, 1e10, 1e10), (1e10 + 1, 1e10, 1e10),
// (1e10, 1e10 + 1, 1e10) with the single patch "empty".
IbmMesh placeholder_surface();

namespace detail {

// Shared by the STL and OBJ loaders.

// The whole content of a file, read with one pass.
struct FileBytes {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
    std::string_view view() const { return {data.get(), size}; }
};

// A file opened read-only, read in pieces; closed when destroyed.
class OpenFile {
public:
    // Opens `path`; a failure gives open_prefix + the system's error text.
    static Expected<OpenFile> open(const std::string& path, std::string_view open_prefix);

    OpenFile(OpenFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OpenFile& operator=(OpenFile&&) = delete;
    ~OpenFile();

    // Reads into dst[0, want) until it is full or the file ends; the number
    // of bytes read, or the system's error text.
    Expected<std::size_t> read_full(char* dst, std::size_t want);

    // The size of a regular file; none for pipes, devices and directories.
    std::optional<std::size_t> regular_size() const;

    // Reads the rest of the file after the `file.size` bytes already in
    // `file`; a failure while reading gives read_prefix + the system's text.
    Expected<FileBytes> read_rest(FileBytes file, std::string_view read_prefix);

private:
    explicit OpenFile(int fd) : fd_(fd) {}
    // Reads bytes [file.size, end) of a regular file on the pool; false,
    // with the system's text in `error`, when a read fails. Stops at the
    // first piece the file ends in.
    bool read_in_pieces(FileBytes& file, std::size_t end, std::string& error);
    int fd_;
};

// Opens `path` read-only and reads it to its end. A failure to open gives
// open_prefix + the system's error text, a failure while reading gives
// read_prefix + that text; the file is closed in every case.
Expected<FileBytes> read_file(const std::string& path, std::string_view open_prefix,
                              std::string_view read_prefix);

// The system's text for an errno value: "No such file or directory (os error 2)".
std::string os_error_text(int err);

// Strict UTF-8 check: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

// A decimal number token as a float or double: optional sign, digits with an
// optional point and exponent, or inf / infinity / nan in any letter case.
// Magnitudes beyond the type's range become infinities, tiny ones zero or
// subnormals. False when the token is not a number.
bool parse_real(std::string_view token, float& out);
bool parse_real(std::string_view token, double& out);

// A token quoted for a message: printable ASCII kept, other bytes as \xNN,
// cut after 40 bytes, so that the message is always valid UTF-8.
std::string quote_token(std::string_view token);

}  // namespace detail

}  // namespace mesh

}  // namespace quorin
