#include "quorin/surface/stl.hpp"

#include <bit>
#include <cstring>
#include <utility>

#include "quorin/parallel.hpp"
#include "quorin/surface/stl_ascii.hpp"

namespace quorin::mesh {

namespace {

using StlData = detail::StlSurface;

// A binary file shorter than its header or than its triangle count says.
constexpr std::string_view SHORT_FILE = "failed to fill whole buffer";

constexpr std::size_t HEADER_BYTES = 80;
constexpr std::size_t RECORD_BYTES = 50;

bool is_ascii(std::string_view bytes) {
    const std::string_view first_line = bytes.substr(0, bytes.find('\n'));
    return first_line.starts_with("solid ") && detail::is_valid_utf8(first_line);
}

float read_f32(const char* p) {
    std::uint32_t bits;
    std::memcpy(&bits, p, 4);
    if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap32(bits);
    return std::bit_cast<float>(bits);
}

// Decodes records [first, first + count) of a binary file, each 50 bytes
// from `records`, into their vertices and faces, on the pool.
void decode_records(const char* records, std::size_t first, std::size_t count, StlData& data) {
    parallel::for_chunks(count, 16384, [&](std::size_t b, std::size_t e) {
        for (std::size_t r = b; r != e; ++r) {
            const std::size_t i = first + r;
            // Skip the 12-byte normal; the attribute word after the corners is ignored.
            const char* rec = records + r * RECORD_BYTES + 12;
            for (std::size_t k = 0; k < 3; ++k) {
                Vec3& v = data.vertices[3 * i + k];
                for (std::size_t a = 0; a < 3; ++a) v[a] = double(read_f32(rec + 12 * k + 4 * a));
            }
            const auto corner = static_cast<std::uint32_t>(3 * i);
            data.faces[i] = {corner, corner + 1, corner + 2};
        }
    });
}

std::uint32_t triangle_count(const char* header) {
    const auto* c = reinterpret_cast<const unsigned char*>(header) + HEADER_BYTES;
    return std::uint32_t(c[0]) | std::uint32_t(c[1]) << 8 | std::uint32_t(c[2]) << 16 | std::uint32_t(c[3]) << 24;
}

// Room for the records of a count, or the message of a count the file or
// the vertex indices cannot hold.
Expected<StlData> sized_for(std::size_t available, std::uint32_t count) {
    // Checked against the bytes present before anything is allocated for it.
    if (available / RECORD_BYTES < count) return Failure{std::string(SHORT_FILE)};
    const std::size_t n = count;
    if (3 * n > detail::STL_MAX_VERTICES) return Failure{std::string(detail::STL_TOO_MANY)};
    StlData data;
    data.vertices.resize(3 * n);
    data.faces.resize(n);
    return data;
}

Expected<StlData> read_binary(std::string_view bytes) {
    if (bytes.size() < HEADER_BYTES + 4) return Failure{std::string(SHORT_FILE)};
    const std::uint32_t count = triangle_count(bytes.data());
    Expected<StlData> data = sized_for(bytes.size() - HEADER_BYTES - 4, count);
    if (data) decode_records(bytes.data() + HEADER_BYTES + 4, 0, count, *data);
    return data;
}

// A binary file read block by block: each block's records are decoded on the
// pool while the next block is read, so the file never sits in memory whole.
// `head` holds the first `have` bytes, at least the header and count; the
// file is a regular one of `size` bytes. Reads to the end of the file, as a
// reader of the whole file would, so that a read error anywhere is reported.
class BinaryStream {
public:
    static constexpr std::size_t BLOCK = std::size_t{8} << 20;

    BinaryStream(detail::OpenFile& file, std::unique_ptr<char[]> head, std::size_t have)
        : file_(file), block_{std::move(head), std::make_unique_for_overwrite<char[]>(BLOCK)}, have_(have) {}

