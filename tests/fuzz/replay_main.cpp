// Replays seed inputs through a fuzz target's LLVMFuzzerTestOneInput without
// libFuzzer, so that any compiler can check the corpora (see
// replay_inputs.hpp for the command line). Each input runs in a child process
// of its own: a crash, a sanitizer report, an abort of the target's checks or
// a run past the time limit then names its file, and the parent, which runs
// no target code, never forks with worker threads alive.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "replay_inputs.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
// LeakSanitizer's check, when the driver runs under it.
extern "C" void __lsan_do_leak_check() __attribute__((weak));

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void run_in_child(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.good() && !in.eof()) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        std::exit(2);
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    // Leaks are looked for now, with the worker pool intact, and not at exit:
    // the pool's teardown races its threads and may leave a block of the
    // thread library's own unreachable for a moment.
    if (__lsan_do_leak_check) __lsan_do_leak_check();
    std::exit(0);  // runs the static destructors: the target's scratch file goes
}

// Waits for `child` until `timeout_seconds` have passed; then kills it.
// Returns its wait status, or nothing when it was killed for its time.
std::optional<int> wait_with_limit(pid_t child, double timeout_seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_seconds);
    for (;;) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) return status;
        if (Clock::now() >= deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Empty when the child passed, else what went wrong; no status means it was
// killed for its time.
std::string describe(std::optional<int> status, double timeout_seconds) {
    char text[96];
    if (!status) {
        std::snprintf(text, sizeof text, "still running after the limit of %g s", timeout_seconds);
    } else if (WIFSIGNALED(*status)) {
        std::snprintf(text, sizeof text, "killed by signal %d (%s)", WTERMSIG(*status), strsignal(WTERMSIG(*status)));
    } else if (WEXITSTATUS(*status) != 0) {
        std::snprintf(text, sizeof text, "exit status %d", WEXITSTATUS(*status));
    } else {
        return {};
    }
    return text;
}

std::string run_one(const fs::path& file, double timeout_seconds) {
    std::fflush(nullptr);  // the child must not print the parent's buffered lines again
    const pid_t child = fork();
    if (child < 0) return std::string("fork failed: ") + std::strerror(errno);
    if (child == 0) run_in_child(file);
    return describe(wait_with_limit(child, timeout_seconds), timeout_seconds);
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string name = fs::path(argv[0]).filename().string();
    const auto parsed = fuzz::replay::parse_options(argc, argv);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), parsed.error.c_str());
        return 2;
    }
    const auto inputs = fuzz::replay::collect_inputs(parsed.options);
    for (const std::string& note : inputs.notes) std::printf("%s: %s\n", name.c_str(), note.c_str());
    if (!inputs.error.empty()) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), inputs.error.c_str());
        return 2;
    }
    const auto start = Clock::now();
    int failed = 0;
    for (const fs::path& file : inputs.files) {
        const auto t0 = Clock::now();
        const std::string failure = run_one(file, parsed.options.timeout_seconds);
        std::printf("%s %7.2f s  %s\n", failure.empty() ? "ok    " : "FAILED", seconds_since(t0), file.c_str());
        if (!failure.empty()) {
            std::fprintf(stderr, "%s: %s: %s\n", name.c_str(), file.c_str(), failure.c_str());
            ++failed;
        }
    }
    std::printf("%s: %zu inputs, %d failed, %.2f s\n", name.c_str(), inputs.files.size(), failed,
                seconds_since(start));
    return failed == 0 ? 0 : 1;
}
