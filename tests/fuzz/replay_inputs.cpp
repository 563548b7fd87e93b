#include "replay_inputs.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string_view>
#include <system_error>

namespace fuzz::replay {

namespace fs = std::filesystem;

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The value of `arg` when it reads `--name=value`.
std::optional<std::string> value_of(std::string_view arg, std::string_view name) {
    if (arg.size() <= name.size() + 3 || arg.substr(0, 2) != "--" ||
        arg.substr(2, name.size()) != name || arg[name.size() + 2] != '=') {
        return std::nullopt;
    }
    return std::string(arg.substr(name.size() + 3));
}

std::string apply(Options& o, std::string_view arg) {
    if (auto v = value_of(arg, "timeout")) {
        char* end = nullptr;
        o.timeout_seconds = std::strtod(v->c_str(), &end);
        if (*end != '\0' || !(o.timeout_seconds > 0)) return "bad --timeout: " + *v;
    } else if (auto v = value_of(arg, "shared")) {
        o.shared_dir = *v;
    } else if (auto v = value_of(arg, "format")) {
        o.format = lower(*v);
    } else if (auto v = value_of(arg, "skip")) {
        o.skip.push_back(*v);
    } else if (arg.substr(0, 2) == "--") {
        return "unknown option: " + std::string(arg);
    } else {
        o.seed_paths.emplace_back(arg);
    }
    return {};
}

// The regular files directly in `dir`, sorted so that runs are repeatable.
std::vector<fs::path> files_in(const fs::path& dir) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        if (entry.is_regular_file()) out.push_back(entry.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool has_format(const fs::path& file, const std::string& format) {
    return lower(file.extension().string()) == "." + format;
}

bool skipped(const fs::path& file, const std::vector<std::string>& skip) {
    return std::find(skip.begin(), skip.end(), file.filename().string()) != skip.end();
}

void add_shared(const Options& o, Inputs& in) {
    const fs::path& dir = *o.shared_dir;
    if (!fs::is_directory(dir)) {
        in.notes.push_back(dir.string() + " is absent: replaying the in-repo seeds only");
        return;
    }
    for (const fs::path& file : files_in(dir)) {
        if (!has_format(file, o.format)) continue;
        if (skipped(file, o.skip)) {
            in.notes.push_back("skipped (listed as too slow for the replay): " + file.string());
            continue;
        }
        in.files.push_back(file);
    }
}

}  // namespace

ParsedOptions parse_options(int argc, char** argv) {
    ParsedOptions parsed;
    for (int i = 1; i < argc && parsed.error.empty(); ++i) parsed.error = apply(parsed.options, argv[i]);
    const Options& o = parsed.options;
    if (parsed.error.empty() && o.seed_paths.empty()) parsed.error = "no seed given";
    if (parsed.error.empty() && o.shared_dir && o.format.empty()) parsed.error = "--shared needs --format";
    return parsed;
}

Inputs collect_inputs(const Options& o) {
    Inputs in;
    for (const fs::path& path : o.seed_paths) {
        const std::vector<fs::path> files = fs::is_regular_file(path) ? std::vector{path} : files_in(path);
        if (files.empty()) {
            in.error = "no seed in " + path.string();
            return in;
        }
        in.files.insert(in.files.end(), files.begin(), files.end());
    }
    if (o.shared_dir) add_shared(o, in);
    return in;
}

}  // namespace fuzz::replay
