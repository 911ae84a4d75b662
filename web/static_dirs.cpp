#include "web/static_dirs.h"

#include <system_error>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {

// The installed data folder as seen from the installed program's folder,
// given by the build ("../share/tessaro").
#ifndef TESSARO_DATA_FROM_BIN
#define TESSARO_DATA_FROM_BIN "../share/tessaro"
#endif

// The folder of the running program, symbolic links resolved, or empty when
// the system will not say.
fs::path executable_dir() {
#ifdef _WIN32
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size =
            GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (size == 0) {
            return {};
        }
        if (size < name.size()) {
            name.resize(size);
            break;
        }
        name.resize(name.size() * 2);
    }
    const fs::path program(name);
#else
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        return {};
    }
#endif
    return program.parent_path();
}

}  // namespace

std::string path_text(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

StaticDirs find_static_dirs(const fs::path& working_dir, const fs::path& executable_dir,
                            const fs::path& data_dir_from_executable) {
    StaticDirs dirs;
    dirs.searched.push_back(working_dir);
    if (!executable_dir.empty()) {
        dirs.searched.push_back(executable_dir);
        dirs.searched.push_back((executable_dir / data_dir_from_executable).lexically_normal());
    }
    for (const fs::path& place : dirs.searched) {
        std::error_code error;
        if (fs::is_directory(place / "pages", error)) {
            dirs.root = place;
            break;
        }
    }
    return dirs;
}

StaticDirs find_static_dirs() {
    StaticDirs dirs = find_static_dirs(".", executable_dir(), TESSARO_DATA_FROM_BIN);
    // The notice names the working directory as a user would look for it.
    std::error_code error;
    const fs::path current = fs::current_path(error);
    if (!error) {
        dirs.searched.front() = current;
    }
    return dirs;
}

std::string static_dirs_notice(const StaticDirs& dirs) {
    if (!dirs.root.empty()) {
        return "";
    }
    std::string places;
    for (size_t i = 0; i < dirs.searched.size(); ++i) {
        if (i > 0) {
            places += i + 1 == dirs.searched.size() ? " or " : ", ";
        }
        places += path_text(dirs.searched[i]);
    }
    return "[Tessaro] The web page is not installed: no pages folder in " + places +
           "; the API still works.";
}
