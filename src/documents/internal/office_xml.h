// Streaming one package entry through the XML parser.
#pragma once

#include <string>

#include "documents/internal/xml_stream.h"
#include "documents/internal/zip_package.h"

namespace zelk::documents {

enum class PartRead {
  ok,       // read to its end, or the XML ended early at a fault (what came before counts)
  stopped,  // the handler asked to stop
  failed,   // the entry could not be read
};

// Inflates the entry chunk by chunk into a parse with the handler; memory stays at one chunk
// plus what the handler keeps. Throws the unpack-limit error when the budget runs out.
PartRead streamPart(ZipPackage* package, const std::string& name, UnpackBudget& budget,
                    XMLHandler& handler);

}  // namespace zelk::documents
