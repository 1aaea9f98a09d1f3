// Binds a pulling link on a free loopback port and says where: the installed vemo_net works.
#include <cstdio>

#include "vemo/net/Net.h"

int main() {
  auto context = vemo::net::Context::createInstance();
  vemo::MessagePort port;
  auto link = vemo::net::Link::createInstance(context, vemo::net::LinkKind::kPull, port);
  if (!link || !link->bind("tcp://127.0.0.1:*")) return 1;
  std::printf("net consumer: bound %s\n", link->getBoundEndpoint().c_str());
  return 0;
}
