// Application boxes over the network: BoxEndpoint and callBox in one process (over ipc://, and
// tcp:// on Windows, whose libzmq has no ipc://), then vemo-ctl against the example service host
// running as a child process (Linux).
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "NetChild.h"
#include "NetTestSupport.h"
#include "vemo/core/AppBox.h"
#include "vemo/core/Exception.h"
#include "vemo/net/BoxEndpoint.h"

using namespace vemo;
using namespace std::chrono_literals;
using nettest::Child;
using nettest::TempDir;
using nettest::waitFor;
using Outcome = AppReply::Outcome;

namespace {

#if !defined(_WIN32)
bool isSocket(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}
#endif

// What the test box's "hold" command waits for.
struct Gate {
  void open() {
    std::lock_guard<std::mutex> guard(lock);
    opened = true;
    changed.notify_all();
  }
  bool wait() {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, 60s, [&] { return opened; });
  }
  std::mutex lock;
  std::condition_variable changed;
  bool opened = false;
};
Gate* g_gate = nullptr;
std::atomic<int> g_held{0};

class TestBox : public AppBox {
 public:
  static Handle_T<AppBox> create(const wchar_t* name, const wchar_t* parameters) {
    return Handle_T<AppBox>(new TestBox(name, parameters));
  }

 protected:
  using AppBox::AppBox;
  bool docmd(AppPipe* pipe, const std::vector<String>& words) override {
    if (words[0] == L"lines") {
      for (std::size_t i = 1; i < words.size(); ++i)
        pipe->write(L"[" + words[i] + L"]");
      return true;
    }
    if (words[0] == L"hold") {
      ++g_held;
      return g_gate && g_gate->wait();
    }
    if (words[0] == L"throw") VEMO_THROW(__LINE__, L"thrown");
    pipe->write(L"no such command");
    return false;
  }
};

#if !defined(_WIN32)
std::string socketOf(const std::string& endpoint) {
  return endpoint.substr(6);
}
#endif

