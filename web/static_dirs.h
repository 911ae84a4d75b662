#pragma once
// Where the web server finds the directories it serves, "pages" (at "/")
// and "help" (at "/help"), so that the page is there wherever tessaro is
// started from: a source tree, the Windows zip's folder, an installed prefix.

#include <filesystem>
#include <string>
#include <vector>

struct StaticDirs {
    // The folder holding pages/ (and help/, when it has one); empty when no
    // place looked at has pages/. The working directory stays relative (".").
    std::filesystem::path root;
    // The places looked at, in order, for the notice.
    std::vector<std::filesystem::path> searched;
};

// The first of these folders that holds a "pages" directory wins:
//   1. working_dir (the working directory as it is, e.g. a source tree),
//   2. executable_dir (the folder of the Windows zip),
//   3. data_dir_from_executable relative to executable_dir (an installed
//      prefix: bin/../share/tessaro).
// An empty executable_dir (not known) leaves out 2 and 3.
StaticDirs find_static_dirs(const std::filesystem::path& working_dir,
                            const std::filesystem::path& executable_dir,
                            const std::filesystem::path& data_dir_from_executable);
// The same for this process, with the installed layout of this build.
StaticDirs find_static_dirs();

// A path as UTF-8 text, on every platform.
std::string path_text(const std::filesystem::path& path);

// The one line said after the web server's start line when no pages were
// found; empty when they were.
std::string static_dirs_notice(const StaticDirs& dirs);
