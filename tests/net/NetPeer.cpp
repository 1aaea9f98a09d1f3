// The far side of the net tests: one process per call, its mode and endpoint on the command
// line, its progress on the standard output, one line at a time.
//
//   NetPeer pull ENDPOINT COUNT      binds, takes COUNT messages, says "received N good G"
//   NetPeer push ENDPOINT COUNT      connects, sends Every 0..COUNT-1, says "sent N"
//   NetPeer subscribe ENDPOINT       connects, takes only Every, says "got N" for each; ends
//                                    at Every -1
//   NetPeer reply ENDPOINT           binds, answers Every n with Every 2n; ends after -1
//   NetPeer reliable-pull ENDPOINT JOURNAL TOTAL
//                                    binds an at-least-once puller, resumes after the last
//                                    line of JOURNAL, appends "session sequence number" for
//                                    each message handled, ends after number TOTAL-1
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "NetMessages.h"
#include "NetServer.h"
#include "vemo/core/Thread.h"
#include "vemo/net/Net.h"

using namespace vemo;
using nettest::Every;

namespace {

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int usage() {
  std::fprintf(stderr, "usage: NetPeer pull|push|subscribe|reply|reliable-pull ENDPOINT ...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string mode = argv[1];
  const std::string endpoint = argv[2];
  Unknown::Handle_T<net::Context> context = net::Context::createInstance();
  MessagePort port;
  auto server = nettest::PortServer::createInstance(port);
  int result = 0;

  if (mode == "pull" && argc >= 4) {
    const int count = std::atoi(argv[3]);
    int received = 0, good = 0;
    port.getMessageDispenser().addMessageHandler<Every>([&](Message* message) {
      const Every* every = static_cast<Every*>(message);
      if (nettest::isEvery(*every) && every->number == received) ++good;
      if (++received == count) server->shutdown();
    });
    auto link = net::Link::createInstance(context, net::LinkKind::kPull, port);
    if (!link || !link->bind(endpoint)) return 1;
    say("ready " + link->getBoundEndpoint());
    server->load();
    server->start();
    say("received " + std::to_string(received) + " good " + std::to_string(good));
  } else if (mode == "push" && argc >= 4) {
    const int count = std::atoi(argv[3]);
    auto link = net::Link::createInstance(context, net::LinkKind::kPush);
    if (!link || !link->connect(endpoint)) return 1;
    int sent = 0;
    for (int i = 0; i < count; ++i)
      if (link->send(nettest::makeEvery(i))) ++sent;
    say("sent " + std::to_string(sent));
  } else if (mode == "subscribe") {
    port.getMessageDispenser().addMessageHandler<Every>([&](Message* message) {
      const Every* every = static_cast<Every*>(message);
      say("got " + std::to_string(every->number) + (nettest::isEvery(*every) ? "" : " bad"));
      if (every->number == -1) server->shutdown();
    });
    auto link = net::Link::createInstance(context, net::LinkKind::kSubscribe, port);
    if (!link || !link->connect(endpoint) || !link->subscribe<Every>()) return 1;
    say("ready " + link->getBoundEndpoint());
    server->load();
    server->start();
    // What reached the process: the other classes never did.
    say("received " + std::to_string(link->getStats().received));
  } else if (mode == "reply") {
    Unknown::Handle_T<net::Link> link;
    port.getMessageDispenser().addMessageHandler<Every>([&](Message* message) {
      const Every* every = static_cast<Every*>(message);
      if (!link->reply(nettest::makeEvery(nettest::isEvery(*every) ? every->number * 2 : -999)))
        say("reply failed: " + net::Link::getLastError());
      if (every->number == -1) server->shutdown();
    });
    link = net::Link::createInstance(context, net::LinkKind::kReply, port);
    if (!link || !link->bind(endpoint)) return 1;
    say("ready " + link->getBoundEndpoint());
    server->load();
    server->start();
    say("done");
  } else if (mode == "reliable-pull" && argc >= 5) {
    const std::string journal = argv[3];
    const int total = std::atoi(argv[4]);
    net::LinkOptions options;
    options.reliable = true;
    auto link = net::Link::createInstance(context, net::LinkKind::kPull, port, options);
    if (!link) return 1;
    // Where the predecessor stopped: the journal's last whole line.
    {
      std::ifstream in(journal);
      std::string line, last;
      while (std::getline(in, line))
        if (!line.empty()) last = line;
      std::istringstream fields(last);
      net::Delivery delivery;
      if (fields >> delivery.session >> delivery.sequence) link->resume(delivery);
    }
    const int fd = ::open(journal.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (fd < 0) return 1;
    port.getMessageDispenser().addMessageHandler<Every>([&](Message* message) {
      const Every* every = static_cast<Every*>(message);
      const net::Delivery delivery = net::Link::getCurrentDelivery();
      // The effect and the place in the sequence in one write: a kill leaves both or neither.
      const std::string line = std::to_string(delivery.session) + " " +
                               std::to_string(delivery.sequence) + " " +
                               std::to_string(every->number) + "\n";
      if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::abort();
      if (every->number == total - 1) server->shutdown();
    });
    if (!link->bind(endpoint)) return 1;
    say("ready " + link->getBoundEndpoint());
    server->load();
    server->start();
    ::close(fd);
    // Acknowledges the last one before the link goes.
    say("done");
  } else {
    return usage();
  }
  return result;
}
