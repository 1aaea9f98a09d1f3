// Arbitrary bytes as a message received by a vemo_net link: the header is checked as a link
// checks it, and a body of a known class is decoded (as a pulling link decodes it before it
// pushes the message into its port). The second byte of the input chooses among the message
// classes registered here (a message with a field of every streamed kind, one that nests
// messages, and an unknown id) when it is not taken literally. Nothing may crash, hang, exhaust
// the stack or allocate beyond what the input holds.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Wire.h"
#include "vemo/core/Message.h"

using namespace vemo;

namespace {

class Fields : public Message {
  VEMO_DECLARE_PROPERTY(Fields, Message)
  VEMO_MESSAGE_FIELDS(flag, ch, sh, u, l, ll, f, d, text, utf8, bytes, wide, ints, texts, table)

 public:
  bool flag = false;
  char ch = 0;
  short sh = 0;
  unsigned int u = 0;
  long l = 0;
  long long ll = 0;
  float f = 0;
  double d = 0;
  String text;
  String_T<char> utf8;
  std::string bytes;
  std::wstring wide;
  std::vector<int> ints;
  std::vector<String> texts;
  std::map<int, String> table;

 protected:
  Fields() = default;
};

class Nest : public Message {
  VEMO_DECLARE_PROPERTY(Nest, Message)
  VEMO_MESSAGE_FIELDS(inner, number)

 public:
  Handle_T<Message> inner;
  int number = 0;

 protected:
  Nest() = default;
};

VEMO_IMPLEMENT_PROPERTY(Fields, VEMO_PROPERTY(flag, L"Flag"))
VEMO_IMPLEMENT_PROPERTY(Nest, VEMO_PROPERTY(number, L"Number"))

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static net::wire::Decoder decoder;
  if (size < 2 || data[0] != net::wire::kVersion) return 0;
  const unsigned char kind = data[1];
  std::size_t header =
      kind == net::wire::kSequenced ? net::wire::kSequencedHeader : net::wire::kHeader;
  if ((kind != net::wire::kMessage && kind != net::wire::kSequenced) || size < header) return 0;
  unsigned int classId = net::wire::get32(data + 2);
  // Mostly the classes that exist, so that bodies are decoded.
  switch (classId & 3) {
    case 0:
      classId = Fields::getClassId_();
      break;
    case 1:
      classId = Nest::getClassId_();
      break;
    case 2:
      classId = Message::getClassId_();
      break;
    default:
      break;
  }
  net::wire::Refusal refusal;
  std::string reason;
  Unknown::Handle_T<Message> message =
      decoder.decode(classId, data + header, size - header, refusal, reason);
  // A message taken is encoded again, as a link would forward it.
  if (message) {
    Unknown::Handle_T<net::wire::FrameOutput> out(new net::wire::FrameOutput());
    net::wire::encode(*out, *message, net::wire::kMessage);
  } else if (refusal == net::wire::Refusal::kNone || reason.empty()) {
    __builtin_trap();
  }
  return 0;
}
