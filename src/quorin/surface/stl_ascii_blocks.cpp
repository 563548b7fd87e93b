#include "quorin/surface/stl_ascii_blocks.hpp"

#include <algorithm>
#include <array>

#include "quorin/surface/ibm_mesh.hpp"
#include "quorin/surface/stl_ascii_lex.hpp"

namespace quorin::mesh::detail {

namespace {

// The tokens of a facet after "facet"; an empty word holds a number.
constexpr std::array<std::string_view, 20> FACET_TOKENS = {
    "normal", "", "", "", "outer", "loop",
    "vertex", "", "", "", "vertex", "", "", "", "vertex", "", "", "",
    "endloop", "endfacet",
};

// Reads the rest of a facet by its keywords; false at a keyword that does
// not match or at the end of the text.
bool facet_shape(stl_lex::Cursor& cursor) {
    for (const std::string_view word : FACET_TOKENS) {
        const std::string_view t = cursor.next();
        if (t.empty() || (!word.empty() && t != word)) return false;
    }
    return true;
}

}  // namespace

FacetRun scan_run(std::string_view text, std::size_t from, std::size_t block_end) {
    const char* const base = text.data();
    const char* const stop = base + block_end;
    auto offset = [&](std::string_view token) {
        return token.empty() ? text.size() : static_cast<std::size_t>(token.data() - base);
    };
    stl_lex::Cursor cursor(base + from, base + text.size());
    std::string_view t = cursor.next();
    while (!t.empty() && t.data() < stop && t != "facet") t = cursor.next();
    FacetRun run;
    if (t != "facet" || t.data() >= stop) return run;
    run.begin = offset(t);
    // `at` is where the reading stands: the start of token t.
    std::size_t at = run.begin;
    while (t == "facet" && t.data() < stop && facet_shape(cursor)) {
        ++run.facets;
        t = cursor.next();
        at = offset(t);
    }
    run.end = at;
    run.line_feeds = static_cast<std::size_t>(std::count(base + run.begin, base + run.end, '\n'));
    return run;
}

std::optional<std::string_view> read_run(std::string_view text, std::size_t begin, std::size_t facets,
                                         Vec3* corners) {
    stl_lex::Cursor cursor(text.data() + begin, text.data() + text.size());
    for (std::size_t f = 0; f < facets; ++f) {
        cursor.skip(2);  // facet normal
        for (int a = 0; a < 3; ++a) {
            const std::string_view t = cursor.next();
            float ignored;
            if (!parse_real(t, ignored)) return t;
        }
        cursor.skip(2);  // outer loop
        for (int k = 0; k < 3; ++k) {
            cursor.skip(1);  // vertex
            Vec3& corner = corners[3 * f + k];
            for (int a = 0; a < 3; ++a) {
                const std::string_view t = cursor.next();
                float value;
                if (!parse_real(t, value)) return t;
                corner[a] = double(value);
            }
        }
        cursor.skip(2);  // endloop endfacet
    }
    return std::nullopt;
}

}  // namespace quorin::mesh::detail
