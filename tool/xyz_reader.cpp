#include "xyz_reader.h"

#include <charconv>
#include <cmath>
#include <fstream>
#include <iostream>

namespace velaseg {
namespace {

bool isSeparator(char c) { return c == ' ' || c == '\t' || c == ',' || c == '\r'; }

// The columns of a line without its comment.
std::vector<std::string_view> columnsOf(std::string_view line)
{
    const std::size_t hash = line.find('#');
    if (hash != std::string_view::npos) line = line.substr(0, hash);
    std::vector<std::string_view> columns;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isSeparator(line[i])) ++i;
        const std::size_t start = i;
        while (i < line.size() && !isSeparator(line[i])) ++i;
        if (i > start) columns.push_back(line.substr(start, i - start));
    }
    return columns;
}

bool parseCoordinate(std::string_view text, double& value)
{
    // from_chars takes no leading '+'; a text file may well have one.
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && std::isfinite(value);
}

bool parseChannel(std::string_view text, std::uint8_t& value)
{
    int v = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (error != std::errc() || end != text.data() + text.size() || v < 0 || v > 255) return false;
    value = static_cast<std::uint8_t>(v);
    return true;
}

// The problem of one line that holds columns; empty when it is a point.
std::string parseLine(const std::vector<std::string_view>& columns, VELA::SVPoint3d& p)
{
    if (columns.size() != 3 && columns.size() != 6)
        return std::to_string(columns.size()) + " columns, expected x y z or x y z r g b";
    double xyz[3];
    for (int axis = 0; axis < 3; ++axis)
        if (!parseCoordinate(columns[static_cast<std::size_t>(axis)], xyz[axis]))
            return "\"" + std::string(columns[static_cast<std::size_t>(axis)]) + "\" is not a finite number";
    p = VELA::SVPoint3d(xyz[0], xyz[1], xyz[2]);
    if (columns.size() == 6) {
        std::uint8_t* channels[3] = {&p.r, &p.g, &p.b};
        for (int c = 0; c < 3; ++c)
            if (!parseChannel(columns[static_cast<std::size_t>(3 + c)], *channels[c]))
                return "\"" + std::string(columns[static_cast<std::size_t>(3 + c)]) +
                       "\" is not a colour value from 0 to 255";
    }
    return "";
}

}  // namespace

bool readXyzFile(const std::string& fileName, std::vector<VELA::SVPoint3d>& points, bool& hasColour)
{
    std::ifstream in(fileName, std::ios::binary);
    if (!in) {
        std::cerr << "xyz reader: " << fileName << ": the file cannot be opened for reading" << std::endl;
        return false;
    }
    const std::size_t before = points.size();
    std::size_t width = 0;  // columns of the first point line; all must agree
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        const std::vector<std::string_view> columns = columnsOf(line);
        if (columns.empty()) continue;
        VELA::SVPoint3d p;
        std::string problem = parseLine(columns, p);
        if (problem.empty() && width != 0 && columns.size() != width)
            problem = std::to_string(columns.size()) + " columns where the lines before have " + std::to_string(width);
        if (!problem.empty()) {
            std::cerr << "xyz reader: " << fileName << ": line " << number << ": " << problem
                      << "; nothing is read" << std::endl;
            points.resize(before);
            return false;
        }
        width = columns.size();
        points.push_back(p);
    }
    if (in.bad()) {
        std::cerr << "xyz reader: " << fileName << ": reading failed; nothing is read" << std::endl;
        points.resize(before);
        return false;
    }
    hasColour = width == 6;
    std::cout << "the total number of points is: " << points.size() << std::endl;
    return true;
}

}  // namespace velaseg
