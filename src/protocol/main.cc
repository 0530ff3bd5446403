// zelk-mcp: prepares the user's own documents for AI apps, on this machine.
#include "protocol/command_line.h"

int main(int argc, char** argv) { return zelk::CommandLine::main(argc, argv); }
