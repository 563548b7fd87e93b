#include "fuzz_classify.hpp"
#include "quorin/surface/obj.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::run(
        data, size, "obj", [](const std::string& p) { return quorin::mesh::load_obj(p); },
        fuzz::classify::Road{});
}
