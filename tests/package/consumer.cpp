// A program built against the installed package: a class of its own in the registry, a
// reflectable class through JSON text and back, and the library's strings.
#include <cstdio>

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

int main() {
  Unknown::Handle_T<Note> note = Note::createInstance();
  note->text = L"gr\u00fc\u00dfe";
  note->count = 3;
  const String json = PropertyHelper::convertToString(note.get(), false);
  const Unknown::Handle_T<Note> back =
      Unknown::Handle_T<Note>::dynamicCast(PropertyHelper::convertToClass(json));
  const String_T<char> utf8 = StringHelper::wideToUtf8(json.getBuffer());
  std::printf("%s\n", utf8.getBuffer());
  const bool same = back && back->text == note->text && back->count == 3 &&
                    Unknown::RtFactory::createClassInstance(String(L"Note"));
  std::printf("%s\n", same ? "consumer: ok" : "consumer: FAILED");
  return same ? 0 : 1;
}
