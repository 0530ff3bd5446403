#include "documents/internal/office_xml.h"

namespace zelk::documents {

PartRead streamPart(ZipPackage* package, const std::string& name, UnpackBudget& budget,
                    XMLHandler& handler) {
  if (!package) return PartRead::failed;
  XMLStream parse(handler);
  ZipPackage::Read r = package->stream(name, budget, [&](std::string_view chunk) {
    return parse.feed(chunk);
  });
  if (r == ZipPackage::Read::failed) return PartRead::failed;
  if (r == ZipPackage::Read::ok) parse.feed({}, true);
  return parse.stoppedByHandler() ? PartRead::stopped : PartRead::ok;
}

}  // namespace zelk::documents
