// What the replay driver runs: its command line and the input files it names.
//
//   replay_<target> [--timeout=SECONDS] [--shared=DIR --format=EXT [--skip=NAME]...] SEED...
//
// A SEED is a file, or a directory whose every regular file is an input; a
// directory must hold one at least (an empty or missing seed directory is a
// broken checkout, not a pass). --shared adds the files of DIR whose extension is EXT in any
// letter case, except those named by --skip; DIR may be absent.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace fuzz::replay {

struct Options {
    double timeout_seconds = 60;
    std::vector<std::filesystem::path> seed_paths;  // files and directories
    std::optional<std::filesystem::path> shared_dir;
    std::string format;              // extension taken from shared_dir, lower case
    std::vector<std::string> skip;   // file names in shared_dir left out
};

// The options, or a message saying what is wrong with the command line.
struct ParsedOptions {
    Options options;
    std::string error;
};

ParsedOptions parse_options(int argc, char** argv);

struct Inputs {
    std::vector<std::filesystem::path> files;  // in the order they run
    std::vector<std::string> notes;            // what was left out, and why
    std::string error;                         // a seed missing, or a directory empty
};

Inputs collect_inputs(const Options& options);

}  // namespace fuzz::replay