    Expected<StlData> read(std::size_t size) {
        const std::uint32_t count = triangle_count(block_[0].get());
        Expected<StlData> data = sized_for(size - HEADER_BYTES - 4, count);
        if (!data) return data;
        // Bytes of the current block not yet decoded start at `from`; the
        // block holds `have_` bytes and is the last one when short.
        std::size_t from = HEADER_BYTES + 4;
        std::size_t decoded = 0;
        for (;;) {
            const bool last = have_ < BLOCK;
            const std::size_t whole = std::min<std::size_t>((have_ - from) / RECORD_BYTES, count - decoded);
            const char* records = block_[0].get() + from;
            if (last || decoded + whole == count) {
                decode_records(records, decoded, whole, *data);
                decoded += whole;
                if (!last && !drain()) return Failure{std::move(error_)};
                break;
            }
            // The records ran out within the block: the next block starts
            // with the tail of the one cut at its end (under 50 bytes).
            const std::size_t tail = have_ - from - whole * RECORD_BYTES;
            std::memcpy(block_[1].get(), records + whole * RECORD_BYTES, tail);
            Expected<std::size_t> next = std::size_t{0};
            parallel::invoke([&] { decode_records(records, decoded, whole, *data); },
                             [&] { next = file_.read_full(block_[1].get() + tail, BLOCK - tail); });
            decoded += whole;
            if (!next) return Failure{next.error()};
            std::swap(block_[0], block_[1]);
            have_ = tail + *next;
            from = 0;
        }
        if (decoded < count) return Failure{std::string(SHORT_FILE)};
        return data;
    }

private:
    // Reads past the last record to the end of the file; false, with the
    // error kept, when a read fails.
    bool drain() {
        for (;;) {
            const Expected<std::size_t> got = file_.read_full(block_[1].get(), BLOCK);
            if (!got) {
                error_ = got.error();
                return false;
            }
            if (*got < BLOCK) return true;
        }
    }

    detail::OpenFile& file_;
    std::string error_;
    std::unique_ptr<char[]> block_[2];
    std::size_t have_;
};

// The whole file read and decoded at once: ASCII files, and files whose
// kind or size the first block does not settle.
Expected<StlData> read_whole(detail::OpenFile& file, detail::FileBytes head) {
    Expected<detail::FileBytes> all = file.read_rest(std::move(head), "");
    if (!all) return Failure{all.error()};
    const std::string_view bytes = all->view();
    return is_ascii(bytes) ? detail::parse_ascii_stl(bytes) : read_binary(bytes);
}

// The first block decides: a binary file is streamed; a file whose first
// line may still be ASCII STL is read whole.
Expected<StlData> read_stl(detail::OpenFile& file) {
    detail::FileBytes head;
    head.data = std::make_unique_for_overwrite<char[]>(BinaryStream::BLOCK);
    const Expected<std::size_t> got = file.read_full(head.data.get(), BinaryStream::BLOCK);
    if (!got) return Failure{got.error()};
    head.size = *got;
    const std::string_view bytes = head.view();
    const bool line_ends = bytes.find('\n') != std::string_view::npos;
    const bool may_be_ascii = line_ends ? is_ascii(bytes) : bytes.starts_with("solid ");
    const std::optional<std::size_t> size = file.regular_size();
    if (may_be_ascii || head.size < BinaryStream::BLOCK || !size || *size < head.size)
        return read_whole(file, std::move(head));
    return BinaryStream(file, std::move(head.data), head.size).read(*size);
}

}  // namespace

Expected<IbmMesh> load_stl(const std::string& path) {
    constexpr std::string_view READ_FAILED = "Failed to read STL file: ";
    Expected<detail::OpenFile> file = detail::OpenFile::open(path, "Failed to open STL file: ");
    if (!file) return Failure{file.error()};
    // Any buffer that cannot be had, the blocks' or the surface's.
    Expected<StlData> data = [&]() -> Expected<StlData> {
        try {
            return read_stl(*file);
        } catch (const std::bad_alloc&) {
            return Failure{"file too large to hold in memory"};
        }
    }();
    if (!data) return Failure{std::string(READ_FAILED) + data.error()};

    Buffer<std::uint64_t> patch_ids = parallel::filled<std::uint64_t>(data->faces.size(), 0);
    return IbmMesh(std::move(data->vertices), std::move(data->faces), {"_default"}, std::move(patch_ids));
}

}  // namespace quorin::mesh
