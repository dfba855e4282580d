// What every test shares: scratch directories, whole files, golden files,
// failure injection and the programs the build made.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "i18n_platform.h"

namespace test {

namespace fs = std::filesystem;

#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// Where scratch directories go: under Wine the host's /tmp where it is seen,
// so that their names, and the sizes that follow from them, are Linux's.
inline fs::path scratch_base() {
#ifdef _WIN32
    std::error_code none;
    if (fs::is_directory("/tmp", none)) return "/tmp";
#endif
    return fs::temp_directory_path();
}

// A fresh directory, removed with everything in it afterwards.
class TempDir {
  public:
    explicit TempDir(const fs::path &base = scratch_base()) {
        std::random_device random;
        constexpr char kLetters[] =
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        for (int tries = 0; tries < 100 && path_.empty(); ++tries) {
            std::string name = "kavrel-";
            for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
            std::error_code exists;
            if (fs::create_directory(base / name, exists)) path_ = base / name;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string str() const { return path_.string(); }
    // The name's bytes as they are (a path would read them in Windows' ANSI
    // code page and give them back as UTF-8).
    std::string operator/(const std::string &name) const { return str() + "/" + name; }
    std::u16string u16() const {
        const std::string s = str();
        return {s.begin(), s.end()};
    }

  private:
    fs::path path_;
};

inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<none>";
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// A text file as the standard library reads text: line ends as "\n".
inline std::string read_text(const std::string &path) {
    std::ifstream in(path);
    if (!in) return "<none>";
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

inline std::string write(const std::string &path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    return path;
}

// How many descriptors this process has open (0 where the system does not
// tell).
inline std::ptrdiff_t descriptors() {
#ifdef _WIN32
    return 0;
#else
    return std::distance(fs::directory_iterator("/proc/self/fd"), {});
#endif
}

// Sets an environment variable, or removes it (null value).
inline void set_env(const char *name, const char *value) {
#ifdef _WIN32
    _putenv_s(name, value != nullptr ? value : "");
#else
    value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
#endif
}

#ifdef _WIN32
// A word of a command line as Windows programs split theirs: quoted, with
// the backslashes before a quote doubled; and the start of a command line
// that runs in a directory.
inline std::string shell_word(const std::string &text) {
    std::string out = "\"";
    std::size_t slashes = 0;
    for (char c : text) {
        if (c == '"') out.append(slashes + 1, '\\');
        slashes = c == '\\' ? slashes + 1 : 0;
        out += c;
    }
    return out.append(slashes, '\\') + '"';
}
inline std::string shell_cd(const std::string &dir) {
    return "cd /d " + shell_word(dir) + " && ";
}

// Runs a command line through the shell: its exit status.
inline int shell(const std::string &command) {
    return std::system(command.c_str());
}
#else
// A word of a command line for the shell, and the start of one that runs
// in a directory.
inline std::string shell_word(const std::string &text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}
inline std::string shell_cd(const std::string &dir) {
    return "cd " + shell_word(dir) + " && ";
}

// Runs a command line through the shell: its exit status.
inline int shell(const std::string &command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

// text with every `from` replaced by `to`.
inline std::string replaced(std::string text, const std::string &from, const std::string &to) {
    for (std::size_t at = 0; !from.empty() && (at = text.find(from, at)) != std::string::npos;
         at += to.size()) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Addresses become @1, @2, ... in the order they first appear (so that the
// links between records still show; per line, where blocks are freed and
// made again, since allocators differ in reusing addresses), times, line
// numbers of assertions and the given directory become TIME, N and DIR.
inline std::string normalise(std::string text, const std::string &dir = "", bool per_line = false) {
    if (per_line) {
        std::string out, line;
        for (std::istringstream in(text); std::getline(in, line);)
            out += normalise(line + "\n", dir);
        return !text.empty() && text.back() != '\n' ? out.substr(0, out.size() - 1) : out;
    }
    text = replaced(replaced(text, KAVREL_SHARE_DIR, "SHARE"), dir, "DIR");
    static const std::regex time(
        R"((^|\t|: )-?\d+ - ([A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d [\d:]{8} \d{4}|\d+ days ago))",
        std::regex::multiline);
    text = std::regex_replace(text, time, "$1TIME");
    static const std::regex line_number("( at line | la ligne | in Zeile )\\d+");
    text = std::regex_replace(text, line_number, "$1N");
    // Windows prints 16 digits, or 8 on 32 bits (then after a blank or "(",
    // so that other numbers of 8 digits stay).
    static const std::regex address(
        std::string("(0x[0-9a-f]{9,}|0x(?!ffffffff)[0-9a-f]{8}|\\(nil\\)|\\b[0-9a-f]{16}\\b)") +
        (kWindows && sizeof(void *) == 4 ? "|(?:^|[\\s(])([0-9a-f]{8})\\b" : ""));
    std::map<std::string, int> seen;
    std::string out;
    auto at = text.cbegin();
    for (std::sregex_iterator m(text.begin(), text.end(), address), end; m != end; ++m) {
        const auto &found = (*m)[1].matched ? (*m)[1] : (*m)[2];
        out.append(at, found.first);
        const auto [it, added] = seen.emplace(found.str(), static_cast<int>(seen.size()) + 1);
        out += "@" + std::to_string(it->second);
        at = found.second;
    }
    return out.append(at, text.cend());
}

// Compares with tests/golden/<name>, or where this build's differs, with
// the file of its variant: tests/golden/32/ (a 32-bit build's record sizes),
// tests/golden/windows/ (separators, sizes, error texts), and before that
// tests/golden/windows32/ on 32-bit Windows. KAVREL_GOLDEN=write makes the
// file instead: a variant's only where it differs from the next in line.
inline void expect_golden(const std::string &name, const std::string &actual) {
    const bool narrow = sizeof(void *) == 4;
#ifdef _WIN32
    const std::vector<std::string> variants =
        narrow ? std::vector<std::string>{"windows32/", "windows/"}
               : std::vector<std::string>{"windows/"};
#else
    const std::vector<std::string> variants =
        narrow ? std::vector<std::string>{"32/"} : std::vector<std::string>{};
#endif
    const std::string dir = std::string(KAVREL_TEST_DIR) + "/golden/";
    const auto expected_file = [&](std::size_t from) {
        for (std::size_t i = from; i < variants.size(); ++i) {
            if (fs::exists(dir + variants[i] + name)) return dir + variants[i] + name;
        }
        return dir + name;
    };
    const char *mode = std::getenv("KAVREL_GOLDEN");
    if (mode != nullptr && std::string(mode) == "write") {
        const std::string own = dir + (variants.empty() ? "" : variants[0]) + name;
        const bool differs = variants.empty() || slurp(expected_file(1)) != actual;
        if (!differs) fs::remove(own);
        if (differs) fs::create_directories(fs::path(own).parent_path()), write(own, actual);
    }
    const std::string path = expected_file(0);
    EXPECT_EQ(actual, slurp(path)) << "golden file " << path;
}

// The next `after` operations of kind `op` succeed, then `count` fail with
// `error`; fail(op, 0, 0) ends it. Returns the operations made so far.
inline int64_t fail(i18n::Fault op, int64_t after, int64_t count, int error = EIO) {
    return kavrel_test_fault(static_cast<int>(op), after, count, error);
}

// Runs `body(k)` with the k-th allocation failing, k = 0, 1, ... until an
// allocation count is reached that the body no longer makes; returns that k.
template <class Body>
int sweep_allocations(Body body) {
    for (int k = 0; k < 10000; ++k) {
        const int64_t before = fail(i18n::Fault::alloc, k, 1, ENOMEM);
        body(k);
        if (fail(i18n::Fault::alloc, 0, 0) <= before + k) return k;
    }
    ADD_FAILURE() << "no allocation-failure sweep should take that long";
    return -1;
}

}  // namespace test
