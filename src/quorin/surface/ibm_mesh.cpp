#include "quorin/surface/ibm_mesh.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "quorin/parallel.hpp"

namespace quorin {

namespace {

// Stops on a surface without triangles; the hierarchy's build stops on a
// corner past the vertices, naming the first such index.
TriMesh checked_trimesh(Buffer<Vec3>&& vertices, Buffer<Triangle>&& triangles) {
    if (triangles.empty()) internal_error("Failed to build TriMesh: EmptyIndices");
    return TriMesh(std::move(vertices), std::move(triangles));
}

}  // namespace

IbmMesh::IbmMesh(std::span<const Vec3> vertices, std::span<const Triangle> triangles,
                 std::vector<std::string> patch_names_,
                 std::vector<std::uint64_t> triangle_patch_ids_)
    : IbmMesh(parallel::copied(vertices), parallel::copied(triangles), std::move(patch_names_),
              parallel::copied<std::uint64_t>(triangle_patch_ids_)) {}

IbmMesh::IbmMesh(Buffer<Vec3>&& vertices, Buffer<Triangle>&& triangles, std::vector<std::string> patch_names_,
                 Buffer<std::uint64_t> triangle_patch_ids_)
    : trimesh(checked_trimesh(std::move(vertices), std::move(triangles))),
      patch_names(std::move(patch_names_)),
      triangle_patch_ids(std::move(triangle_patch_ids_)) {}

namespace mesh {

Buffer<Vec3> vertices_to_f64(std::vector<std::array<float, 3>> vertices) {
    Buffer<Vec3> out(vertices.size());
    parallel::for_chunks(vertices.size(), 16384, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i != e; ++i) {
            const auto& v = vertices[i];
            out[i] = {static_cast<double>(v[0]), static_cast<double>(v[1]),
                      static_cast<double>(v[2])};
        }
    });
    std::vector<std::array<float, 3>>().swap(vertices);
    return out;
}

IbmMesh placeholder_surface() {
    constexpr double c = PLACEHOLDER_SURFACE_COORD;
    const Vec3 vertices[] = {{c, c, c}, {c + 1.0, c, c}, {c, c + 1.0, c}};
    const Triangle triangles[] = {{0, 1, 2}};
    return IbmMesh(vertices, triangles, {"empty"}, {0});
}

