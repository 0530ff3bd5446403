#include "documents/internal/xml_stream.h"

#include <expat.h>

#include <cstring>
#include <limits>

namespace zelk::documents {

const char* xmlAttribute(const char** attributes, std::string_view name) {
  if (!attributes) return nullptr;
  for (int i = 0; attributes[i] && attributes[i + 1]; i += 2) {
    if (name == attributes[i]) return attributes[i + 1];
  }
  return nullptr;
}

XMLStream::XMLStream(XMLHandler& handler) : handler_(handler), parser_(XML_ParserCreate(nullptr)) {
  if (!parser_) {
    ended_ = true;
    return;
  }
  XML_SetUserData(parser_, this);
  XML_SetElementHandler(parser_, &XMLStream::onStart, &XMLStream::onEnd);
  XML_SetCharacterDataHandler(parser_, &XMLStream::onText);
  XML_SetEntityDeclHandler(parser_, &XMLStream::onEntityDecl);
  XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
#if defined(XML_DTD) && (XML_MAJOR_VERSION > 2 || (XML_MAJOR_VERSION == 2 && XML_MINOR_VERSION >= 4))
  // A second line of defence behind the refusal of entity declarations.
  XML_SetBillionLaughsAttackProtectionMaximumAmplification(parser_, 20.0f);
  XML_SetBillionLaughsAttackProtectionActivationThreshold(parser_, 1u << 20);
#endif
}

XMLStream::~XMLStream() {
  if (parser_) XML_ParserFree(parser_);
}

void XMLStream::abort() {
  if (!ended_) XML_StopParser(parser_, XML_FALSE);
}

void XMLStream::onStart(void* self, const char* name, const char** attributes) {
  auto* s = static_cast<XMLStream*>(self);
  if (s->error_) return;
  try {
    s->handler_.startElement(name, attributes);
  } catch (...) {
    s->error_ = std::current_exception();
    s->abort();
  }
}

void XMLStream::onEnd(void* self, const char* name) {
  auto* s = static_cast<XMLStream*>(self);
  if (s->error_) return;
  try {
    s->handler_.endElement(name);
    if (!s->handler_.keepGoing()) {
      s->stoppedByHandler_ = true;
      s->abort();
    }
  } catch (...) {
    s->error_ = std::current_exception();
    s->abort();
  }
}

void XMLStream::onText(void* self, const char* text, int length) {
  auto* s = static_cast<XMLStream*>(self);
  if (s->error_) return;
  try {
    s->handler_.characters(std::string_view(text, static_cast<size_t>(length)));
  } catch (...) {
    s->error_ = std::current_exception();
    s->abort();
  }
}

void XMLStream::onEntityDecl(void* self, const char*, int, const char*, int, const char*,
                             const char*, const char*, const char*) {
  static_cast<XMLStream*>(self)->abort();
}

bool XMLStream::feed(std::string_view bytes, bool last) {
  if (ended_) return false;
  // expat takes int lengths; feed larger buffers in pieces.
  constexpr size_t kPiece = 1 << 30;
  do {
    size_t n = bytes.size() < kPiece ? bytes.size() : kPiece;
    bool final = last && n == bytes.size();
    XML_Status status = XML_Parse(parser_, bytes.data(), static_cast<int>(n), final);
    if (error_) {
      ended_ = true;
      std::rethrow_exception(error_);
    }
    if (status != XML_STATUS_OK) {
      ended_ = true;
      return false;
    }
    bytes.remove_prefix(n);
  } while (!bytes.empty());
  if (last) ended_ = true;
  return !ended_;
}

bool parseXML(std::string_view bytes, XMLHandler& handler) {
  XMLStream stream(handler);
  stream.feed(bytes, true);
  return stream.stoppedByHandler();
}

}  // namespace zelk::documents
