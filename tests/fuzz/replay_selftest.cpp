// A stand-in fuzz target that misbehaves on request, on every input, so that
// the test suite can show the replay driver failing on each kind of finding
// (a driver that passes everything would hide them all). REPLAY_SELFTEST
// names the misdeed; unset, the target passes.
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace {
std::uint8_t* volatile sink = nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) {
    const char* env = std::getenv("REPLAY_SELFTEST");
    const std::string_view how = env ? env : "";
    if (how == "abort") std::abort();
    if (how == "segfault") std::raise(SIGSEGV);
    if (how == "exit") std::exit(3);
    if (how == "exception") throw std::runtime_error("thrown out of the target");
    if (how == "heap-overflow") {
        const auto* bytes = new std::uint8_t[1]{};
        const volatile std::uint8_t past_end = bytes[1];
        (void)past_end;
        delete[] bytes;
    }
    if (how == "leak") {
        sink = new std::uint8_t[64];
        sink = nullptr;
    }
    if (how == "hang") {
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return 0;
}
