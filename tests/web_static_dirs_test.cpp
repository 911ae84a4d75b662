// Where the web server looks for its pages: the working directory first,
// then beside the program, then the installed data folder.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "web/static_dirs.h"

namespace {

namespace fs = std::filesystem;

struct TempDir {
    TempDir() {
        char name[] = "/tmp/tessaro-dirs-XXXXXX";
        path = mkdtemp(name) ? name : "";
    }
    ~TempDir() {
        std::error_code error;
        fs::remove_all(path, error);
    }
    fs::path path;
};

TEST(WebStaticDirs, TakesTheFirstPlaceWithPagesOrNamesEveryPlaceSearched) {
    // A working directory, a program in prefix/bin and its prefix/share/tessaro;
    // each row makes pages/ (or only help/) in some of them.
    struct Case {
        std::vector<std::string> made;   // folders made under the temporary root
        std::vector<std::string> files;  // files made there
        std::string root;                // expected, "" for none
    };
    const Case cases[] = {
        {{"work/pages", "prefix/bin/pages", "prefix/share/tessaro/pages"}, {}, "work"},
        {{"prefix/bin/pages", "prefix/share/tessaro/pages"}, {}, "prefix/bin"},
        {{"prefix/share/tessaro/pages", "prefix/share/tessaro/help"}, {}, "prefix/share/tessaro"},
        // help/ alone is not the page: the search goes on.
        {{"work/help", "prefix/share/tessaro/pages"}, {}, "prefix/share/tessaro"},
        // A file named pages is no folder to serve.
        {{}, {"work/pages", "prefix/bin/pages"}, ""},
        {{}, {}, ""},
    };
    for (const Case& c : cases) {
        TempDir temp;
        fs::create_directories(temp.path / "work");
        fs::create_directories(temp.path / "prefix/bin");
        for (const std::string& dir : c.made) {
            fs::create_directories(temp.path / dir);
        }
        for (const std::string& file : c.files) {
            std::ofstream(temp.path / file) << "not a folder\n";
        }
        const StaticDirs dirs =
            find_static_dirs(temp.path / "work", temp.path / "prefix/bin", "../share/tessaro");
        const std::string row = ::testing::PrintToString(c.made);
        EXPECT_EQ(dirs.root, c.root.empty() ? fs::path() : temp.path / c.root) << row;
        const std::vector<fs::path> searched = {temp.path / "work", temp.path / "prefix/bin",
                                                temp.path / "prefix/share/tessaro"};
        EXPECT_EQ(dirs.searched, searched) << row;
        // Without pages, a notice names every place on one line.
        const std::string notice = "[Tessaro] The web page is not installed: no pages folder in " +
                                   searched[0].string() + ", " + searched[1].string() + " or " +
                                   searched[2].string() + "; the API still works.";
        EXPECT_EQ(static_dirs_notice(dirs), c.root.empty() ? notice : "") << row;
    }
    // Without the program's folder only the working directory is looked at.
    const StaticDirs alone = find_static_dirs("/nonexistent/work", "", "../share/tessaro");
    EXPECT_EQ(static_dirs_notice(alone),
              "[Tessaro] The web page is not installed: no pages folder in /nonexistent/work; "
              "the API still works.");
}

}  // namespace
