// Arbitrary bytes read as the library's binary encoding: every reader must either produce a
// value or throw the library's Exception, never read out of bounds or allocate without limit.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "vemo/core/Buffer.h"
#include "vemo/core/MemoryStream.h"
#include "vemo/core/Stream.h"
#include "vemo/core/Varint.h"

using namespace vemo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  auto stream = MemoryStream::createInstance();
  stream->write(data + 1, static_cast<int>(size - 1));
  InputStream is(stream.get());
  // The first byte chooses the sequence of values to read.
  unsigned int plan = data[0];
  try {
    for (int step = 0; step < 16 && is.available() > 0; ++step, plan = plan * 5 + 1) {
      switch (plan % 14) {
        case 0: {
          Varint v;
          is >> v;
          break;
        }
        case 1: {
          Varint64 v;
          is >> v;
          break;
        }
        case 2: {
          String_T<char> s;
          is >> s;
          break;
        }
        case 3: {
          String s;
          is >> s;
          break;
        }
        case 4: {
          Buffer b;
          is >> b;
          break;
        }
        case 5: {
          Unknown::Handle_T<Unknown> h;
          is >> h;
          break;
        }
        case 6: {
          auto inner = MemoryStream::createInstance();
          is >> *inner;
          break;
        }
        case 7: {
          std::vector<double> v;  // bulk: the count against the bytes there are
          is >> v;
          break;
        }
        case 8: {
          std::vector<std::string> v;
          is >> v;
          break;
        }
        case 9: {
          std::map<int, std::vector<bool>> m;
          is >> m;
          break;
        }
        case 10: {
          std::wstring w;
          is >> w;
          break;
        }
        case 11: {
          std::map<std::string, std::map<long, float>> m;
          is >> m;
          break;
        }
        case 12: {
          bool b;
          short s;
          long long l;
          is >> b >> s >> l;
          break;
        }
        default: {
          unsigned int u;
          is >> u;
          break;
        }
      }
    }
  } catch (const Exception&) {
    // Broken input is expected to be refused this way.
  }
  return 0;
}
