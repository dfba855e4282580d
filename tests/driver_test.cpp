// The console driver kelpi_install run as a separate process: its exit
// status, its standard streams and the two logs it leaves in the directory.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "kavrel.h"
#include "kavrel_capture.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using kavrel_test::slurp;
using namespace std::string_literals;

constexpr char kDone[] = "The Kavrel install test program completed successfully\n";
constexpr char kNoCatalogue[] = "Warning (1): Failed to open the localised message file '";

std::string env(const char *name) {
    const char *value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::string banner() {
    return std::string("kelpi_install/") + kavrel_version() + "\n";
}

std::string quoted(const std::string &text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

struct Outcome {
    int status;  // the exit status as the shell sees it (-1 reads 255)
    std::string out, err;
};

// Runs the driver with `args` in the working directory `cwd`, standard
// output and standard error going to files of a directory of its own.
Outcome run_driver(const std::vector<std::string> &args, const fs::path &cwd) {
    const TempDir capture;
    std::string command = "cd " + quoted(cwd.string()) + " && " + quoted(env("KELPI_INSTALL"));
    for (const std::string &arg : args) command += " " + quoted(arg);
    command += " >" + quoted(capture.str() + "/out") + " 2>" + quoted(capture.str() + "/err");
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(capture.str() + "/out"),
            slurp(capture.str() + "/err")};
}

// A path of exactly `chars` characters: `base` (ASCII) and components of
// at most `per_component` copies of `unit` (one character), never ending
// in a separator.
std::string deep_path(std::string path, std::size_t chars, const std::string &unit,
                      std::size_t per_component) {
    for (std::size_t n = path.size(); n < chars;) {
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
        ASSERT_FALSE(env("KELPI_INSTALL").empty() || env("KAVREL_SHARE").empty())
            << "KELPI_INSTALL and KAVREL_SHARE must be set";
    }
    TempDir base_;
};

// Arguments up to 511 characters whose UTF-8 form fits in 1,023 bytes are
// taken; no argument or a longer one gets the usage text and nothing is
// created, even when the directory exists.
TEST_F(DriverTest, ArgumentLengthLimits) {
    const struct {
        const char *name;
        std::size_t chars;  // 0: no argument
        std::string unit;
        std::size_t per_component;
        bool accepted;
    } cases[] = {
        {"no argument", 0, "", 0, false},
        {"511 ASCII characters", 511, "d", 200, true},
        {"511 characters in 2-byte UTF-8", 511, "\xC3\xA9", 100, true},
        {"512 ASCII characters", 512, "d", 200, false},
        {"400 characters in 1,200 bytes of UTF-8", 400, "\xE6\x97\xA5", 80, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir root;
        const std::string dir = deep_path(root.str(), c.chars, c.unit, c.per_component);
        ASSERT_TRUE(c.chars == 0 || fs::create_directories(dir));
        const Outcome run =
            run_driver(c.chars > 0 ? std::vector{dir} : std::vector<std::string>{}, root.path());
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
        {"catalogue installed, extra arguments", "fresh", "", {other, "--ignored"}, true},
        {"trailing slash", "fresh", "/", {}, true},
        {"trailing backslash", "fresh", "\\", {}, true},
        {"non-ASCII name", "r\xC3\xA9pertoire-\xE6\x97\xA5\xE6\x9C\xAC", "", {}, true},
        {"name that is not UTF-8", "bad\xFFname", "", {}, false},
    };
    fs::create_directories(other);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir root;
        const std::string arg = root.str() + "/" + c.subdir + c.suffix;
        // The logs and the catalogue are named from the argument as given,
        // so "fresh\" is a directory of its own here.
        fs::create_directories(root.path() / c.subdir);
        fs::create_directories(arg);
        if (c.catalogue) {
            fs::create_directories(arg + "/en_US");
            fs::copy_file(env("KAVREL_SHARE") + "/msgs/en_US/kavrel.lcu",
                          arg + "/en_US/kavrel.lcu");
        }
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
        EXPECT_TRUE(log.starts_with(banner() + kavrel_version() + "\n")) << log;
        for (const std::string &line :
             {"kavrel_init called by qx125 instance qx125\n\n"s,
              "kavrel_init using locale US-eng with msgs at " + arg + "\n\n",
              "kavrel_free destroying locks\n\n"s}) {
            EXPECT_NE(log.find(line), std::string::npos) << line;
        }
        const std::string warning = std::string("\n") + kNoCatalogue + arg + "/en_us/kavrel.lcu' (";
        EXPECT_EQ(log.find(c.catalogue ? "Warning (" : warning) != std::string::npos, !c.catalogue)
            << log;
        // The library drops the trailing separator from its own copy of
        // the directory, where it creates the properties file.
        EXPECT_TRUE(fs::exists(root.path() / c.subdir / "qx125_tavro.properties"));
        EXPECT_EQ(fs::exists(arg + "/qx125_tavro.properties"), c.suffix != "\\");
        EXPECT_TRUE(fs::is_empty(other));
    }
}

std::string no_log_notice(const std::string &dir) {
    return "Failed to open file '" + dir +
           "/kelpi_install.log'.Kavrel messages will be output to stderr.\n";
}

// Without a message log, library messages reach standard error with the
// handler's prefixes; the properties file cannot be created in a missing
// directory, so the run ends with -1 and without the completion message.
TEST_F(DriverTest, MissingDirectoryFallsBackToStandardError) {
    const std::string dir = base_.str() + "/absent";
    const Outcome run = run_driver({dir}, base_.path());
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.out, banner());
    EXPECT_TRUE(run.err.starts_with(no_log_notice(dir))) << run.err;
    for (const std::string &line :
         {"\n" + std::string(kNoCatalogue) + dir + "/en_us/kavrel.lcu' (",
          "\nkavrel_init called by qx125 instance qx125\n\n"s,
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
    EXPECT_EQ(run.err, "kelpi_install: the system could not be configured; exiting.\n");
    EXPECT_EQ(slurp(base_.str() + "/qx_tavro.log"), banner() + "kavrel_init() failed. return:" +
                                                        std::to_string(KAVREL_E_NOT_A_FILE) + "\n");
    EXPECT_NE(slurp(base_.str() + "/kelpi_install.log")
                  .find("\nError (131245): " + base_.str() + "/qx125_tavro.properties "),
              std::string::npos);
}

// One log that cannot be created does not stop the run: the message log
// falls back to standard error, a missing result log is skipped.
TEST_F(DriverTest, LogThatCannotBeCreated) {
    for (const bool message_log : {true, false}) {
        SCOPED_TRACE(message_log ? "message log" : "result log");
        const TempDir root;
        fs::create_directory(root.str() + (message_log ? "/kelpi_install.log" : "/qx_tavro.log"));
        const Outcome run = run_driver({root.str()}, root.path());
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, banner());
        const std::string messages =
            message_log ? run.err : slurp(root.str() + "/kelpi_install.log");
        const std::string first =
            message_log ? no_log_notice(root.str()) + kavrel_version() + "\n" : banner();
        EXPECT_TRUE(messages.starts_with(first)) << messages;
        EXPECT_NE(messages.find("kavrel_free free CTX at "), std::string::npos) << messages;
        EXPECT_TRUE(run.err.ends_with(kDone));
        EXPECT_EQ(run.err == kDone, !message_log);
        EXPECT_EQ(slurp(root.str() + "/qx_tavro.log"), message_log ? banner() + kDone : "");
    }
}

}  // namespace
