#include "fuzz_classify.hpp"
#include "quorin/surface/stl.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::run(
        data, size, "stl", [](const std::string& p) { return quorin::mesh::load_stl(p); },
        fuzz::classify::Road{});
}
