// The console driver kelpi_install run as a separate process: its exit
// status, its standard streams and the two logs it leaves in the directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "kavrel.h"
#include "temp_dir.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;

constexpr char kDone[] = "The Kavrel install test program completed successfully\n";
constexpr char kNoCatalogue[] = "Warning (1): Failed to open the localised message file '";

std::string env(const char *name) {
    const char *value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::string banner() {
    return std::string("kelpi_install/") + kavrel_version() + "\n";
}

std::string slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Outcome {
    int status = -1;  // the exit status as the shell sees it (-1 reads 255)
    std::string out;
    std::string err;
};

// Runs the driver with `args` in the working directory `cwd`, standard
// output and standard error going to files of a directory of its own.
Outcome run_driver(std::vector<std::string> args, const fs::path &cwd) {
    const TempDir capture;
    const std::string out = (capture.path() / "out").string();
    const std::string err = (capture.path() / "err").string();
    args.insert(args.begin(), env("KELPI_INSTALL"));
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    Outcome run;
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": error " << spawned;
        return run;
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    run.out = slurp(out);
    run.err = slurp(err);
    return run;
}

// Copies the built English catalogue to <dir>/en_US/kavrel.lcu.
void install_catalogue(const fs::path &dir) {
    fs::create_directories(dir / "en_US");
    fs::copy_file(fs::path(env("KAVREL_SHARE")) / "msgs" / "en_US" / "kavrel.lcu",
                  dir / "en_US" / "kavrel.lcu");
}

// A path of exactly `chars` characters: `base` (ASCII) and components of
// at most `per_component` copies of `unit` (one character), never ending
// in a separator.
std::string deep_path(std::string path, std::size_t chars, const std::string &unit,
                      std::size_t per_component) {
    std::size_t n = path.size();
    while (n < chars) {
        if (chars - n >= 2) {
            path += '/';
            ++n;
        }
        for (std::size_t i = 0; i < per_component && n < chars; ++i, ++n) path += unit;
    }
    return path;
}

class DriverTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(env("KELPI_INSTALL").empty()) << "KELPI_INSTALL is not set";
        ASSERT_FALSE(env("KAVREL_SHARE").empty()) << "KAVREL_SHARE is not set";
    }
    TempDir base_;
};

TEST_F(DriverTest, NoArgumentPrintsUsageAndCreatesNothing) {
    const Outcome run = run_driver({}, base_.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("kelpi_install"), std::string::npos) << run.err;
    EXPECT_TRUE(fs::is_empty(base_.path()));
}

// Arguments up to 511 characters whose UTF-8 form fits in 1,023 bytes are
// taken; longer ones get the usage text, even when the directory exists.
TEST_F(DriverTest, DirectoryLengthLimits) {
    const struct {
        const char *name;
        std::size_t chars;
        std::string unit;
        std::size_t per_component;
        bool accepted;
    } cases[] = {
        {"511 ASCII characters", 511, "d", 200, true},
        {"511 characters in 2-byte UTF-8", 511, "\xC3\xA9", 100, true},
        {"512 ASCII characters", 512, "d", 200, false},
        {"400 characters in 1,200 bytes of UTF-8", 400, "\xE6\x97\xA5", 80, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir root;
        const std::string dir = deep_path(root.str(), c.chars, c.unit, c.per_component);
        ASSERT_TRUE(fs::create_directories(dir));
        const Outcome run = run_driver({dir}, root.path());
        if (c.accepted) {
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.out, banner());
            EXPECT_EQ(slurp(dir + "/qx_tavro.log"), banner() + kDone);
        } else {
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.out, "");
            EXPECT_NE(run.err.find("kelpi_install"), std::string::npos) << run.err;
            EXPECT_TRUE(fs::is_empty(dir));
        }
    }
}

