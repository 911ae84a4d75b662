#include "app/options.h"

#include <charconv>

#include "base/console_output.h"
#include "build_commit.h"

Options parse_options(const std::vector<std::string>& args) {
    Options options;
    bool help = false;
    bool version = false;
    bool list = false;
    bool options_end = false;
    const auto fail = [&options](const std::string& what) {
        if (options.error.empty()) {
            options.error = "tessaro: " + what + " (tessaro --help shows the usage)";
        }
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!options_end && arg == "--") {
            options_end = true;
        } else if (!options_end && (arg == "-h" || arg == "--help")) {
            help = true;
        } else if (!options_end && arg == "--version") {
            version = true;
        } else if (!options_end && arg == "--list") {
            list = true;
        } else if (!options_end && arg == "--interval-reads") {
            options.interval_reads = true;
        } else if (!options_end && arg == "--json") {
            options.json = true;
        } else if (!options_end && arg == "--quiet") {
            options.quiet = true;
        } else if (!options_end && arg == "--bail") {
            options.bail = true;
        } else if (!options_end && arg == "-c") {
            if (i + 1 == args.size()) {
                fail("-c needs the words to run");
            } else {
                options.words = args[++i];
            }
        } else if (!options_end && arg == "--trace") {
            if (i + 1 == args.size() || args[i + 1].empty()) {
                fail("--trace needs a file (- for standard error)");
            } else {
                options.trace = args[++i];
            }
        } else if (!options_end && arg == "--http-port") {
            const std::string number = i + 1 < args.size() ? args[++i] : "";
            int port = 0;
            const auto [end, error] =
                std::from_chars(number.data(), number.data() + number.size(), port);
            if (number.empty() || error != std::errc() || end != number.data() + number.size() ||
                port < 1 || port > 65535) {
                fail("--http-port needs a port number from 1 to 65535");
            } else {
                options.http_port = port;
            }
        } else if (!options_end && arg.size() > 1 && arg.front() == '-') {
            fail("unknown option '" + arg + "'");
        } else if (!options.port.empty()) {
            fail("one port only, not both '" + options.port + "' and '" + arg + "'");
        } else if (arg.empty()) {
            fail("an empty port name");
        } else {
            options.port = arg;
        }
    }
    if (!options.error.empty()) {
        options.action = Options::Action::kError;
    } else if (help) {
        options.action = Options::Action::kHelp;
    } else if (version) {
        options.action = Options::Action::kVersion;
    } else if (list) {
        options.action = Options::Action::kList;
    }
    return options;
}

std::string usage_text() {
    return "Usage: tessaro [options] [PORT]\n"
           "A console for boards that run the Quirn firmware: type short words, read the\n"
           "board's replies in plain words.\n"
           "\n"
           "  PORT              connect to this serial port at start, as \"co PORT\" does:\n"
           "                    a name under /dev, in any letter case (ttyACM0, pts/3),\n"
           "                    or a path (/dev/ttyUSB0)\n"
           "  --interval-reads  end every reply by the 5 ms pause after its last byte,\n"
           "                    even when its length is known\n"
           "  -c WORDS          run these words (as on a console line) after connecting\n"
           "                    to PORT, then end, as a script does\n"
           "  --json            print one JSON object per word on standard output and\n"
           "                    nothing else (diagnostics go to standard error)\n"
           "  --quiet           print the words' reports only: no banner, port list,\n"
           "                    thread lines or prompts\n"
           "  --bail            stop at the first word that fails (status 1)\n"
           "  --trace FILE      write every request to the board and every reply, with\n"
           "                    its time and source, to FILE (- for standard error)\n"
           "  --list            list the serial ports and end (--json: as a JSON array)\n"
           "  --http-port N     serve the web front end on http://localhost:N instead of\n"
           "                    8088 (a second board's tessaro needs its own port)\n"
           "  -h, --help        show this text\n"
           "  --version         show the version and build stamp\n"
           "\n"
           "Words are read from standard input until \"quit\" or its end, so a script can\n"
           "pipe them in: printf 'sta\\ng2rd\\n' | tessaro ttyACM0. When standard input is\n"
           "not a terminal, or with -c, the program ends with status 0 when every word\n"
           "worked and 1 when one failed (a board that did not answer, a bad reply, an\n"
           "unknown word, a PORT that cannot be opened).\n"
           "Inside the program, type h or ? for the commands.\n";
}

std::string version_text() {
    std::string text = std::string("tessaro ") + kVersion + " (";
    if (*kBuildCommit != '\0') {
        text += std::string("git ") + kBuildCommit + ", ";
    }
    return text + "built " + kBuildDate + " at " + kBuildTime + ")\n";
}
