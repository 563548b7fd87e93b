// Shared body of the loader fuzz targets: the input becomes a file (the
// loaders read paths), the loader runs, and only its defined outcomes may
// follow: a mesh, a message, or the internal error of a surface without
// triangles. Anything else (a crash, a sanitizer report, another exception)
// is a finding.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quorin/error.hpp"
#include "quorin/surface/ibm_mesh.hpp"

namespace fuzz {

// The one scratch file of this process, removed when the process exits.
struct Scratch {
    std::string path;
    ~Scratch() { std::remove(path.c_str()); }
};

inline const std::string& scratch_path(const char* extension) {
    static const Scratch scratch{[&] {
        const char* dir = std::getenv("QUORIN_FUZZ_TMP");
        return std::string(dir ? dir : "/tmp") + "/quorin_fuzz_" + std::to_string(::getpid()) +
               "." + extension;
    }()};
    return scratch.path;
}

// What a target does with a surface that loaded; the loader targets do nothing more.
struct NoFollowUp {
    void operator()(const std::string&, const quorin::IbmMesh&) const {}
};

// Runs `load` on the input written to the scratch file; on a loaded surface
// checks its indices and then hands the path and the surface to `follow_up`.
template <class Load, class FollowUp = NoFollowUp>
int run(const std::uint8_t* data, std::size_t size, const char* extension, Load load,
        FollowUp follow_up = {}) {
    const std::string& path = scratch_path(extension);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
    try {
        auto result = load(path);
        if (result.ok()) {
            const quorin::IbmMesh& m = *result;
            const auto& tris = m.trimesh.triangles();
            const auto nv = m.trimesh.vertices().size();
            if (tris.empty() || m.triangle_patch_ids.size() != tris.size()) std::abort();
            for (std::size_t t = 0; t < tris.size(); ++t) {
                for (auto v : tris[t]) {
                    if (v >= nv) std::abort();
                }
                if (m.triangle_patch_ids[t] >= m.patch_names.size()) std::abort();
            }
            follow_up(path, m);
        } else if (result.error().empty()) {
            std::abort();
        }
    } catch (const quorin::InternalError& e) {
        if (std::strcmp(e.what(), "Failed to build TriMesh: EmptyIndices") != 0) std::abort();
    }
    return 0;
}

}  // namespace fuzz