namespace detail {

namespace {

std::string concat(std::string_view a, std::string_view b) {
    std::string s;
    s.reserve(a.size() + b.size());
    s.append(a);
    s.append(b);
    return s;
}

template <class T>
bool parse_real_impl(std::string_view token, T& out) {
    const char* b = token.data();
    const char* const e = b + token.size();
    if (b == e) return false;
    // from_chars takes a minus but no plus sign.
    if (*b == '+') {
        ++b;
        if (b == e || *b == '+' || *b == '-') return false;
    }
    T value{};
    const auto r = std::from_chars(b, e, value, std::chars_format::general);
    if (r.ptr != e) return false;
    if (r.ec == std::errc()) {
        out = value;
        return true;
    }
    if (r.ec != std::errc::result_out_of_range) return false;
    // Beyond the type's range (or in its subnormal range): go through the
    // wider type, whose conversion gives the infinity, zero or subnormal.
    long double wide{};
    const auto rw = std::from_chars(b, e, wide, std::chars_format::general);
    if (rw.ptr == e && rw.ec == std::errc()) {
        out = static_cast<T>(wide);
        return true;
    }
    // Beyond even that: the exponent's sign (or, without one, whether the
    // integer part has a non-zero digit) tells overflow from underflow.
    const bool negative = *b == '-';
    bool tiny = true;
    bool seen_exponent = false;
    for (const char* p = negative ? b + 1 : b; p != e; ++p) {
        if (*p == 'e' || *p == 'E') {
            seen_exponent = true;
            tiny = p + 1 != e && p[1] == '-';
            break;
        }
    }
    if (!seen_exponent) {
        tiny = true;
        for (const char* p = negative ? b + 1 : b; p != e && *p != '.'; ++p) {
            if (*p >= '1' && *p <= '9') {
                tiny = false;
                break;
            }
        }
    }
    const T magnitude = tiny ? T(0) : std::numeric_limits<T>::infinity();
    out = negative ? -magnitude : magnitude;
    return true;
}

}  // namespace

std::string os_error_text(int err) {
    char buf[256];
    const char* text = strerror_r(err, buf, sizeof buf);
    std::string s = text;
    s += " (os error ";
    s += std::to_string(err);
    s += ')';
    return s;
}

Expected<OpenFile> OpenFile::open(const std::string& path, std::string_view open_prefix) {
    // open() would stop at an embedded NUL and open some other file.
    if (path.find('\0') != std::string::npos) {
        return Failure{concat(open_prefix, "path contains a NUL byte")};
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Failure{concat(open_prefix, os_error_text(errno))};
    return OpenFile(fd);
}

OpenFile::~OpenFile() {
    if (fd_ >= 0) ::close(fd_);
}

Expected<std::size_t> OpenFile::read_full(char* dst, std::size_t want) {
    std::size_t have = 0;
    while (have < want) {
        const std::size_t step = std::min<std::size_t>(want - have, 1u << 30);
        const ssize_t got = ::read(fd_, dst + have, step);
        if (got < 0) {
            if (errno == EINTR) continue;
            return Failure{os_error_text(errno)};
        }
        if (got == 0) break;
        have += static_cast<std::size_t>(got);
    }
    return have;
}

std::optional<std::size_t> OpenFile::regular_size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return std::nullopt;
    return static_cast<std::size_t>(st.st_size);
}

namespace {

// Regular files from this size on are read by the pool, in pieces of
// PARALLEL_PIECE bytes: the buffer's pages are then first touched by many
// threads at once instead of by one.
constexpr std::size_t PARALLEL_READ = std::size_t{16} << 20;
constexpr std::size_t PARALLEL_PIECE = std::size_t{4} << 20;

// Fills dst[0, want) from `offset` on until it is full or the file ends;
// the bytes read, or the errno of a failed read.
std::size_t pread_full(int fd, char* dst, std::size_t want, std::size_t offset, int& err) {
    std::size_t have = 0;
    while (have < want) {
        const ssize_t got = ::pread(fd, dst + have, want - have, static_cast<off_t>(offset + have));
        if (got < 0) {
            if (errno == EINTR) continue;
            err = errno;
            return have;
        }
        if (got == 0) break;
        have += static_cast<std::size_t>(got);
    }
    return have;
}

}  // namespace

bool OpenFile::read_in_pieces(FileBytes& file, std::size_t end, std::string& error) {
    const std::size_t begin = file.size;
    const std::size_t pieces = (end - begin + PARALLEL_PIECE - 1) / PARALLEL_PIECE;
    std::vector<std::size_t> got(pieces, 0);
    std::vector<int> errs(pieces, 0);
    parallel::for_each_index(
        pieces,
        [&](std::size_t k) {
            const std::size_t at = begin + k * PARALLEL_PIECE;
            const std::size_t want = std::min(PARALLEL_PIECE, end - at);
            got[k] = pread_full(fd_, file.data.get() + at, want, at, errs[k]);
        },
        1);
    // As one read from the start would see it: the first failure, else the
    // first short piece ends the file.
    for (std::size_t k = 0; k < pieces; ++k) {
        if (errs[k] != 0) {
            error = os_error_text(errs[k]);
            return false;
        }
        file.size += got[k];
        if (got[k] < std::min(PARALLEL_PIECE, end - (begin + k * PARALLEL_PIECE))) return true;
    }
    // Read on from the end, in case the file has grown.
    if (::lseek(fd_, static_cast<off_t>(end), SEEK_SET) < 0) {
        error = os_error_text(errno);
        return false;
    }
    return true;
}

Expected<FileBytes> OpenFile::read_rest(FileBytes file, std::string_view read_prefix) {
    // A regular file is read into a buffer of its size (plus one byte, so that
    // the end shows without growing); anything else grows as it reads.
    std::size_t capacity = std::max<std::size_t>(file.size + 1, 1 << 16);
    const auto size = regular_size();
    if (size && *size >= file.size) capacity = *size + 1;
    try {
        if (file.data == nullptr || capacity > file.size) {
            auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
            if (file.size > 0) std::memcpy(bigger.get(), file.data.get(), file.size);
            file.data = std::move(bigger);
        }
        if (size && *size >= file.size + PARALLEL_READ) {
            const std::size_t end = *size;
            std::string error;
            if (!read_in_pieces(file, end, error)) return Failure{concat(read_prefix, error)};
            if (file.size < end) return file;  // the file ended early
        }
        for (;;) {
            if (file.size == capacity) {
                const std::size_t grown = capacity * 2;
                auto bigger = std::make_unique_for_overwrite<char[]>(grown);
                std::memcpy(bigger.get(), file.data.get(), file.size);
                file.data = std::move(bigger);
                capacity = grown;
            }
            const Expected<std::size_t> got = read_full(file.data.get() + file.size, capacity - file.size);
            if (!got) return Failure{concat(read_prefix, got.error())};
            file.size += *got;
            if (file.size < capacity) break;
        }
        return file;
    } catch (const std::bad_alloc&) {
        return Failure{concat(read_prefix, "file too large to hold in memory")};
    }
}

Expected<FileBytes> read_file(const std::string& path, std::string_view open_prefix,
                              std::string_view read_prefix) {
    Expected<OpenFile> file = OpenFile::open(path, open_prefix);
    if (!file) return Failure{file.error()};
    return file->read_rest(FileBytes{}, read_prefix);
}

bool is_valid_utf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        if (n - i >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            if ((w & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        // Lead byte: sequence length and the allowed range of the second byte
        // (which excludes overlong forms, surrogates and code points past U+10FFFF).
        std::size_t len;
        unsigned lo = 0x80;
        unsigned hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c == 0xE0) {
            len = 3;
            lo = 0xA0;
        } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
            len = 3;
        } else if (c == 0xED) {
            len = 3;
            hi = 0x9F;
        } else if (c == 0xF0) {
            len = 4;
            lo = 0x90;
        } else if (c >= 0xF1 && c <= 0xF3) {
            len = 4;
        } else if (c == 0xF4) {
            len = 4;
            hi = 0x8F;
        } else {
            return false;
        }
        if (n - i < len) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
        }
        i += len;
    }
    return true;
}

bool parse_real(std::string_view token, float& out) { return parse_real_impl(token, out); }
bool parse_real(std::string_view token, double& out) { return parse_real_impl(token, out); }

std::string quote_token(std::string_view token) {
    constexpr std::size_t MAX_SHOWN = 40;
    static constexpr char HEX[] = "0123456789abcdef";
    std::string s = "'";
    const std::size_t shown = std::min(token.size(), MAX_SHOWN);
    for (std::size_t i = 0; i < shown; ++i) {
        const auto c = static_cast<unsigned char>(token[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            s += static_cast<char>(c);
        } else {
            s += "\\x";
            s += HEX[c >> 4];
            s += HEX[c & 15];
        }
    }
    if (token.size() > MAX_SHOWN) s += "...";
    s += '\'';
    return s;
}

}  // namespace detail

}  // namespace mesh

}  // namespace quorin