TEST(NetBox, CommandsReachABoxThroughItsEndpoint) {
  ASSERT_TRUE(setUpApp(L"NetBoxTestBox", &TestBox::create));
  Handle<App> app = startApp(L"NetBoxTestBox", L"net-box-test", L"");
  ASSERT_TRUE(app);
  TempDir dir;
  auto context = net::Context::createInstance();
#if defined(_WIN32)
  const std::string bindTo = "tcp://127.0.0.1:*";
#else
  const std::string bindTo = "ipc://" + dir.path + "/box.ctl";
#endif
  auto served = net::BoxEndpoint::createInstance(context, app, bindTo);
  ASSERT_TRUE(served);
  std::string endpoint = served->getEndpoint();
#if !defined(_WIN32)
  EXPECT_EQ(endpoint, bindTo);
  // Only the box's user may reach it.
  EXPECT_TRUE(isSocket(socketOf(endpoint)));
  struct stat info {};
  ASSERT_EQ(stat(socketOf(endpoint).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
#endif

  // Words arrive as given: blanks, quotes, backslashes, an empty word, characters beyond the
  // basic plane (two UTF-16 units on Windows).
  const std::vector<String> words = {L"lines",         L"a b", L"say \"hi\"",
                                     L"back\\slash\\", L"",    L"\u00fc\U0001F600"};
  AppReply reply = net::callBox(context, endpoint, words, 10s);
  ASSERT_EQ(reply.outcome, Outcome::kOk);
  ASSERT_EQ(reply.lines.size(), 5u);
  for (std::size_t i = 1; i < words.size(); ++i)
    EXPECT_EQ(reply.lines[i - 1], L"[" + words[i] + L"]") << i;

  reply = net::callBox(context, endpoint, {L"nonsense", L"x"}, 10s);
  EXPECT_EQ(reply.outcome, Outcome::kFailed);
  ASSERT_EQ(reply.lines.size(), 1u);
  EXPECT_EQ(reply.lines[0], L"no such command");
  EXPECT_EQ(net::callBox(context, endpoint, {L"throw"}, 10s).outcome, Outcome::kThrew);
  // No command at all, refused before it reaches the box.
  EXPECT_EQ(net::callBox(context, endpoint, {}, 10s).outcome, Outcome::kNotACommand);
  EXPECT_EQ(net::callBox(context, endpoint, {L""}, 10s).outcome, Outcome::kNotACommand);

  // A box that does not answer in time: the caller gives up after its time-out, and once the
  // box has answered the late command, the next caller gets its own reply, not that one.
  Gate gate;
  g_gate = &gate;
  auto start = std::chrono::steady_clock::now();
  reply = net::callBox(context, endpoint, {L"hold"}, 300ms);
  auto spent = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(reply.outcome, Outcome::kTimedOut);
  EXPECT_GE(spent, 300ms);
  EXPECT_LT(spent, 20s);
  EXPECT_EQ(g_held.load(), 1);
  gate.open();
  reply = net::callBox(context, endpoint, {L"lines", L"after"}, 30s);
  ASSERT_EQ(reply.outcome, Outcome::kOk);
  ASSERT_EQ(reply.lines.size(), 1u);
  EXPECT_EQ(reply.lines[0], L"[after]");
  g_gate = nullptr;

  // Two callers at once are served one after the other, each with its own reply.
  AppReply first, second;
  std::thread other([&] { first = net::callBox(context, endpoint, {L"lines", L"one"}, 30s); });
  second = net::callBox(context, endpoint, {L"lines", L"two"}, 30s);
  other.join();
  ASSERT_EQ(first.lines.size(), 1u);
  ASSERT_EQ(second.lines.size(), 1u);
  EXPECT_EQ(first.lines[0], L"[one]");
  EXPECT_EQ(second.lines[0], L"[two]");

  // Without its endpoint the box is out of reach: the socket file goes, callers time out.
  served = nullptr;
#if !defined(_WIN32)
  EXPECT_TRUE(waitFor([&] { return !std::filesystem::exists(socketOf(endpoint)); }));
#endif
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(net::callBox(context, endpoint, {L"lines"}, 200ms).outcome, Outcome::kTimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  // Nothing listens on a tcp port either.
  EXPECT_EQ(net::callBox(context, "tcp://127.0.0.1:1", {L"lines"}, 200ms).outcome,
            Outcome::kTimedOut);

  // An endpoint that cannot be bound gives no BoxEndpoint; nor does a missing box.
#if defined(_WIN32)
  const std::string unbindable = "tcp://192.0.2.1:5555";  // an address of no local interface
#else
  const std::string unbindable = "ipc://" + dir.path + "/no/such";
#endif
  EXPECT_FALSE(net::BoxEndpoint::createInstance(context, app, unbindable));
  EXPECT_FALSE(net::BoxEndpoint::createInstance(context, nullptr, bindTo));

  // A box that ends while it is served: the command in flight is told so.
  served = net::BoxEndpoint::createInstance(context, app, bindTo);
  ASSERT_TRUE(served);
  endpoint = served->getEndpoint();
  exitApp(app);
  EXPECT_EQ(net::callBox(context, endpoint, {L"lines"}, 10s).outcome, Outcome::kClosed);
  served = nullptr;
  tearDownApp(L"NetBoxTestBox");
}

#if !defined(_WIN32)
TEST(NetBox, DefaultEndpointIsInTheRuntimeDirectory) {
  const char* saved = std::getenv("RUNTIME_DIRECTORY");
  const std::string keep = saved ? saved : "";
  const char* savedUser = std::getenv("XDG_RUNTIME_DIR");
  const std::string keepUser = savedUser ? savedUser : "";
  setenv("RUNTIME_DIRECTORY", "/run/first/:/run/second", 1);
  setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
  EXPECT_EQ(net::BoxEndpoint::defaultEndpoint(L"my box/\u00fc"), "ipc:///run/first/my_box___.ctl");
  unsetenv("RUNTIME_DIRECTORY");
  EXPECT_EQ(net::BoxEndpoint::defaultEndpoint(L"host"), "ipc:///run/user/1000/host.ctl");
  unsetenv("XDG_RUNTIME_DIR");
  const std::string temp = std::filesystem::temp_directory_path().generic_string();
  std::string expected = "ipc://" + temp;
  if (expected.back() != '/') expected += '/';
  EXPECT_EQ(net::BoxEndpoint::defaultEndpoint(L""), expected + "box.ctl");
  if (saved) setenv("RUNTIME_DIRECTORY", keep.c_str(), 1);
  if (savedUser) setenv("XDG_RUNTIME_DIR", keepUser.c_str(), 1);
}
#endif

#if defined(VEMO_SERVICE_HOST)
// vemo-ctl as a child: its output lines and exit status.
struct Ctl {
  std::vector<std::string> lines;
  int status = -1;
};
Ctl ctl(const std::vector<std::string>& args) {
  std::vector<std::string> all = {VEMO_CTL};
  all.insert(all.end(), args.begin(), args.end());
  Child child(all);
  Ctl result;
  for (std::string line = child.line(); !line.empty(); line = child.line())
    result.lines.push_back(line);
  result.status = child.wait();
  return result;
}

TEST(NetBox, VemoCtlTalksToTheServiceHost) {
  TempDir dir;
  // The host's box is found where a service manager's RuntimeDirectory= would put it.
  Child host({VEMO_SERVICE_HOST, "port=9090"}, {"RUNTIME_DIRECTORY=" + dir.path});
  ASSERT_TRUE(host.started());
  const std::string socket = dir.path + "/vemo-service-host.ctl";
  ASSERT_TRUE(waitFor([&] { return isSocket(socket); })) << "no " << socket;
  const std::string endpoint = "ipc://" + socket;

  Ctl got = ctl({endpoint, "status"});
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.lines,
            (std::vector<std::string>{"name vemo-service-host", "port 9090", "$END OK"}));
  got = ctl({"--timeout", "20", endpoint, "echo", "two words", "\xc3\xbc", "--not-an-option"});
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.lines,
            (std::vector<std::string>{"two words", "\xc3\xbc", "--not-an-option", "$END OK"}));
  got = ctl({endpoint, "reboot"});
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(got.lines, (std::vector<std::string>{
                           "unknown command reboot (status, echo WORDS..., stop)", "$END FAILED"}));
  // Wrong command lines.
  EXPECT_EQ(ctl({endpoint}).status, 64);
  EXPECT_EQ(ctl({"--timeout", "soon", endpoint, "status"}).status, 64);
  EXPECT_EQ(ctl({"--timeout=-1", endpoint, "status"}).status, 64);
  EXPECT_EQ(ctl({endpoint, ""}).status, 64);

  // "stop" ends the host cleanly; afterwards nobody answers.
  got = ctl({endpoint, "stop"});
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.lines, (std::vector<std::string>{"$END OK"}));
  EXPECT_EQ(host.wait(), 0);
  EXPECT_FALSE(isSocket(socket));
  const auto start = std::chrono::steady_clock::now();
  got = ctl({"--timeout=0.3", endpoint, "status"});
  EXPECT_EQ(got.status, 2);
  EXPECT_TRUE(got.lines.empty());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
}

