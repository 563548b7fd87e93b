// Loads one surface file the way a build does and prints the wall time of
// the load (file read, parse and hierarchy) and the peak RSS, as JSON, for
// bench/large_surface_bench.py.
//   build/bench/surface_load PATH
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "quorin/surface/obj.hpp"
#include "quorin/surface/stl.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: surface_load PATH\n");
        return 2;
    }
    const std::string path = argv[1];
    const bool obj = path.size() >= 4 && (path.ends_with(".obj") || path.ends_with(".OBJ"));
    const auto t0 = std::chrono::steady_clock::now();
    const auto mesh = obj ? quorin::mesh::load_obj(path) : quorin::mesh::load_stl(path);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!mesh) {
        std::fprintf(stderr, "%s\n", mesh.error().c_str());
        return 1;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("{\"seconds\": %.6f, \"triangles\": %zu, \"peak\": %ld}\n", seconds,
                mesh->trimesh.triangles().size(), static_cast<long>(usage.ru_maxrss) * 1024);
    return 0;
}
