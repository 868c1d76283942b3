// The WebKitGTK web view stack in a real window under Xvfb, against a local page server that first
// refuses (accepts and closes without an answer) and then serves: a failed load is reported as a
// failure and never as a finished page, and a later load of the same address finishes. What a page
// posts to a channel arrives through the bounded JSON reader.

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "platform/webview/WebKitWebViewStack.h"

namespace kestrom::webview {
namespace {

// A loopback HTTP server on its own thread: while `refusing`, it closes each connection unanswered.
class PageServer {
 public:
  explicit PageServer(std::string page = "<html><body style=background:#0f0></body") : page_(std::move(page)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 16);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~PageServer() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
  std::atomic<bool> refusing{true};

 private:
  void serve() {
    while (!stopping_) {
      int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;
      if (!refusing) {
        char buffer[4096];
        (void)!::recv(client, buffer, sizeof buffer, 0);
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                                   std::to_string(page_.size()) + "\r\nConnection: close\r\n\r\n" + page_;
        (void)!::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
      }
      ::close(client);
    }
  }

  const std::string page_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// Runs the main loop until `done` holds or `seconds` pass.
template <typename Done>
bool iterateUntil(Done done, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(2000);
  }
  return done();
}

TEST(WebKitWebViewStackTest, AFailedLoadIsReportedAsAFailureAndALaterLoadFinishes) {
  std::signal(SIGALRM, [](int) { _exit(124); });  // a hung WebKit must not hold CTest to its limit
  ::alarm(40);
  ASSERT_TRUE(gtk_init_check()) << "no display (run under xvfb-run)";
  PageServer server;

  GtkWidget* window = gtk_window_new();
  auto stack = std::make_unique<WebKitWebViewStack>(nullptr, Rgba{0.2, 0.4, 0.8, 1}, Rgba{0, 0, 0, 1});
  gtk_window_set_child(GTK_WINDOW(window), stack->widget());
  gtk_window_set_default_size(GTK_WINDOW(window), 400, 300);
  gtk_window_present(GTK_WINDOW(window));

  int finished = 0;
  int failed = 0;
  std::string failure;
  stack->setEvents({.pageFinished = [&] { ++finished; },
                    .pageFailed =
                        [&](const std::string& uri, const std::string& message) {
                          ++failed;
                          failure = uri + ": " + message;
                        }});

  stack->loadPage(server.url());
  ASSERT_TRUE(iterateUntil([&] { return failed > 0; }, 30)) << "no failure reported";
  // WebKit ends the failed load with "finished" as well; give it time to arrive and be ignored.
  iterateUntil([] { return false; }, 1);
  EXPECT_EQ(finished, 0) << "a failed load counted as a finished page";
  EXPECT_NE(failure.find(server.url()), std::string::npos) << failure;

  server.refusing = false;
  stack->loadPage(server.url());
  EXPECT_TRUE(iterateUntil([&] { return finished > 0; }, 30)) << "the second load did not finish";
  EXPECT_EQ(failed, 1);

  stack.reset();
  gtk_window_destroy(GTK_WINDOW(window));
  ::alarm(0);
}

// Keeps what the page posts to one channel.
struct PostedValues final : ScriptMessageHandler {
  void didReceiveScriptMessage(const nlohmann::ordered_json& body) override { values.push_back(body); }
  std::vector<nlohmann::ordered_json> values;
};

TEST(WebKitWebViewStackTest, APageMessageNestedDeeperThanTheJSONReaderTakesArrivesAsNull) {
  std::signal(SIGALRM, [](int) { _exit(124); });
  ::alarm(40);
  ASSERT_TRUE(gtk_init_check()) << "no display (run under xvfb-run)";
  PageServer server(
      "<script>let deep = []; for (let i = 0; i < 600; ++i) deep = [deep];"
      "const post = v => window.webkit.messageHandlers.probe.postMessage(v);"
      "post({a: [1, 'x']}); post(deep); post('text');</script>");
  server.refusing = false;
  GtkWidget* window = gtk_window_new();
  auto stack = std::make_unique<WebKitWebViewStack>(nullptr, Rgba{}, Rgba{});
  gtk_window_set_child(GTK_WINDOW(window), stack->widget());
  gtk_window_present(GTK_WINDOW(window));
  auto posted = std::make_shared<PostedValues>();
  stack->configure({.messageHandlers = {{"probe", posted}}});

  stack->loadPage(server.url());
  ASSERT_TRUE(iterateUntil([&] { return posted->values.size() == 3; }, 30)) << posted->values.size();
  EXPECT_EQ(posted->values[0], nlohmann::ordered_json::parse(R"({"a": [1, "x"]})"));
  EXPECT_TRUE(posted->values[1].is_null()) << posted->values[1].dump().substr(0, 40);
  EXPECT_EQ(posted->values[2], "text");

  stack.reset();
  gtk_window_destroy(GTK_WINDOW(window));
  ::alarm(0);
}

}  // namespace
}  // namespace kestrom::webview
