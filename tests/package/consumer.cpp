// A program built against the installed package: a class of its own in the registry, a
// reflectable class through JSON text and back, the library's strings, and the call stack of a
// log message as the library's listener call sees it. The stack's frames inside the library
// name their source files and lines where the library's debugging information is found (an
// unstripped library, or a stripped one with its debug-symbols package): the scripts that run
// this program read those lines.
#include <cstdio>
#include <string>
#include <vector>

#include "vemo/core/CallStack.h"
#include "vemo/core/Core.h"

using namespace vemo;

class Note : public Property {
  VEMO_DECLARE_PROPERTY(Note, Property)
 public:
  String text;
  int count = 0;

 protected:
  Note() = default;
};
VEMO_IMPLEMENT_PROPERTY(Note, VEMO_PROPERTY(text, L"What it says"),
                        VEMO_PROPERTY(count, L"How often"))

namespace {

// Keeps the call stack of each message it hears.
class StackListener : public LogListener {
 public:
  std::vector<std::string> lines;

  const wchar_t* getName() override { return L"stack"; }
  bool setparam(const wchar_t*) override { return false; }
  void error(const wchar_t*) override {}
  void warning(const wchar_t*) override {}
  void message(const wchar_t*) override {
    Lines callback(lines);
    CallStack* stack = CallStack::getCallStack();
    stack->dump(callback);
    stack->destroy();
  }
  void debug(const wchar_t*) override {}
  void whistle(bool) override {}

 private:
  class Lines : public CallStack::Callback {
   public:
    explicit Lines(std::vector<std::string>& lines) : _lines(lines) {}
    void report(const char* line) override { _lines.emplace_back(line); }

   private:
    std::vector<std::string>& _lines;
  };
};

}  // namespace

int main() {
  Unknown::Handle_T<Note> note = Note::createInstance();
  note->text = L"gr\u00fc\u00dfe";
  note->count = 3;
  const String json = PropertyHelper::convertToString(note.get(), false);
  const Unknown::Handle_T<Note> back =
      Unknown::Handle_T<Note>::dynamicCast(PropertyHelper::convertToClass(json));
  const String_T<char> utf8 = StringHelper::wideToUtf8(json.getBuffer());
  std::printf("%s\n", utf8.getBuffer());

  StackListener listener;
  Log::addListener(&listener);
  Log::message(L"consumer: %s", L"hello");
  Log::removeListener(&listener);
  std::printf("call stack of a log message:\n");
  for (const std::string& line : listener.lines)
    std::printf("%s\n", line.c_str());

  const bool same = back && back->text == note->text && back->count == 3 &&
                    Unknown::RtFactory::createClassInstance(String(L"Note")) &&
                    !listener.lines.empty();
  std::printf("%s\n", same ? "consumer: ok" : "consumer: FAILED");
  return same ? 0 : 1;
}
