// kestrane-birdwriter: writes a BIRD file from a description (BirdWriter.h
// documents the format).
//
//   kestrane-birdwriter [-o OUTPUT] [--stream] [DESCRIPTION] [-e DIRECTIVE]...
//
// DESCRIPTION is a file of directives ("-" reads standard input); each -e
// adds one directive after it. Without -o the file goes to standard output.
// --stream writes the inflated block stream instead of the file.
#include "BirdWriter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <fstream>
#include <sstream>
#include <string>

namespace {

void usage(FILE* out) {
    fprintf(out,
            "usage: kestrane-birdwriter [-o OUTPUT] [--stream] [DESCRIPTION] [-e DIRECTIVE]...\n"
            "  DESCRIPTION  file of directives, - for standard input\n"
            "  -e DIRECTIVE one more directive, for example -e 'firmware address=0 fill=code "
            "size=64K'\n"
            "  -o OUTPUT    output file (default: standard output)\n"
            "  --stream     write the inflated block stream instead of the file\n");
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

} // namespace

int main(int argc, char** argv) {
    std::string output;
    std::string text;
    std::string base = ".";
    bool stream = false;
    bool haveDescription = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 0;
        }
        if (arg == "--stream") {
            stream = true;
        } else if ((arg == "-o" || arg == "-e") && i + 1 < argc) {
            if (arg == "-o") {
                output = argv[++i];
            } else {
                text += std::string(argv[++i]) + "\n";
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            usage(stderr);
            return 2;
        } else if (!haveDescription) {
            haveDescription = true;
            std::stringstream content;
            if (arg == "-") {
                content << std::cin.rdbuf();
            } else {
                std::ifstream in(arg, std::ios::binary);
                if (!in) {
                    fprintf(stderr, "kestrane-birdwriter: cannot read %s: %s\n", arg.c_str(),
                            strerror(errno));
                    return 1;
                }
                content << in.rdbuf();
                base = directoryOf(arg);
            }
            text = content.str() + "\n" + text;
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (text.empty()) {
        usage(stderr);
        return 2;
    }
    try {
        qbsim::bird::Description description = qbsim::bird::Parse(text, base);
        std::vector<uint8_t> bytes =
            stream ? qbsim::bird::BuildStream(description) : qbsim::bird::BuildFile(description);
        if (output.empty()) {
            if ((!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) ||
                fflush(stdout) != 0) {
                fprintf(stderr, "kestrane-birdwriter: write failed\n");
                return 1;
            }
        } else {
            qbsim::bird::WriteBytes(output, bytes);
        }
    } catch (const qbsim::bird::WriterError& e) {
        fprintf(stderr, "kestrane-birdwriter: %s\n", e.what());
        return 1;
    }
    return 0;
}
