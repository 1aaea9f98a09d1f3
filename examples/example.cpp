// A tour of what vemo_core does so far: class ids and the registry, one text in the three
// string encodings, and a formatted log line reaching a console listener.
#include <cstdio>

#include "vemo/core/Core.h"

using namespace vemo;

namespace {

// A log listener that prints each message on the console, errors in yellow.
class ConsoleListener : public LogListener {
 public:
  const wchar_t* getName() override { return L"console"; }
  bool setparam(const wchar_t* param) override {
    _prefix = param;
    return true;
  }
  void error(const wchar_t* text) override {
    Console::setTextAttribute(14);
    print(L"error", text);
    Console::setTextAttribute(7);
  }
  void warning(const wchar_t* text) override { print(L"warning", text); }
  void message(const wchar_t* text) override { print(L"message", text); }
  void debug(const wchar_t* text) override { print(L"debug", text); }
  void whistle(bool ok) override { Console::output(L"%s\n", ok ? L"ok" : L"failed"); }

 private:
  void print(const wchar_t* level, const wchar_t* text) {
    Console::output(L"%s[%s] %s\n", _prefix.getBuffer(), level, text);
  }
  String _prefix;
};

// A registrable class of the program itself.
class Greeting : public virtual Unknown {
  VEMO_DECLARE_CLASS(Greeting)
 public:
  const String& text() const { return _text; }

 protected:
  Greeting() : _text(L"hello") {}
  explicit Greeting(const wchar_t* text) : _text(text) {}

 private:
  String _text;
};
VEMO_IMPLEMENT_CLASS(Greeting)

}  // namespace

int main() {
  ConsoleListener listener;
  Log::addListener(&listener);
  Log::setparam(L"console@vemo ");

  Console::output(L"== Classes and their ids\n");
  for (const wchar_t* name : {L"A", L"abc", L"Unknown", L"Event", L"Message", L"Greeting"})
    Console::output(L"  %-10s 0x%08X\n", name, Unknown::ClassType(String(name)).getClassId());
  std::vector<String> names;
  Unknown::RtFactory::getRtClassNames(names);
  Console::output(L"  registered:");
  for (const String& name : names)
    Console::output(L" %s", name.getBuffer());
  Console::output(L"\n");
  Unknown::Handle_T<Unknown> made = Unknown::RtFactory::createClassInstance(String(L"Greeting"));
  Console::output(L"  created by name: %s (class id 0x%08X), time stamp %s\n",
                  made->getClassName().getBuffer(), made->getClassId(), made->getClassTimestamp());

  Console::output(L"\n== One text in three encodings\n");
  const String wide = L"Grüße, €100 — 東京";
  const String_T<char> utf8 = StringHelper::wideToUtf8(wide);
  setCodePage("windows-1252");
  const String_T<unsigned char> ansi = StringHelper::wideToAnsi(wide);
  Console::output(L"  wide    : %s (%d characters)\n", wide.getBuffer(), wide.getLength());
  Console::output(L"  UTF-8   : %d bytes:", utf8.getBufferLength() - 1);
  for (const char* p = utf8.getBuffer(); *p; ++p)
    Console::output(L" %02X", static_cast<unsigned char>(*p));
  Console::output(L"\n  cp 1252 : %d bytes:", ansi.getBufferLength() - 1);
  for (const unsigned char* p = ansi.getBuffer(); *p; ++p)
    Console::output(L" %02X", *p);
  Console::output(L"\n  back    : %s\n", StringHelper::ansiToWide(ansi).getBuffer());
  setCodePage(0);

  Console::output(L"\n== Logging\n");
  Log::message(L"%d objects, %.3f ms, 64-bit %I64d, narrow text %S", 3, 1.25, -(1LL << 40), "ok");
  Log::error(L"errors come in yellow; one third is %s", convertToString(1.0 / 3).getBuffer());
  Log::removeListener(&listener);
  return 0;
}
