// The text form of a Description (see BirdWriter.h).
#include "BirdWriter.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

namespace qbsim::bird {

namespace {

struct Line {
    std::string directive;
    std::vector<std::string> words;            // positional arguments
    std::map<std::string, std::string> values; // key=value arguments
};

// Splits a line into words; double quotes keep spaces; "#" at the start
// of a word outside quotes begins a comment.
std::vector<std::string> tokenize(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (char c : line) {
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else {
                word += c;
            }
            continue;
        }
        if (c == '"') {
            quoted = true;
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (inWord) {
                words.push_back(word);
                word.clear();
                inWord = false;
            }
        } else if (c == '#' && !inWord) {
            break;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quoted) {
        throw WriterError("unterminated quote");
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

uint64_t number(const std::string& text, const char* what) {
    if (text.empty()) {
        throw WriterError(std::string("empty number for ") + what);
    }
    const char* start = text.c_str();
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start += 2;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long value = strtoull(start, &end, base);
    uint64_t scale = 1;
    if (base == 10 && end != nullptr && (*end == 'K' || *end == 'k')) {
        scale = 1024;
        ++end;
    } else if (base == 10 && end != nullptr && (*end == 'M' || *end == 'm')) {
        scale = 1024 * 1024;
        ++end;
    }
    if (errno != 0 || end == start || *end != '\0' || text[0] == '-') {
        throw WriterError(std::string("bad number '") + text + "' for " + what);
    }
    return value * scale;
}

uint32_t number32(const std::string& text, const char* what) {
    uint64_t value = number(text, what);
    if (value > UINT32_MAX) {
        throw WriterError(std::string("number '") + text + "' too large for " + what);
    }
    return static_cast<uint32_t>(value);
}

std::vector<uint8_t> hexBytes(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c != ':' && c != '-' && c != '_') {
            digits += c;
        }
    }
    if (digits.size() % 2 != 0) {
        throw WriterError("odd number of hex digits");
    }
    std::vector<uint8_t> out;
    for (size_t i = 0; i < digits.size(); i += 2) {
        char pair[3] = {digits[i], digits[i + 1], '\0'};
        char* end = nullptr;
        unsigned long value = strtoul(pair, &end, 16);
        if (*end != '\0' || !isxdigit(static_cast<unsigned char>(pair[0]))) {
            throw WriterError(std::string("bad hex digits '") + pair + "'");
        }
        out.push_back(static_cast<uint8_t>(value));
    }
    return out;
}

std::vector<uint8_t> readFile(const std::string& path) {
    FILE* in = fopen(path.c_str(), "rb");
    if (in == nullptr) {
        throw WriterError("cannot read " + path + ": " + strerror(errno));
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t n = 0;
    while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    bool failed = ferror(in) != 0;
    fclose(in);
    if (failed) {
        throw WriterError("cannot read " + path);
    }
    return bytes;
}

class Parser {
public:
    Parser(Description& out, std::string base) : d(out), baseDirectory(std::move(base)) {}

    void line(const Line& l) {
        allowed = {};
        if (l.directive == "signature") {
            d.signature = single(l, "signature");
        } else if (l.directive == "version") {
            uint32_t v = number32(single(l, "version"), "version");
            if (v > 0xFFFF) {
                throw WriterError("version takes 16 bits");
            }
            d.version = static_cast<uint16_t>(v);
        } else if (l.directive == "info") {
            infoBlock(l);
        } else if (l.directive == "loader" || l.directive == "firmware") {
            addressed(l, l.directive == "loader" ? TYPE_LOADER : TYPE_FIRMWARE);
        } else if (l.directive == "serial-offsets") {
            allow({"serial", "descriptor"});
            Block b = common(l);
            b.type = TYPE_SERIAL_OFFSETS;
            b.bytes.clear();
            append32(b.bytes, number32(get(l, "serial", "0"), "serial"));
            append32(b.bytes, number32(get(l, "descriptor", "0"), "descriptor"));
            d.blocks.push_back(b);
        } else if (l.directive == "start-address") {
            allow({"address"});
            Block b = common(l);
            b.type = TYPE_START_ADDRESS;
            std::string value = l.words.empty() ? get(l, "address", "") : l.words[0];
            b.bytes.clear();
            append32(b.bytes, number32(value, "start-address"));
            d.blocks.push_back(b);
        } else if (l.directive == "block") {
            allow({"type", "address"});
            Block b = common(l);
            uint32_t type = number32(get(l, "type", ""), "type");
            if (type > 31) {
                throw WriterError("type must be 0..31");
            }
            b.type = static_cast<uint8_t>(type);
            if (l.values.count("address")) {
                b.address = number32(l.values.at("address"), "address");
            }
            d.blocks.push_back(b);
        } else if (l.directive == "key") {
            if (l.words.size() != 4) {
                throw WriterError("key takes four 32-bit words");
            }
            Key key;
            for (size_t i = 0; i < 4; ++i) {
                key[i] = number32(l.words[i], "key");
            }
            d.key = key;
        } else if (l.directive == "count") {
            d.declaredCount = number32(single(l, "count"), "count");
        } else if (l.directive == "checksum") {
            d.checksum = number32(single(l, "checksum"), "checksum");
        } else if (l.directive == "no-checksum") {
            none(l);
            d.omitChecksum = true;
        } else if (l.directive == "trailing") {
            allow({});
            d.trailing = source(l);
        } else if (l.directive == "cut-stream") {
            d.streamCut = number(single(l, "cut-stream"), "cut-stream");
        } else if (l.directive == "uncompressed") {
            none(l);
            d.uncompressed = true;
        } else if (l.directive == "corrupt") {
            if (l.words.size() != 1) {
                throw WriterError("corrupt takes an offset and optionally xor=N");
            }
            allow({"xor"});
            checkKeys(l);
            uint32_t mask = number32(get(l, "xor", "0xFF"), "xor");
            if (mask == 0 || mask > 0xFF) {
                throw WriterError("xor takes a non-zero byte");
            }
            d.corruptions.emplace_back(number(l.words[0], "corrupt"), static_cast<uint8_t>(mask));
        } else if (l.directive == "cut-file") {
            d.fileCut = number(single(l, "cut-file"), "cut-file");
        } else {
            throw WriterError("unknown directive '" + l.directive + "'");
        }
    }

private:
    static void append32(std::vector<uint8_t>& out, uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            out.push_back(static_cast<uint8_t>(value >> shift));
        }
    }

    std::string single(const Line& l, const char* what) {
        if (l.words.size() != 1 || !l.values.empty()) {
            throw WriterError(std::string(what) + " takes one value");
        }
        return l.words[0];
    }

    void none(const Line& l) {
        if (!l.words.empty() || !l.values.empty()) {
            throw WriterError(l.directive + " takes no arguments");
        }
    }

    static std::string get(const Line& l, const std::string& key, const std::string& def) {
        auto it = l.values.find(key);
        return it == l.values.end() ? def : it->second;
    }

    void allow(std::initializer_list<const char*> keys) {
        for (const char* k : keys) {
            allowed.push_back(k);
        }
    }

    void checkKeys(const Line& l) {
        for (const auto& [key, value] : l.values) {
            bool known = false;
            for (const std::string& k : allowed) {
                known = known || k == key;
            }
            if (!known) {
                throw WriterError("unknown argument '" + key + "' for " + l.directive);
            }
        }
    }

    // The bytes named by file=, hex=, text= or fill=.
    std::vector<uint8_t> source(const Line& l) {
        allow({"file", "hex", "text", "fill", "size", "seed"});
        checkKeys(l);
        int sources = static_cast<int>(l.values.count("file") + l.values.count("hex") +
                                       l.values.count("text") + l.values.count("fill"));
        if (sources > 1) {
            throw WriterError("a block takes one of file=, hex=, text=, fill=");
        }
        if (l.values.count("size") && !l.values.count("fill")) {
            throw WriterError("size= goes with fill=");
        }
        if (l.values.count("file")) {
            std::string path = l.values.at("file");
            if (!path.empty() && path[0] != '/') {
                path = baseDirectory + "/" + path;
            }
            return readFile(path);
        }
        if (l.values.count("hex")) {
            return hexBytes(l.values.at("hex"));
        }
        if (l.values.count("text")) {
            const std::string& text = l.values.at("text");
            return std::vector<uint8_t>(text.begin(), text.end());
        }
        if (l.values.count("fill")) {
            uint64_t size = number(get(l, "size", "0"), "size");
            return Generate(FillFromName(l.values.at("fill")), size,
                            number(get(l, "seed", "1"), "seed"));
        }
        return {};
    }

    Block common(const Line& l) {
        allow({"flags", "length", "cut"});
        if (!l.words.empty() && l.directive != "start-address") {
            throw WriterError("unexpected word '" + l.words[0] + "'");
        }
        Block b;
        b.bytes = source(l);
        uint32_t flags = number32(get(l, "flags", "0"), "flags");
        if (flags > 7) {
            throw WriterError("flags must be 0..7");
        }
        b.flags = static_cast<uint8_t>(flags);
        if (l.values.count("length")) {
            b.declaredLength = number32(l.values.at("length"), "length");
        }
        if (l.values.count("cut")) {
            b.cut = number(l.values.at("cut"), "cut");
        }
        return b;
    }

    void addressed(const Line& l, uint8_t type) {
        allow({"address"});
        Block b = common(l);
        b.type = type;
        b.address = number32(get(l, "address", "0"), "address");
        d.blocks.push_back(b);
    }

    void infoBlock(const Line& l) {
        allow({"build", "version", "serial", "model"});
        if (!l.words.empty()) {
            throw WriterError("unexpected word '" + l.words[0] + "'");
        }
        Line rest = l;
        for (const char* k : {"build", "version", "serial", "model"}) {
            rest.values.erase(k);
        }
        Block b = common(rest);
        checkKeys(l);
        if (!b.bytes.empty()) {
            throw WriterError("info takes its text from build=, version=, serial=, model=");
        }
        std::string text = InfoField(get(l, "build", "")) + InfoField(get(l, "version", "")) +
                           InfoField(get(l, "serial", "")) + InfoField(get(l, "model", ""));
        b.type = TYPE_INFO;
        b.bytes.assign(text.begin(), text.end());
        d.blocks.push_back(b);
    }

    Description& d;
    std::string baseDirectory;
    std::vector<std::string> allowed;
};

} // namespace

Description Parse(const std::string& text, const std::string& baseDirectory) {
    Description d;
    Parser parser(d, baseDirectory);
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
        try {
            std::vector<std::string> words = tokenize(raw);
            if (words.empty()) {
                continue;
            }
            Line l;
            l.directive = words[0];
            for (size_t i = 1; i < words.size(); ++i) {
                size_t eq = words[i].find('=');
                if (eq == std::string::npos) {
                    l.words.push_back(words[i]);
                } else if (!l.values.emplace(words[i].substr(0, eq), words[i].substr(eq + 1))
                                .second) {
                    throw WriterError("argument '" + words[i].substr(0, eq) + "' given twice");
                }
            }
            parser.line(l);
        } catch (const WriterError& e) {
            throw WriterError("line " + std::to_string(number) + ": " + e.what());
        }
    }
    return d;
}

} // namespace qbsim::bird
