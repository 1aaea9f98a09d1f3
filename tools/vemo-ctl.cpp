// vemo-ctl: sends one command to an application box served on a ZeroMQ endpoint
// (vemo::net::BoxEndpoint) and prints its reply.
//
//   vemo-ctl [--timeout SECONDS] [--server-key KEY [--client-keys FILE]] ENDPOINT COMMAND [ARGS...]
//
// With --server-key (the box's CURVE public key) the call is encrypted; --client-keys names a
// file with the caller's key pair (public key, then secret key, one per line), which a box that
// admits only some clients asks for; without it the call makes a key pair of its own.
// Prints the lines the command wrote, then "$END OK" or "$END FAILED", on the standard output.
// Exit status: 0 when the command succeeded, 1 when it failed, 2 when no box answered in time
// (or the box ended before it answered), 64 for a wrong command line.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "vemo/core/Log.h"
#include "vemo/core/Process.h"
#include "vemo/net/BoxEndpoint.h"

// Platform: makes the standard output show UTF-8 text (Windows: the console's code page).
void useUtf8Output();
// Platform: whether only the file's owner may read it (else `why` says so). Windows: true, its
// access lists are not looked at.
bool ownerOnly(const std::string& path, std::string& why);

namespace {

constexpr int kUsage = 64;

// Warnings and errors of the library, on the standard error stream.
struct ErrorListener : vemo::LogListener {
  void error(const wchar_t* text) override { say("error", text); }
  void warning(const wchar_t* text) override { say("warning", text); }
  static void say(const char* kind, const wchar_t* text) {
    std::fprintf(stderr, "vemo-ctl: %s: %s\n", kind,
                 vemo::String_T<char>(std::wstring_view(text)).getBuffer());
  }
};

int usage(const char* why) {
  if (why) std::fprintf(stderr, "vemo-ctl: %s\n", why);
  std::fprintf(stderr,
               "usage: vemo-ctl [--timeout SECONDS] [--server-key KEY [--client-keys FILE]]\n"
               "                ENDPOINT COMMAND [ARGS...]\n"
               "  sends \"$COMMAND COMMAND ARGS...\" to the box at ENDPOINT (ipc://PATH or\n"
               "  tcp://HOST:PORT) and prints its reply; waits 5 seconds unless told.\n"
               "  --server-key: the box's CURVE public key (Z85); --client-keys: a file with\n"
               "  the caller's public and secret key, one per line, readable by its owner alone\n"
               "  exit status: 0 succeeded, 1 failed, 2 no box answered in time\n");
  return kUsage;
}

// Seconds, a decimal number from 0 to one day; false for anything else.
bool parseSeconds(const std::string& text, std::chrono::milliseconds& timeout) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(seconds) || seconds < 0 ||
      seconds > 86400)
    return false;
  timeout = std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000)));
  return true;
}

}  // namespace

// Reads a CURVE key pair from `path`: the public key on its first line, the secret key on its
// second, each 40 characters of Z85; a file others may read is refused, like ssh does.
bool readClientKeys(const std::string& path, vemo::net::LinkOptions& options, std::string& why) {
  if (!ownerOnly(path, why)) return false;
  std::ifstream in(path);
  std::string keys[2];
  for (std::string& key : keys) {
    std::getline(in, key);
    if (!key.empty() && key.back() == '\r') key.pop_back();
  }
  if (!in && !in.eof()) {
    why = path + ": cannot be read";
    return false;
  }
  if (keys[0].size() != 40 || keys[1].size() != 40) {
    why = path + ": not a public and a secret key of 40 Z85 characters, one per line";
    return false;
  }
  options.curvePublicKey = keys[0];
  options.curveSecretKey = keys[1];
  return true;
}

int main(int argc, char** argv) {
  useUtf8Output();
  std::chrono::milliseconds timeout(5000);
  vemo::net::LinkOptions options;
  std::string clientKeys;
  int next = 1;
  for (; next < argc; ++next) {
    const std::string arg = argv[next];
    if (arg == "--help" || arg == "-h") {
      usage(nullptr);
      return 0;
    }
    if (arg == "--") {
      ++next;
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') break;
    // --name VALUE or --name=VALUE
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    if (name != "--timeout" && name != "--server-key" && name != "--client-keys")
      return usage(("unknown option " + name).c_str());
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else {
      if (next + 1 >= argc) return usage((name + " needs a value").c_str());
      value = argv[++next];
    }
    if (name == "--timeout" && !parseSeconds(value, timeout))
      return usage(("--timeout " + value + ": not a number of seconds from 0 to 86400").c_str());
    if (name == "--server-key") {
      if (value.size() != 40) return usage("--server-key: not a key of 40 Z85 characters");
      options.curveServerKey = value;
    }
    if (name == "--client-keys") clientKeys = value;
  }
  if (!clientKeys.empty()) {
    if (options.curveServerKey.empty()) return usage("--client-keys goes with --server-key");
    std::string why;
    if (!readClientKeys(clientKeys, options, why)) return usage(why.c_str());
  } else if (!options.curveServerKey.empty() &&
             !vemo::net::makeCurveKeyPair(options.curvePublicKey, options.curveSecretKey)) {
    std::fprintf(stderr, "vemo-ctl: %s\n", vemo::net::Link::getLastError().c_str());
    return 2;
  }
  if (argc - next < 2) return usage("an endpoint and a command are needed");
  // The endpoint as the system gave it (a path's very bytes); the words with every character,
  // whatever the system's narrow encoding cannot show (Windows: its ANSI code page).
  const std::string endpoint = argv[next++];
  const std::vector<vemo::String> arguments = vemo::getProgramArguments(argc, argv);
  const std::vector<vemo::String> words(arguments.begin() + next, arguments.end());
  if (words[0].isEmpty()) return usage("the command is empty");

  auto errors = vemo::ScopedLogListener::make<ErrorListener>();
  vemo::AppReply reply;
  {
    auto context = vemo::net::Context::createInstance();
    reply = vemo::net::callBox(context, endpoint, words, timeout, options);
  }
  for (const vemo::String& line : reply.lines)
    std::printf("%s\n", vemo::String_T<char>(std::wstring_view(line.getBuffer())).getBuffer());
  using Outcome = vemo::AppReply::Outcome;
  switch (reply.outcome) {
    case Outcome::kOk:
      std::printf("$END OK\n");
      return 0;
    case Outcome::kFailed:
    case Outcome::kThrew:
    case Outcome::kNotACommand:
      std::printf("$END FAILED\n");
      return 1;
    case Outcome::kClosed:
      std::fprintf(stderr, "vemo-ctl: the box at %s ended before it answered\n", endpoint.c_str());
      return 2;
    case Outcome::kTimedOut:
      break;
  }
  std::fprintf(stderr, "vemo-ctl: no box answered at %s within %lld ms\n", endpoint.c_str(),
               static_cast<long long>(timeout.count()));
  return 2;
}