// A writable directory: banner, both logs, the trace of creation and
// release, and the catalogue warning exactly when en_US/kavrel.lcu is absent.
TEST_F(DriverTest, WritableDirectory) {
    const std::string other = (base_.path() / "other").string();
    const struct {
        const char *name;
        std::string subdir;  // created below the base directory
        std::string suffix;  // appended to it for the argument
        std::vector<std::string> extra;
        bool catalogue;
    } cases[] = {
        {"empty directory", "fresh", "", {}, false},
        {"catalogue installed", "fresh", "", {}, true},
        {"extra arguments", "fresh", "", {other, "--ignored"}, true},
        {"trailing slash", "fresh", "/", {}, true},
        {"trailing backslash", "fresh", "\\", {}, true},
        {"non-ASCII name", "r\xC3\xA9pertoire-\xE6\x97\xA5\xE6\x9C\xAC", "", {}, true},
        {"name that is not UTF-8", "bad\xFFname", "", {}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir root;
        const std::string arg = root.str() + "/" + c.subdir + c.suffix;
        fs::create_directories(root.path() / c.subdir);
        // The logs and the catalogue are named from the argument as given,
        // so "fresh\" is a directory of its own here.
        fs::create_directories(arg);
        fs::create_directories(other);
        if (c.catalogue) install_catalogue(arg);
        std::vector<std::string> args{arg};
        args.insert(args.end(), c.extra.begin(), c.extra.end());

        const Outcome run = run_driver(args, root.path());
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, banner());
        EXPECT_EQ(run.err, kDone);
        EXPECT_EQ(slurp(arg + "/qx_tavro.log"), banner() + kDone);

        const std::string log = slurp(arg + "/kelpi_install.log");
        // Trace lines come without a prefix and get a line end added: the
        // version has none of its own, the others are followed by an empty line.
        EXPECT_EQ(log.rfind(banner() + kavrel_version() + "\n", 0), 0u) << log;
        for (const std::string &line :
             {std::string("kavrel_init called by qx125 instance qx125\n\n"),
              "kavrel_init using locale US-eng with msgs at " + arg + "\n\n",
              std::string("kavrel_init: locale set to en_US\n\n"),
              std::string("kavrel_free destroying locks\n\n")}) {
            EXPECT_NE(log.find(line), std::string::npos) << line;
        }
        EXPECT_NE(log.find("kavrel_free free CTX at "), std::string::npos);
        const std::string warning = std::string("\n") + kNoCatalogue + arg + "/en_us/kavrel.lcu' (";
        if (c.catalogue) {
            EXPECT_EQ(log.find("Warning ("), std::string::npos) << log;
        } else {
            EXPECT_NE(log.find(warning), std::string::npos) << log;
        }
        // The library drops the trailing separator from its own copy of
        // the directory, where it creates the properties file.
        EXPECT_TRUE(fs::exists(root.path() / c.subdir / "qx125_tavro.properties"));
        if (c.suffix == "\\") {
            EXPECT_FALSE(fs::exists(arg + "/qx125_tavro.properties"));
        }
        EXPECT_TRUE(fs::is_empty(other));
    }
}

// Without a message log, library messages reach standard error with the
// handler's prefixes; the properties file cannot be created in a missing
// directory, so the run ends with -1 and without the completion message.
TEST_F(DriverTest, MissingDirectoryFallsBackToStandardError) {
    const std::string dir = (base_.path() / "absent").string();
    const Outcome run = run_driver({dir}, base_.path());
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.out, banner());
    const std::string notice = "Failed to open file '" + dir +
                               "/kelpi_install.log'.Kavrel messages will be output to stderr.\n";
    EXPECT_EQ(run.err.rfind(notice, 0), 0u) << run.err;
    for (const std::string &line :
         {"\n" + std::string(kNoCatalogue) + dir + "/en_us/kavrel.lcu' (",
          std::string("\nkavrel_init called by qx125 instance qx125\n\n"),
          "\nError (131244): Failed to open " + dir + "/qx125_tavro.properties file: errno="}) {
        EXPECT_NE(run.err.find(line), std::string::npos) << line << "\n" << run.err;
    }
    EXPECT_EQ(run.err.find(kDone), std::string::npos);
    EXPECT_FALSE(fs::exists(dir));
}

// A failed kavrel_init: its messages are in the message log, the result log
// gets the failure line with the status, and the exit status is -1.
TEST_F(DriverTest, FailedInitialisation) {
    fs::create_directory(base_.path() / "qx125_tavro.properties");
    const Outcome run = run_driver({base_.str()}, base_.path());
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.out, banner());
    EXPECT_EQ(run.err.find(kDone), std::string::npos);
    EXPECT_FALSE(run.err.empty());
    EXPECT_EQ(slurp(base_.path() / "qx_tavro.log"), banner() + "kavrel_init() failed. return:" +
                                                        std::to_string(KAVREL_E_NOT_A_FILE) + "\n");
    const std::string log = slurp(base_.path() / "kelpi_install.log");
    EXPECT_NE(log.find("\nError (131245): " + base_.str() + "/qx125_tavro.properties "),
              std::string::npos)
        << log;
}

// One log that cannot be created does not stop the run: the message log
// falls back to standard error, a missing result log is skipped.
TEST_F(DriverTest, LogThatCannotBeCreated) {
    {
        SCOPED_TRACE("message log");
        const TempDir root;
        fs::create_directory(root.path() / "kelpi_install.log");
        const Outcome run = run_driver({root.str()}, root.path());
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, banner());
        EXPECT_EQ(slurp(root.path() / "qx_tavro.log"), banner() + kDone);
        const std::string notice =
            "Failed to open file '" + root.str() +
            "/kelpi_install.log'.Kavrel messages will be output to stderr.\n";
        EXPECT_EQ(run.err.rfind(notice + kavrel_version() + "\n", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("\n" + std::string(kNoCatalogue)), std::string::npos);
        EXPECT_NE(run.err.find("kavrel_free free CTX at "), std::string::npos);
        ASSERT_GE(run.err.size(), sizeof kDone - 1);
        EXPECT_EQ(run.err.substr(run.err.size() - (sizeof kDone - 1)), kDone);
    }
    {
        SCOPED_TRACE("result log");
        const TempDir root;
        fs::create_directory(root.path() / "qx_tavro.log");
        const Outcome run = run_driver({root.str()}, root.path());
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, banner());
        EXPECT_EQ(run.err, kDone);
        const std::string log = slurp(root.path() / "kelpi_install.log");
        EXPECT_EQ(log.rfind(banner(), 0), 0u);
        EXPECT_NE(log.find("kavrel_free free CTX at "), std::string::npos);
        EXPECT_TRUE(fs::is_empty(root.path() / "qx_tavro.log"));
    }
}

}  // namespace
