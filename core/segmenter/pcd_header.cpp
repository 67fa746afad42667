#include "segmenter/pcd_header.h"

#include <algorithm>
#include <cstring>
#include <pcl/io/lzf.h>

namespace vela {

namespace {

// The library splits a header line into words in two ways: the keyword as a
// stream reads it (any blank), the values at spaces, tabs and carriage
// returns. Blanks of other kinds would make the two disagree.
bool isStreamBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isSplitBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

struct Text {
    const char* begin;
    const char* end;
    bool empty() const { return begin == end; }
    std::string str() const { return std::string(begin, end); }
};

Text trimmed(Text t)
{
    while (!t.empty() && isStreamBlank(*t.begin)) ++t.begin;
    while (!t.empty() && isStreamBlank(t.end[-1])) --t.end;
    return t;
}

// The words of a trimmed line, split at runs of spaces, tabs and carriage returns.
std::vector<Text> words(Text t)
{
    std::vector<Text> out;
    const char* p = t.begin;
    while (p != t.end) {
        while (p != t.end && isSplitBlank(*p)) ++p;
        const char* start = p;
        while (p != t.end && !isSplitBlank(*p)) ++p;
        if (p != start) out.push_back(Text{start, p});
    }
    return out;
}

bool startsWith(Text t, const char* prefix)
{
    const std::size_t n = std::strlen(prefix);
    return static_cast<std::size_t>(t.end - t.begin) >= n && std::memcmp(t.begin, prefix, n) == 0;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// [+-] digits [. digits] [e [+-] digits], at least one digit before the exponent.
bool isDecimal(const char* p, const char* end)
{
    if (p != end && (*p == '+' || *p == '-')) ++p;
    bool digits = false;
    while (p != end && isDigit(*p)) {
        ++p;
        digits = true;
    }
    if (p != end && *p == '.') {
        ++p;
        while (p != end && isDigit(*p)) {
            ++p;
            digits = true;
        }
    }
    if (!digits) return false;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p != end && (*p == '+' || *p == '-')) ++p;
        if (p == end || !isDigit(*p)) return false;
        while (p != end && isDigit(*p)) ++p;
    }
    return p == end;
}

bool equalsIgnoringCase(const char* p, const char* end, const char* word)
{
    for (; *word != '\0'; ++word, ++p) {
        if (p == end) return false;
        const char c = (*p >= 'A' && *p <= 'Z') ? static_cast<char>(*p - 'A' + 'a') : *p;
        if (c != *word) return false;
    }
    return p == end;
}

bool isNumber(const char* p, const char* end)
{
    if (isDecimal(p, end)) return true;
    if (p != end && (*p == '+' || *p == '-')) ++p;
    return equalsIgnoringCase(p, end, "nan") || equalsIgnoringCase(p, end, "inf") ||
           equalsIgnoringCase(p, end, "infinity");
}

// A plain decimal count; false for signs, fractions, text or more than 18 digits.
bool readCount(Text t, std::uint64_t& value)
{
    if (t.empty() || t.end - t.begin > 18) return false;
    value = 0;
    for (const char* p = t.begin; p != t.end; ++p) {
        if (!isDigit(*p)) return false;
        value = value * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    return true;
}

// One keyword line of the header: its words (the keyword first) and its line number.
struct KeywordLine {
    std::vector<Text> words;
    std::size_t number = 0;  // 0: the header has no such line
    bool given() const { return number != 0; }
    std::size_t values() const { return words.size() - 1; }
};

struct HeaderLines {
    KeywordLine fields, size, type, count, width, height, viewpoint, points, data;
    std::size_t end = 0;  // first byte after the DATA line
};

struct Keyword {
    const char* prefix;
    KeywordLine HeaderLines::*line;
};

// The library tells lines apart by the start of their first word, in this order.
const Keyword kKeywords[] = {
    {"FIELDS", &HeaderLines::fields},   {"COLUMNS", &HeaderLines::fields}, {"SIZE", &HeaderLines::size},
    {"TYPE", &HeaderLines::type},       {"COUNT", &HeaderLines::count},    {"WIDTH", &HeaderLines::width},
    {"HEIGHT", &HeaderLines::height},   {"VIEWPOINT", &HeaderLines::viewpoint},
    {"POINTS", &HeaderLines::points},   {"DATA", &HeaderLines::data},
};

std::string atLine(std::size_t number, const std::string& what)
{
    return "header line " + std::to_string(number) + ": " + what;
}

std::string quoted(Text t, std::size_t limit = 40)
{
    std::string s = t.str();
    if (s.size() > limit) s = s.substr(0, limit) + "...";
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return "'" + s + "'";
}

// Collects the keyword lines up to DATA. The library stops reading the
// header at the first line it does not know; before DATA that leaves it
// with no payload position, so such a line is refused.
std::string collectLines(const char* bytes, std::size_t size, HeaderLines& lines)
{
    const char* p = bytes;
    const char* end = bytes + size;
    for (std::size_t number = 1; p != end; ++number) {
        const char* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const Text raw{p, newline != nullptr ? newline : end};
        p = newline != nullptr ? newline + 1 : end;
        if (raw.empty()) continue;
        const Text line = trimmed(raw);
        const std::vector<Text> lineWords = words(line);
        const Text first = lineWords.empty() ? Text{line.begin, line.begin} : lineWords.front();
        if (startsWith(first, "#") || startsWith(first, "VERSION")) continue;

        const Keyword* keyword = nullptr;
        for (const Keyword& k : kKeywords)
            if (startsWith(first, k.prefix)) {
                keyword = &k;
                break;
            }
        if (keyword == nullptr) return atLine(number, quoted(line) + " is not a PCD header line (no DATA line before it)");
        for (const char* c = line.begin; c != line.end; ++c)
            if ((static_cast<unsigned char>(*c) < 0x20 && !isSplitBlank(*c)) || *c == 0x7f)
                return atLine(number, "control character in " + std::string(keyword->prefix) + " line");
        KeywordLine& slot = lines.*(keyword->line);
        if (slot.given())
            return atLine(number, std::string(keyword->prefix) + " given again (first on line " +
                                      std::to_string(slot.number) + ")");
        slot.words = lineWords;
        slot.number = number;
        if (keyword->line == &HeaderLines::data) {
            lines.end = static_cast<std::size_t>(p - bytes);
            return std::string();
        }
    }
    return "no DATA line";
}

// FIELDS, SIZE, TYPE and COUNT present, in an order the library can
// follow, with one value per field.
std::string checkLayoutLines(const HeaderLines& lines)
{
    if (!lines.fields.given()) return "no FIELDS line";
    if (lines.fields.values() == 0) return atLine(lines.fields.number, "FIELDS names no field");
    if (!lines.size.given()) return "no SIZE line";
    if (!lines.type.given()) return "no TYPE line";
    // The library takes each line's values as it comes: SIZE needs the
    // fields, TYPE the sizes, COUNT both, and POINTS sizes its buffer by the
    // layout of that moment.
    if (lines.size.number < lines.fields.number) return atLine(lines.size.number, "SIZE before FIELDS");
    if (lines.type.number < lines.size.number) return atLine(lines.type.number, "TYPE before SIZE");
    if (lines.count.given() && lines.count.number < lines.type.number)
        return atLine(lines.count.number, "COUNT before TYPE");
    const std::size_t layoutEnd = std::max(lines.type.number, lines.count.number);
    if (lines.points.given() && lines.points.number < layoutEnd)
        return atLine(lines.points.number, "POINTS before the field layout is complete");

    const std::size_t n = lines.fields.values();
    for (const KeywordLine* line : {&lines.size, &lines.type, &lines.count}) {
        if (line->given() && line->values() != n)
            return atLine(line->number, line->words[0].str() + " has " + std::to_string(line->values()) +
                                            " values for " + std::to_string(n) + " fields");
    }
    return std::string();
}

// Field i from its FIELDS, SIZE, TYPE and COUNT values.
std::string readField(const HeaderLines& lines, std::size_t i, PcdField& field)
{
    const Text name = lines.fields.words[i + 1];
    field.name = name.str();
    std::uint64_t size = 0;
    if (!readCount(lines.size.words[i + 1], size) || (size != 1 && size != 2 && size != 4 && size != 8))
        return atLine(lines.size.number, "SIZE " + quoted(lines.size.words[i + 1]) + " of field " + quoted(name) +
                                             " is not 1, 2, 4 or 8");
    field.size = static_cast<int>(size);
    const Text type = lines.type.words[i + 1];
    const char t = type.end - type.begin == 1 ? *type.begin : '?';
    const bool known = ((t == 'F' || t == 'f') && (size == 4 || size == 8)) || t == 'I' || t == 'i' || t == 'U' ||
                       t == 'u' || ((t == 'B' || t == 'b') && size == 1);
    if (!known)
        return atLine(lines.type.number, "TYPE " + quoted(type) + " with SIZE " + std::to_string(size) +
                                             " of field " + quoted(name) + " is not a known type");
    field.type = t;
    std::uint64_t count = 1;
    if (lines.count.given() &&
        (!readCount(lines.count.words[i + 1], count) || count < 1 || count > kPcdMaxCount))
        return atLine(lines.count.number, "COUNT " + quoted(lines.count.words[i + 1]) + " of field " + quoted(name) +
                                              " is not between 1 and " + std::to_string(kPcdMaxCount));
    field.count = static_cast<std::uint32_t>(count);
    return std::string();
}

// The layout of a point record: fields one after the other.
std::string readLayout(const HeaderLines& lines, PcdHeader& header)
{
    std::string problem = checkLayoutLines(lines);
    if (!problem.empty()) return problem;
    std::uint64_t offset = 0;
    header.fields.resize(lines.fields.values());
    for (std::size_t i = 0; i < header.fields.size(); ++i) {
        PcdField& field = header.fields[i];
        problem = readField(lines, i, field);
        if (!problem.empty()) return problem;
        field.offset = static_cast<std::uint32_t>(offset);
        offset += static_cast<std::uint64_t>(field.size) * field.count;
        if (offset > kPcdMaxPointBytes)
            return "a point record of more than " + std::to_string(kPcdMaxPointBytes) + " bytes";
    }
    header.pointStep = static_cast<std::uint32_t>(offset);
    return std::string();
}

std::string readSingleCount(const KeywordLine& line, std::uint64_t limit, std::uint64_t& value)
{
    if (line.values() != 1 || !readCount(line.words[1], value) || value > limit)
        return atLine(line.number, line.words[0].str() + " needs one whole number up to " + std::to_string(limit));
    return std::string();
}

// WIDTH, HEIGHT and POINTS, with the library's defaults for what is missing.
std::string readDimensions(const HeaderLines& lines, PcdHeader& header)
{
    if (!lines.points.given()) return "no POINTS line";
    std::uint64_t width = 0, height = 0, points = 0;
    std::string problem = readSingleCount(lines.points, kPcdMaxDataBytes, points);
    if (problem.empty() && lines.width.given()) problem = readSingleCount(lines.width, UINT32_MAX, width);
    if (problem.empty() && lines.height.given()) problem = readSingleCount(lines.height, UINT32_MAX, height);
    if (!problem.empty()) return problem;
    if (points > kPcdMaxDataBytes / header.pointStep)
        return "POINTS " + std::to_string(points) + " of " + std::to_string(header.pointStep) +
               " bytes each exceed the 4 GiB the PCD reader can hold";

    if (points > 0) {
        if (width == 0 && height == 0) {
            width = points;
            height = 1;
        } else if (height == 0) {
            height = 1;
        } else if (width == 0) {
            return "HEIGHT " + std::to_string(height) + " given without WIDTH";
        }
    }
    if (width * height != points)
        return "WIDTH " + std::to_string(width) + " x HEIGHT " + std::to_string(height) + " is not POINTS " +
               std::to_string(points);
    header.width = static_cast<std::uint32_t>(width);
    header.height = static_cast<std::uint32_t>(height);
    header.points = points;
    return std::string();
}

std::string readViewpointAndData(const HeaderLines& lines, PcdHeader& header)
{
    if (lines.viewpoint.given()) {
        bool numbers = lines.viewpoint.values() == 7;
        for (std::size_t i = 1; numbers && i < lines.viewpoint.words.size(); ++i)
            numbers = isDecimal(lines.viewpoint.words[i].begin, lines.viewpoint.words[i].end);
        if (!numbers) return atLine(lines.viewpoint.number, "VIEWPOINT needs seven numbers");
    }
    if (lines.data.values() != 1) return atLine(lines.data.number, "DATA needs one data type");
    const std::string type = lines.data.words[1].str();
    if (type == "ascii")
        header.data = PcdData::ascii;
    else if (type == "binary")
        header.data = PcdData::binary;
    else if (type == "binary_compressed")
        header.data = PcdData::binaryCompressed;
    else
        return atLine(lines.data.number, "unknown DATA type " + quoted(lines.data.words[1]));
    header.dataOffset = lines.end;
    return std::string();
}

// The library fills x, y and z only from single 4-byte float fields of
// those names; any other field leaves every point at 0.
std::string checkCoordinates(const PcdHeader& header)
{
    for (const char* axis : {"x", "y", "z"}) {
        const PcdField* named = nullptr;
        bool usable = false;
        for (const PcdField& f : header.fields) {
            if (f.name != axis) continue;
            if (named == nullptr) named = &f;
            usable = usable || ((f.type == 'F' || f.type == 'f') && f.size == 4 && f.count == 1);
        }
        if (named == nullptr) return std::string("no field ") + axis;
        if (!usable)
            return std::string("field ") + axis + " is not a single 4-byte float (SIZE " +
                   std::to_string(named->size) + " TYPE " + named->type + " COUNT " + std::to_string(named->count) +
                   ")";
    }
    return std::string();
}

std::string compressedProblem(const PcdHeader& header, const char* payload, std::uint64_t left)
{
    const std::uint64_t needed = header.points * header.pointStep;
    if (left < 8) return "compressed data: the block sizes are missing";
    std::uint32_t stored = 0, uncompressed = 0;
    std::memcpy(&stored, payload, 4);
    std::memcpy(&uncompressed, payload + 4, 4);
    if (uncompressed != needed)
        return "compressed data: uncompressed size " + std::to_string(uncompressed) +
               " is not POINTS x point size = " + std::to_string(needed);
    if (stored > left - 8)
        return "compressed data: a block of " + std::to_string(stored) + " bytes, only " + std::to_string(left - 8) +
               " left in the file";
    if (uncompressed > kLzfMaxExpansion * stored)
        return "compressed data: a block of " + std::to_string(stored) + " bytes cannot hold " +
               std::to_string(uncompressed);
    std::vector<char> out(uncompressed);
    const unsigned int got = pcl::lzfDecompress(payload + 8, stored, out.data(), uncompressed);
    if (got != uncompressed) return "compressed data: the block is damaged";
    return std::string();
}

// The library reads the first POINTS non-empty lines, whatever they hold: a
// line with too few values or a word that is no number becomes a point at 0.
std::string asciiProblem(const PcdHeader& header, const char* payload, std::size_t left)
{
    std::uint64_t perLine = 0;
    for (const PcdField& f : header.fields) perLine += f.count;
    // Values of padding fields named "_" are skipped unread.
    std::vector<std::uint8_t> checked;
    checked.reserve(static_cast<std::size_t>(perLine));
    for (const PcdField& f : header.fields) checked.insert(checked.end(), f.count, f.name != "_" ? 1 : 0);

    const char* p = payload;
    const char* end = payload + left;
    std::uint64_t point = 0;
    while (point < header.points && p != end) {
        const char* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const Text raw{p, newline != nullptr ? newline : end};
        p = newline != nullptr ? newline + 1 : end;
        if (raw.empty()) continue;
        const std::vector<Text> values = words(trimmed(raw));
        if (values.size() != perLine)
            return "ASCII data: point " + std::to_string(point + 1) + " has " + std::to_string(values.size()) +
                   " values, the fields need " + std::to_string(perLine);
        for (std::size_t v = 0; v < values.size(); ++v)
            if (checked[v] && !isNumber(values[v].begin, values[v].end))
                return "ASCII data: point " + std::to_string(point + 1) + ": " + quoted(values[v]) +
                       " is not a number";
        ++point;
    }
    if (point < header.points)
        return "ASCII data holds " + std::to_string(point) + " points, POINTS says " + std::to_string(header.points);
    return std::string();
}

}  // namespace

PcdHeader readPcdHeader(const char* bytes, std::size_t size)
{
    PcdHeader header;
    HeaderLines lines;
    header.problem = collectLines(bytes, size, lines);
    if (header.problem.empty()) header.problem = readLayout(lines, header);
    if (header.problem.empty()) header.problem = readDimensions(lines, header);
    if (header.problem.empty()) header.problem = readViewpointAndData(lines, header);
    if (header.problem.empty()) header.problem = checkCoordinates(header);
    return header;
}

std::string pcdPayloadProblem(const PcdHeader& header, const char* bytes, std::size_t size)
{
    if (header.points == 0) return std::string();
    const char* payload = bytes + header.dataOffset;
    const std::uint64_t left = size - header.dataOffset;
    switch (header.data) {
    case PcdData::binary: {
        const std::uint64_t needed = header.points * header.pointStep;
        if (left < needed)
            return "binary data: " + std::to_string(left) + " bytes after the header, POINTS x point size needs " +
                   std::to_string(needed);
        return std::string();
    }
    case PcdData::binaryCompressed:
        return compressedProblem(header, payload, left);
    case PcdData::ascii:
        break;
    }
    return asciiProblem(header, payload, static_cast<std::size_t>(left));
}

bool isPcdNumber(const std::string& token) { return isNumber(token.data(), token.data() + token.size()); }

}  // namespace vela
