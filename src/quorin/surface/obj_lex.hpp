// Splitting OBJ lines into tokens. Both passes of the block parser read the
// lines through these functions, so that the counts of the first pass are
// exactly what the second one writes.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace quorin::mesh::detail::obj_lex {

inline bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// The next token of `line` from position `i` on, with `i` moved past it;
// empty at the end of the line or at a token that begins with '#' (a
// comment runs to the end of the line).
inline std::string_view next_token(std::string_view line, std::size_t& i) {
    while (i < line.size() && is_space(line[i])) ++i;
    if (i == line.size() || line[i] == '#') {
        i = line.size();
        return {};
    }
    const std::size_t start = i;
    while (i < line.size() && !is_space(line[i])) ++i;
    return line.substr(start, i - start);
}

// All tokens of `line` into `tokens` (cleared first).
inline void tokenize(std::string_view line, std::vector<std::string_view>& tokens) {
    tokens.clear();
    std::size_t i = 0;
    for (std::string_view t = next_token(line, i); !t.empty(); t = next_token(line, i)) {
        tokens.push_back(t);
    }
}

// The number of tokens of `line` from position `i` on.
inline std::size_t count_tokens(std::string_view line, std::size_t i) {
    std::size_t n = 0;
    while (!next_token(line, i).empty()) ++n;
    return n;
}

// The name an "o" statement gives: the rest of the line after the keyword,
// inner blanks kept, without the trailing blanks and comment.
inline std::string_view object_name(const std::vector<std::string_view>& tokens) {
    if (tokens.size() < 2) return {};
    const char* first = tokens[1].data();
    return {first, static_cast<std::size_t>(tokens.back().data() + tokens.back().size() - first)};
}

// The lines of a text: calls f(line) for each, without its line feed. A final
// line feed ends the last line; it does not start an empty one.
template <class F>
void for_each_line(std::string_view text, F&& f) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t lf = text.find('\n', pos);
        const std::size_t stop = lf == std::string_view::npos ? text.size() : lf;
        if (!f(text.substr(pos, stop - pos))) return;
        pos = stop + 1;
    }
}

}  // namespace quorin::mesh::detail::obj_lex