// vemo-ctl speaks CURVE to a box that admits only the clients it knows: with the client's key
// file the command goes through; another key, a key pair of its own or none at all are refused
// (no answer); a key file that others may read, or keys of the wrong form, are a usage error.
TEST(NetBox, VemoCtlSpeaksCurveToABoxThatAdmitsSomeClients) {
  ASSERT_TRUE(setUpApp(L"NetBoxTestBox", &TestBox::create));
  Handle<App> app = startApp(L"NetBoxTestBox", L"net-box-curve", L"");
  ASSERT_TRUE(app);
  TempDir dir;
  std::string serverPublic, serverSecret, clientPublic, clientSecret, otherPublic, otherSecret;
  ASSERT_TRUE(net::makeCurveKeyPair(serverPublic, serverSecret)) << net::Link::getLastError();
  ASSERT_TRUE(net::makeCurveKeyPair(clientPublic, clientSecret));
  ASSERT_TRUE(net::makeCurveKeyPair(otherPublic, otherSecret));
  EXPECT_EQ(serverPublic.size(), 40u);
  EXPECT_NE(serverPublic, clientPublic);
  const auto keyFile = [&dir](const char* name, const std::string& text, mode_t mode) {
    const std::string path = dir.path + "/" + name;
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
  };
  const std::string client =
      keyFile("client.keys", clientPublic + "\n" + clientSecret + "\n", 0600);
  const std::string other = keyFile("other.keys", otherPublic + "\r\n" + otherSecret, 0600);
  const std::string loose = keyFile("loose.keys", clientPublic + "\n" + clientSecret + "\n", 0644);
  const std::string shortKeys = keyFile("short.keys", "abc\ndef\n", 0600);

  auto context = net::Context::createInstance();
  net::LinkOptions options;
  options.curveSecretKey = serverSecret;
  options.allowedClients = {clientPublic};
  const std::string endpoint = "ipc://" + dir.path + "/curve.ctl";
  auto served = net::BoxEndpoint::createInstance(context, app, endpoint, options);
  ASSERT_TRUE(served);

  Ctl got = ctl({"--server-key", serverPublic, "--client-keys", client, endpoint, "lines", "x"});
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.lines, (std::vector<std::string>{"[x]", "$END OK"}));
  for (const std::vector<std::string>& refused :
       {std::vector<std::string>{"--server-key=" + serverPublic, "--client-keys=" + other},
        std::vector<std::string>{"--server-key", serverPublic}, std::vector<std::string>{}}) {
    std::vector<std::string> args = {"--timeout=0.5"};
    args.insert(args.end(), refused.begin(), refused.end());
    args.insert(args.end(), {endpoint, "lines", "x"});
    got = ctl(args);
    EXPECT_EQ(got.status, 2) << ::testing::PrintToString(refused);
    EXPECT_TRUE(got.lines.empty());
  }
  EXPECT_EQ(ctl({"--server-key", serverPublic, "--client-keys", loose, endpoint, "lines"}).status,
            64);
  EXPECT_EQ(
      ctl({"--server-key", serverPublic, "--client-keys", shortKeys, endpoint, "lines"}).status,
      64);
  EXPECT_EQ(ctl({"--client-keys", client, endpoint, "lines"}).status, 64);
  EXPECT_EQ(ctl({"--server-key", "short", endpoint, "lines"}).status, 64);
  EXPECT_EQ(ctl({"--server-key"}).status, 64);
  served = nullptr;
  exitApp(app);
  tearDownApp(L"NetBoxTestBox");
}

TEST(NetBox, ServiceHostTakesItsEndpointFromTheCommandLine) {
  TempDir dir;
  const std::string endpoint = "ipc://" + dir.path + "/elsewhere.ctl";
  Child host({VEMO_SERVICE_HOST, "ctl=" + endpoint}, {"RUNTIME_DIRECTORY=" + dir.path + "/unused"});
  ASSERT_TRUE(host.started());
  ASSERT_TRUE(waitFor([&] { return isSocket(socketOf(endpoint)); }));
  Ctl got = ctl({endpoint, "status"});
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.lines,
            (std::vector<std::string>{"name vemo-service-host", "port 8080", "$END OK"}));
  // A host killed outright: callers time out instead of hanging.
  host.killHard();
  host.wait();
  EXPECT_EQ(ctl({"--timeout", "0.2", endpoint, "status"}).status, 2);
}
#endif

}  // namespace
