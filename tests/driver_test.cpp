// kelpi_install run as a second process: its exit status, its standard
// streams, both logs and the properties file it leaves, against golden
// files; and the limits of its argument.
#include "kavrel_fixture.h"

using namespace test;

namespace {

// Runs the driver with `args` from `cwd`: "status|stdout|stderr".
std::string run_driver(const std::vector<std::string> &args, const TempDir &cwd) {
    std::string command = shell_cd(cwd.str()) + shell_word(KAVREL_KELPI_INSTALL);
    for (const std::string &arg : args) command += " " + shell_word(arg);
    const int status =
        shell(command + " >" + shell_word(cwd / "out") + " 2>" + shell_word(cwd / "err"));
    return std::to_string(status) + "|" + read_text(cwd / "out") + "|" + read_text(cwd / "err");
}

struct DriverCase {
    const char *name, *dir, *props;
    bool catalogue;
};

class Driver : public ::testing::TestWithParam<DriverCase> {};

// A directory with or without the catalogue, missing, with a trailing
// backslash, not UTF-8; a properties file that sends mail to a port where
// nothing listens, has wrong settings, or is a directory.
const DriverCase kRuns[] = {
    {"catalogue", "d", nullptr, true},
    {"no_catalogue", "d", nullptr, false},
    {"missing_directory", "none/d", nullptr, false},
    {"trailing_backslash", "d\\", nullptr, true},
    {"not_utf8", "d\xFF", nullptr, false},
    {"refused_mail", "d",
     "# c\nemail.smtp.host=127.0.0.1\nemail.smtp.port=9\nemail.sender=a@b\n"
     "email.recipients=x@y,z@w\nemail.helo.fqdn=me\nbadline\nk=v\n",
     false},
    {"bad_settings", "d", "email.smtp.port=abc\nemail.severity=warning\n", false},
    {"properties_directory", "d", "", false},
};

TEST_P(Driver, Runs) {
    const DriverCase &c = GetParam();
    const TempDir root;
    const std::string dir = root / c.dir, library_dir = c.dir[1] == '\\' ? root / "d" : dir;
    if (c.dir[0] == 'd') fs::create_directories(dir), fs::create_directories(library_dir);
    if (c.catalogue) fs::create_directories(dir + "/en_US");
    if (c.catalogue)
        fs::copy_file(std::string(KAVREL_SHARE_DIR) + "/msgs/en_US/kavrel.lcu",
                      dir + "/en_US/kavrel.lcu");
    if (c.props != nullptr && *c.props == '\0')
        fs::create_directory(library_dir + "/qx125_tavro.properties");
    if (c.props != nullptr && *c.props != '\0')
        write(library_dir + "/qx125_tavro.properties", c.props);
    std::string text = run_driver({dir, "ignored"}, root);
    text += "\n-- message log\n" + read_text(dir + "/kelpi_install.log") + "-- result log\n" +
            read_text(dir + "/qx_tavro.log") + "-- properties\n" +
            read_text(library_dir + "/qx125_tavro.properties");
    expect_golden(std::string("driver_") + c.name + ".txt", normalise(text, root.str(), true));
}

INSTANTIATE_TEST_SUITE_P(Cases, Driver, ::testing::ValuesIn(kRuns),
                         [](const auto &tested) { return std::string(tested.param.name); });

// At most 511 characters whose UTF-8 form fits in 1,023 bytes; without an
// argument, or with a longer one, the usage text and nothing created.
TEST(DriverArgument, Limits) {
    const TempDir root;
    for (const auto &args : {std::vector<std::string>{}, {""}}) {
        EXPECT_TRUE(run_driver(args, root).starts_with("1||usage: kelpi_install DIRECTORY\n"));
    }
    const struct {
        std::size_t chars;
        std::string unit;
        int status;
    } cases[] = {{511, "d", 0}, {511, "\xC3\xA9", 0}, {512, "d", 1}, {400, "\xE6\x97\xA5", 1}};
    for (const auto &c : cases) {
        std::string path = root.str();
        for (std::size_t n = path.size(), i = 0; n < c.chars; ++n, ++i) {
            path += n + 1 < c.chars && i % 60 == 59 ? "/" : c.unit;
        }
        fs::create_directories(path);
        EXPECT_EQ(run_driver({path}, root)[0] - '0', c.status) << c.chars;
        EXPECT_EQ(fs::exists(path + "/qx_tavro.log"), c.status == 0);
    }
}

}  // namespace
