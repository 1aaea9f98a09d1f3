// Arbitrary text through the strict text readers (times, ids, nodes) and arbitrary bytes
// through the text reader in each encoding: no crash, and what parses prints back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "vemo/core/MemoryStream.h"
#include "vemo/core/StringHelper.h"
#include "vemo/core/Text.h"
#include "vemo/core/Time.h"
#include "vemo/core/Uuid.h"

using namespace vemo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<char> bytes(data, data + size);
  bytes.push_back(0);
  const String text = StringHelper::utf8ToWide(bytes.data());

  Time time;
  if (time.convertFromString(text)) (void)time.convertToString(true);
  Uuid id;
  if (uuid_convertFromString(id, text.getBuffer())) {
    Uuid again;
    if (!uuid_convertFromString(again, uuid_convertToString(id).getBuffer()) || again != id)
      std::abort();
  }
  uuid_node_t node;
  node.convertFromString(text);

  for (int set = 0; set < 3; ++set) {
    auto stream = MemoryStream::createInstance();
    stream->write(data, static_cast<int>(size));
    TextReader reader(stream.get(), static_cast<TextReader::CharacterSet>(set));
    String line;
    String_T<char> utf8;
    for (int lines = 0; lines < 64 && reader.readLine(line); ++lines) {
    }
    reader.read(utf8);
  }
  return 0;
}
