// Messages that the net tests send between processes: one with a field of every kind the
// library streams, filled from a number so that the far side can check every field.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "vemo/core/Message.h"
#include "vemo/core/Varint.h"

namespace nettest {

using vemo::Message;
using vemo::String;

class Inner : public Message {
  VEMO_DECLARE_PROPERTY(Inner, Message)
  VEMO_MESSAGE_FIELDS(label)

 public:
  String label;

 protected:
  Inner() = default;
};

class Every : public Message {
  VEMO_DECLARE_PROPERTY(Every, Message)
  VEMO_MESSAGE_FIELDS(number, flag, ch, sch, uch, sh, ush, u, l, ul, ll, ull, f, d, text, utf8,
                      bytes, wide, ints, texts, table, inner)

 public:
  int number = 0;
  bool flag = false;
  char ch = 0;
  signed char sch = 0;
  unsigned char uch = 0;
  short sh = 0;
  unsigned short ush = 0;
  unsigned int u = 0;
  long l = 0;
  unsigned long ul = 0;
  long long ll = 0;
  unsigned long long ull = 0;
  float f = 0;
  double d = 0;
  String text;
  vemo::String_T<char> utf8;
  std::string bytes;
  std::wstring wide;
  std::vector<int> ints;
  std::vector<String> texts;
  std::map<int, String> table;
  Handle_T<Message> inner;

 protected:
  Every() = default;
};

// Another class, for subscriptions.
class Other : public Message {
  VEMO_DECLARE_PROPERTY(Other, Message)
  VEMO_MESSAGE_FIELDS(number)

 public:
  int number = 0;

 protected:
  Other() = default;
};

inline vemo::Unknown::Handle_T<Every> makeEvery(int n) {
  auto m = Every::createInstance();
  m->number = n;
  m->flag = n % 2 == 1;
  m->ch = static_cast<char>('a' + n % 26);
  m->sch = static_cast<signed char>(-(n % 100));
  m->uch = static_cast<unsigned char>(200 + n % 50);
  m->sh = static_cast<short>(-30000 + n % 1000);
  m->ush = static_cast<unsigned short>(60000 + n % 1000);
  m->u = 0xF0000000u + static_cast<unsigned int>(n);
  m->l = -1234567890123L - n;
  m->ul = 9876543210987UL + static_cast<unsigned long>(n);
  m->ll = -(1LL << 60) + n;
  m->ull = (1ULL << 63) + static_cast<unsigned long long>(n);
  m->f = 1.5f * static_cast<float>(n);
  m->d = -0.25 * n;
  m->text = (L"gr\u00fc\u00dfe \u6771\u4eac \U0001F600 " + std::to_wstring(n)).c_str();
  m->utf8 = "utf8 \xc3\xa9";
  m->bytes = std::string("nul\0byte", 8) + std::to_string(n);
  m->wide = L"wide \u00e9 " + std::to_wstring(n);
  m->ints = {n, -n, n * 3, 0x7FFFFFFF};
  m->texts = {String(L"one"), String(std::to_wstring(n).c_str())};
  m->table = {{n, String(L"n")}, {-1, String(L"minus one")}};
  auto inner = Inner::createInstance();
  inner->label = std::to_wstring(n * 7).c_str();
  m->inner = inner;
  return m;
}

// Whether every field is what makeEvery(m.number) gave it.
inline bool isEvery(const Every& m) {
  const auto want = makeEvery(m.number);
  const Inner* inner = dynamic_cast<const Inner*>(m.inner.get());
  const Inner* wantInner = static_cast<const Inner*>(want->inner.get());
  return m.flag == want->flag && m.ch == want->ch && m.sch == want->sch && m.uch == want->uch &&
         m.sh == want->sh && m.ush == want->ush && m.u == want->u && m.l == want->l &&
         m.ul == want->ul && m.ll == want->ll && m.ull == want->ull && m.f == want->f &&
         m.d == want->d && m.text == want->text && m.utf8 == want->utf8 && m.bytes == want->bytes &&
         m.wide == want->wide && m.ints == want->ints && m.texts == want->texts &&
         m.table == want->table && inner && inner->label == wantInner->label;
}

}  // namespace nettest
