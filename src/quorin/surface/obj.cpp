#include "quorin/surface/obj.hpp"

#include <utility>

#include "quorin/surface/obj_parse.hpp"

namespace quorin::mesh {

Expected<IbmMesh> load_obj(const std::string& path) {
    constexpr std::string_view READ_FAILED = "Failed to read OBJ file: ";
    Expected<detail::FileBytes> file = detail::read_file(path, READ_FAILED, READ_FAILED);
    if (!file) return Failure{file.error()};
    Expected<detail::ObjSurface> parsed = detail::parse_obj(file->view());
    file->data.reset();
    if (!parsed) return Failure{parsed.error()};
    detail::ObjSurface& s = *parsed;
    return IbmMesh(std::move(s.vertices), std::move(s.triangles), std::move(s.patch_names),
                   std::move(s.patch_ids));
}

}  // namespace quorin::mesh
