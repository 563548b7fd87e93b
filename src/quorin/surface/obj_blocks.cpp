#include "quorin/surface/obj_blocks.hpp"

#include <algorithm>

#include "quorin/surface/ibm_mesh.hpp"
#include "quorin/surface/obj_lex.hpp"

namespace quorin::mesh::detail {

std::vector<std::string_view> cut_blocks(std::string_view text, std::size_t block_bytes) {
    const std::size_t step = std::max<std::size_t>(block_bytes, 1);
    std::vector<std::string_view> blocks;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.size();
        if (text.size() - begin > step) {
            const std::size_t lf = text.find('\n', begin + step - 1);
            if (lf != std::string_view::npos) end = lf + 1;
        }
        blocks.push_back(text.substr(begin, end - begin));
        begin = end;
    }
    return blocks;
}

namespace {

// Reads the statements of one block by their keywords.
class BlockScanner {
public:
    BlockScan scan(std::string_view block) {
        out_.valid_utf8 = is_valid_utf8(block);
        obj_lex::for_each_line(block, [&](std::string_view line) {
            ++out_.lines;
            statement(line);
            return true;
        });
        return std::move(out_);
    }

private:
    void statement(std::string_view line) {
        std::size_t i = 0;
        const std::string_view kw = obj_lex::next_token(line, i);
        if (kw == "v") {
            ++out_.vertices;
        } else if (kw == "f" || kw == "l" || kw == "p") {
            const std::size_t corners = obj_lex::count_tokens(line, i);
            if (corners >= 1) shapes_in_stretch() = true;
            if (kw != "p" && corners >= 3) out_.triangles += corners - 2;
        } else if (kw == "o" || kw == "g") {
            event(kw == "o", line);
        }
    }

    void event(bool object, std::string_view line) {
        obj_lex::tokenize(line, tokens_);
        ObjEvent e;
        e.object = object;
        e.name = object ? obj_lex::object_name(tokens_)
                        : (tokens_.size() > 1 ? tokens_[1] : std::string_view());
        e.named = !e.name.empty();
        e.vertices_before = out_.vertices;
        out_.events.push_back(e);
    }

    bool& shapes_in_stretch() {
        return out_.events.empty() ? out_.shapes_first : out_.events.back().shapes_after;
    }

    BlockScan out_;
    std::vector<std::string_view> tokens_;
};

}  // namespace

BlockScan scan_block(std::string_view block) { return BlockScanner().scan(block); }

}  // namespace quorin::mesh::detail
