// The one-pass serial OBJ parser, kept as the reference that the block
// parser is checked against (test code, not part of the library).
#pragma once

#include <string_view>

#include "quorin/surface/obj_parse.hpp"

namespace quorin::mesh::detail {

// The same result and messages as parse_obj, from one thread reading the
// text line by line.
Expected<ObjSurface> parse_obj_serial(std::string_view text);

}  // namespace quorin::mesh::detail
