#include "point_input.h"

#include <filesystem>
#include <iostream>

#include "las_reader.h"
#include "las_records.h"
#include "ply_reader.h"
#include "xyz_reader.h"

namespace velaseg {
namespace {

bool refuse(const std::string& pcFile, const std::string& reason)
{
    std::cerr << "velaseg: " << pcFile << ": " << reason << "; nothing is segmented" << std::endl;
    return false;
}

// Whether the records of a LAS file carry colour; they can be read again
// only when its header can.
bool lasHasColour(const std::string& pcFile)
{
    LasInputLayout layout;
    std::string problem;
    return readLasInputLayout(pcFile, layout, problem) && lasColourOffset(layout.pointFormat) >= 0;
}

}  // namespace

std::string inputTypeOf(const std::string& pcFile)
{
    const std::size_t dot = pcFile.find_last_of('.');
    if (dot == std::string::npos) return "";
    const std::string type = pcFile.substr(dot + 1);
    for (const char* known : {"pcd", "las", "laz", "ply", "xyz", "txt"})
        if (type == known) return type;
    return "";
}

bool readInput(const std::string& pcFile, VELA::VELA_Plane& segmenter, InputCloud& input)
{
    input.type = inputTypeOf(pcFile);
    if (input.type.empty())
        return refuse(pcFile, "unknown input type (the name must end in .las, .laz, .pcd, .ply, .xyz or .txt)");
    std::cout << "input file type: " << input.type << std::endl;

    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(pcFile, error);
    if (!std::filesystem::exists(status)) return refuse(pcFile, "no such file");
    if (!std::filesystem::is_regular_file(status)) return refuse(pcFile, "not a regular file");

    // Each reader names the problem of a file it refuses, in one line.
    bool read = false;
    if (input.type == "pcd") {
        read = segmenter.set_points(pcFile, input.points, input.skipped);
    } else if (input.type == "las" || input.type == "laz") {
        read = readLasFile(pcFile, input.points);
        input.hasColour = read && lasHasColour(pcFile);
    } else if (input.type == "ply") {
        read = readPlyFile(pcFile, input.points, input.hasColour);
    } else {
        read = readXyzFile(pcFile, input.points, input.hasColour);
    }
    if (!read) {
        input.points.clear();
        input.skipped.clear();
    }
    return read;
}

}  // namespace velaseg
