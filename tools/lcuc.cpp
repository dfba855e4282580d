// lcuc: compiles a message source into a catalogue file.
//
//   lcuc SOURCE.txt OUTPUT.lcu
//
// Nothing is written when the source has an error; the error names the line.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "lcu_compile.h"

namespace {

int fail(const std::string &text) {
    std::cerr << "lcuc: " << text << '\n';
    return 1;
}

std::u16string widen_ascii(const std::string &s) {
    return {s.begin(), s.end()};
}

int compile(const std::filesystem::path &source, const std::filesystem::path &output) {
    std::ifstream in(source, std::ios::binary);
    if (!in) return fail(source.string() + ": cannot read");
    std::stringstream text;
    text << in.rdbuf();

    std::vector<lcu::Message> messages;
    std::string error;
    if (!lcu::parse_source(text.str(), messages, error)) return fail(source.string() + ":" + error);

    const std::string bytes = lcu::build_catalogue(messages, widen_ascii(output.stem().string()));
    const std::filesystem::path temp = output.string() + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !out.flush()) {
            std::error_code ignored;
            std::filesystem::remove(temp, ignored);
            return fail(output.string() + ": cannot write");
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, output, ec);
    if (ec) return fail(output.string() + ": " + ec.message());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::cerr << "usage: lcuc SOURCE.txt OUTPUT.lcu\n";
        return 2;
    }
    try {
        return compile(argv[1], argv[2]);
    } catch (const std::exception &e) {
        return fail(e.what());
    }
}
