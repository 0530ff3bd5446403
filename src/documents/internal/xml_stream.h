// The event-driven XML parser (expat) with namespace processing off, so elements arrive by
// their prefixed names. Documents that declare entities are refused: the parse ends there, as
// at any other fault, which shuts out entity-expansion bombs.
#pragma once

#include <exception>
#include <string_view>

struct XML_ParserStruct;

namespace zelk::documents {

class XMLHandler {
 public:
  virtual ~XMLHandler() = default;
  // attributes: name, value, name, value, ..., nullptr.
  virtual void startElement(std::string_view /*name*/, const char** /*attributes*/) {}
  virtual void endElement(std::string_view /*name*/) {}
  virtual void characters(std::string_view /*text*/) {}
  // Asked after every element's end; false stops the parse.
  virtual bool keepGoing() { return true; }
};

// The value of the named attribute, or nullptr.
const char* xmlAttribute(const char** attributes, std::string_view name);

// One parse. Not thread-safe. Exceptions thrown by the handler end the parse and are rethrown
// from feed().
class XMLStream {
 public:
  explicit XMLStream(XMLHandler& handler);
  ~XMLStream();
  XMLStream(const XMLStream&) = delete;
  XMLStream& operator=(const XMLStream&) = delete;

  // Feeds the next bytes (last = no more follow). False once the parse has ended: a fault,
  // a refused entity declaration, or the handler asked to stop.
  bool feed(std::string_view bytes, bool last = false);
  // True when the handler's keepGoing() ended the parse.
  bool stoppedByHandler() const { return stoppedByHandler_; }
  bool ended() const { return ended_; }

 private:
  static void onStart(void* self, const char* name, const char** attributes);
  static void onEnd(void* self, const char* name);
  static void onText(void* self, const char* text, int length);
  static void onEntityDecl(void* self, const char*, int, const char*, int, const char*,
                           const char*, const char*, const char*);
  void abort();

  XMLHandler& handler_;
  XML_ParserStruct* parser_;
  bool ended_ = false;
  bool stoppedByHandler_ = false;
  std::exception_ptr error_;
};

// Parses a whole document held in memory; returns true when the handler stopped it.
bool parseXML(std::string_view bytes, XMLHandler& handler);

}  // namespace zelk::documents
