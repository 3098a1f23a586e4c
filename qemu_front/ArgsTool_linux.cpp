// qemu_front_args: the front's argument handling as a host program, so that
// tests on Linux can give a real QEMU exactly the arguments that
// qemu_test.exe would give it on Windows.
//
//   qemu_front_args [--with-program] [--no-translate] [-0] [FILE]
//
// Reads one Windows command line (UTF-8) from FILE or standard input: by
// default the parameter text that follows the program path, with
// --with-program a whole command line whose program name is printed first.
// One line ending at the very end of the input is not part of it. Prints
// the arguments as the front would pass them on, one per line, or each
// ended by a NUL character with -0.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "FrontArgs.h"

namespace {

// Malformed bytes become U+FFFD; the characters that split arguments are ASCII, so
// the split does not depend on how well other text decodes.
std::wstring DecodeUtf8(const std::string& bytes) {
    std::wstring out;
    size_t i = 0;
    while (i < bytes.size()) {
        unsigned char lead = static_cast<unsigned char>(bytes[i]);
        size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3
                        : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > bytes.size()) {
            out += L'\uFFFD';
            ++i;
            continue;
        }
        unsigned long code = length == 1 ? lead : lead & (0x7F >> length);
        bool ok = true;
        for (size_t k = 1; k < length; ++k) {
            unsigned char next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) ok = false;
            code = (code << 6) | (next & 0x3F);
        }
        if (!ok) {
            out += L'\uFFFD';
            ++i;
            continue;
        }
        out += static_cast<wchar_t>(code);
        i += length;
    }
    return out;
}

std::string EncodeUtf8(const std::wstring& text) {
    std::string out;
    for (wchar_t wc : text) {
        unsigned long c = static_cast<unsigned long>(wc);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

int Usage() {
    std::fprintf(stderr, "usage: qemu_front_args [--with-program] [--no-translate] [-0] [FILE]\n");
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    bool withProgram = false;
    bool translate = true;
    char separator = '\n';
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--with-program") == 0) {
            withProgram = true;
        } else if (std::strcmp(argv[i], "--no-translate") == 0) {
            translate = false;
        } else if (std::strcmp(argv[i], "-0") == 0) {
            separator = '\0';
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            return Usage();
        } else if (!file) {
            file = argv[i];
        } else {
            return Usage();
        }
    }

    std::string bytes;
    if (file && std::strcmp(file, "-") != 0) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "qemu_front_args: cannot read %s\n", file);
            return 66;
        }
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else {
        bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    }
    if (!bytes.empty() && bytes.back() == '\n') {
        bytes.pop_back();
        if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
    }

    std::wstring text = DecodeUtf8(bytes);
    std::vector<std::wstring> args;
    std::vector<std::wstring> printed;
    if (withProgram) {
        args = SplitCommandLine(text);
        if (!args.empty()) {
            printed.push_back(args.front());
            args.erase(args.begin());
        }
    } else {
        args = SplitArguments(text);
    }
    if (translate) args = TranslateEmulatorArgs(args);
    printed.insert(printed.end(), args.begin(), args.end());

    std::string out;
    for (const std::wstring& arg : printed) {
        out += EncodeUtf8(arg);
        out += separator;
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 74;
}
