// A live page for a running line: a chart of angle and setpoint over the
// last seconds, the counters, and buttons for the program's actions, pushed
// to browsers with Server-Sent Events. Used by the ground station and by the
// virtual board's runner.
//
// The feeding side never waits for a browser: every client has a bounded
// queue of samples, and when a slow or stalled client lets it fill, the
// oldest samples are dropped for that client only (counted in dropped()).
//
// The server answers only requests addressed to it by the address it serves
// (a foreign Host, as DNS rebinding sends, is refused), and an action runs
// only for a POST that carries the run's token, which the page gets when it
// is served, and no foreign Origin: another site open in the same browser
// cannot press a button. Event streams are bounded (the next is refused
// with 503) so that the page and the actions always find a thread, reads
// time out, and request bodies are small.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
class DataSink;
}

namespace station {

struct LiveSample {
  double t = 0;  // seconds, on the source's own clock (arrival time or virtual time)
  double angle = 0;
  double setpoint = 0;
};

// What an action answers: a line for the page, and the HTTP status (429
// when it cannot take more, say).
struct ActionReply {
  std::string text;
  int status = 200;
};

class LiveServer {
 public:
  struct Options {
    std::string address = "127.0.0.1";
    int port = 0;                   // 0: any free port (see port())
    std::string title = "Ground station";  // plain text; escaped on the page
    std::string chartjs_path;       // empty: the installed Chart.js
    std::size_t client_queue = 4096;  // samples held per client before dropping
    double window_s = 10.0;         // what the chart shows, and a new client gets
    std::size_t max_streams = 4;    // event streams at once; the next gets 503
  };

  // The header a POST carries the run's token in.
  static constexpr const char* kTokenHeader = "X-Live-Token";
  // Request bodies larger than this are refused (413); actions take none.
  static constexpr std::size_t kMaxBody = 4096;

  explicit LiveServer(Options options);
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;
  ~LiveServer();

  // Binds and serves on threads of its own; false with `error` set (a port
  // in use is refused, never shared with another program).
  bool start(std::string& error);
  void stop();
  int port() const { return port_; }
  // The page's address, IPv6 addresses in brackets.
  std::string url() const;
  // This run's token, which every POST must carry in kTokenHeader.
  const std::string& token() const { return token_; }

  // A button on the page; its handler runs on a server thread and returns
  // a line of text shown beside the buttons. Register before start().
  void add_action(const std::string& name, const std::string& label, std::function<ActionReply()> handler);

  // Never blocks on a browser.
  void publish(const LiveSample& sample);
  // The counters as a flat JSON object; pushed to every client.
  void publish_status(const std::string& json_object);

  std::uint64_t dropped() const { return dropped_.load(); }
  // Requests refused for their Host, Origin or token.
  std::uint64_t refused() const { return refused_.load(); }
  std::size_t clients() const;

 private:
  struct Client;
  struct Action {
    std::string name;
    std::string label;
    std::function<ActionReply()> handler;
  };
  void setup_routes();
  void route_page();
  void route_actions();
  void route_events();
  // One chunk of a client's event stream: waits up to half a second for
  // samples or a status; false when the stream ends.
  bool stream_events(Client& client, std::chrono::steady_clock::time_point until, httplib::DataSink& sink);
  std::string actions_json() const;
  // Empty when the request may go on, otherwise why it is refused.
  std::string refusal(const std::string& method, const std::string& host, const std::string& origin,
                      const std::string& token) const;

  Options options_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  std::string token_;
  std::string chartjs_;
  std::vector<Action> actions_;

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Client>> clients_;
  std::deque<LiveSample> history_;
  std::string status_ = "{}";
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<std::uint64_t> refused_{0};
};

// A button of the page: the action's name, its label and what it does.
struct LiveButton {
  std::string name;
  std::string label;
  std::function<ActionReply()> handler;
};

// The live page a program serves on `serve` ("[ADDR:]PORT", as
// parse_serve reads it) with its title and buttons, started; nothing when
// the text is no address or the address cannot be had (`error` says why).
std::unique_ptr<LiveServer> start_live_page(const std::string& serve, const std::string& title,
                                            std::vector<LiveButton> buttons, std::string& error);

// What a program tells its user once the page is up: where it is, and the
// header and token with which scripts press its buttons. Two lines, each
// after `prefix`.
std::string live_page_notice(const LiveServer& server, const std::string& prefix);

// The page itself (host/web/live.html), built into the program.
extern const char* const kLivePage;

// `text` with &, <, >, " and ' written as HTML character references.
std::string html_escaped(const std::string& text);

}  // namespace station
