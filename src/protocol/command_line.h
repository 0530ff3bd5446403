// The entry point's mode selection: the argument vector is read once and the modes are tested
// in a fixed order; whatever names no other mode runs the MCP session on stdio.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zelk::CommandLine {

// The process's arguments, kept for the rest of the program.
const std::vector<std::string>& args();

enum class Mode { stdio, nativeHost, extensionServer, http, redactTest };

// Which front end the arguments select, given the modes this build has. Developer modes are not
// built yet, so their flags fall through like any other argument.
Mode select(const std::vector<std::string>& args);

// A decimal 16-bit port with an optional leading plus sign.
std::optional<unsigned short> parsePort(const std::string& text);

// Runs the program; returns the exit status.
int main(int argc, char** argv);

}  // namespace zelk::CommandLine
