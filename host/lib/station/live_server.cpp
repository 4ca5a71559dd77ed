#include "live_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <sys/socket.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "serve_address.h"

#ifndef STATION_CHARTJS_PATH
#define STATION_CHARTJS_PATH "/usr/share/javascript/chart.js/chart.min.js"
#endif

namespace station {

namespace {

// Threads for everything but the event streams: the page, its script, the
// status and the actions always find one free while the streams are full.
constexpr std::size_t kSpareThreads = 12;

std::string samples_json(const std::deque<LiveSample>& samples) {
  std::string out = "[";
  char item[96];
  for (const LiveSample& s : samples) {
    if (!std::isfinite(s.t) || !std::isfinite(s.angle) || !std::isfinite(s.setpoint)) continue;  // not for a chart
    std::snprintf(item, sizeof item, "%s[%.6f,%.2f,%.2f]", out.size() > 1 ? "," : "", s.t, s.angle, s.setpoint);
    out += item;
  }
  return out + "]";
}

std::string new_token() {
  std::random_device random;
  std::string token;
  char part[9];
  for (int i = 0; i < 4; ++i) {
    std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(random()));
    token += part;
  }
  return token;
}

bool is_ip_literal(const std::string& name) {
  unsigned char any[16];
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    return inet_pton(AF_INET6, name.substr(1, name.size() - 2).c_str(), any) == 1;
  return inet_pton(AF_INET, name.c_str(), any) == 1;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The address as a URL writes it.
std::string url_host(const std::string& address) {
  return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

}  // namespace

std::string html_escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

struct LiveServer::Client {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<LiveSample> queue;
  std::string status;
  bool status_dirty = true;
};

LiveServer::LiveServer(Options options)
    : options_(std::move(options)), server_(std::make_unique<httplib::Server>()), token_(new_token()) {
  if (options_.chartjs_path.empty()) options_.chartjs_path = STATION_CHARTJS_PATH;
}

LiveServer::~LiveServer() { stop(); }

std::string LiveServer::url() const { return "http://" + url_host(options_.address) + ":" + std::to_string(port_) + "/"; }

void LiveServer::add_action(const std::string& name, const std::string& label, std::function<ActionReply()> handler) {
  actions_.push_back({name, label, std::move(handler)});
}

std::size_t LiveServer::clients() const {
  std::lock_guard lock(mutex_);
  return clients_.size();
}

std::string LiveServer::actions_json() const {
  nlohmann::ordered_json out = nlohmann::ordered_json::array();
  for (const Action& a : actions_) out.push_back({{"name", a.name}, {"label", a.label}});
  return out.dump();
}

std::string LiveServer::refusal(const std::string& method, const std::string& host, const std::string& origin,
                                const std::string& token) const {
  // Host: the address served with its port; any of the loopback names for
  // a loopback address; any address literal (never a name) when serving on
  // all addresses.
  const std::string port = ":" + std::to_string(port_);
  const std::string h = lower(host);
  const std::string served = lower(url_host(options_.address));
  auto is_loopback = [](const std::string& n) { return n == "localhost" || n.rfind("127.", 0) == 0 || n == "[::1]"; };
  const bool everywhere = served == "0.0.0.0" || served == "[::]";
  const bool port_ok = h.size() > port.size() && h.compare(h.size() - port.size(), port.size(), port) == 0;
  const std::string name = port_ok ? h.substr(0, h.size() - port.size()) : std::string();
  const bool host_ok = port_ok && (name == served || ((is_loopback(served) || everywhere) && is_loopback(name) &&
                                                      (name == "localhost" || is_ip_literal(name))) ||
                                   (everywhere && is_ip_literal(name)));
  if (!host_ok) return "this server answers only requests for " + url_host(options_.address) + port + " (Host was '" + host + "')";
  if (method != "POST") return {};
  if (!origin.empty() && lower(origin) != "http://" + h) return "an action is taken only from this server's own page (Origin was '" + origin + "')";
  if (token != token_) return std::string("an action needs this run's token in the ") + kTokenHeader + " header (the page carries it)";
  return {};
}

void LiveServer::publish(const LiveSample& sample) {
  std::lock_guard lock(mutex_);
  history_.push_back(sample);
  while (!history_.empty() && history_.front().t < sample.t - options_.window_s) history_.pop_front();
  for (const auto& c : clients_) {
    {
      std::lock_guard client_lock(c->mutex);
      if (c->queue.size() >= options_.client_queue) {
        c->queue.pop_front();
        ++dropped_;
      }
      c->queue.push_back(sample);
    }
    c->wake.notify_one();
  }
}

void LiveServer::publish_status(const std::string& json_object) {
  std::lock_guard lock(mutex_);
  status_ = json_object;
  for (const auto& c : clients_) {
    {
      std::lock_guard client_lock(c->mutex);
      c->status = json_object;
      c->status_dirty = true;
    }
    c->wake.notify_one();
  }
}

void LiveServer::setup_routes() {
  using httplib::Request;
  using httplib::Response;
  server_->set_pre_routing_handler([this](const Request& req, Response& res) {
    const std::string why = refusal(req.method, req.get_header_value("Host"), req.get_header_value("Origin"),
                                    req.get_header_value(kTokenHeader));
    if (why.empty()) return httplib::Server::HandlerResponse::Unhandled;
    ++refused_;
    res.status = 403;
    res.set_content(why + "\n", "text/plain");
    return httplib::Server::HandlerResponse::Handled;
  });
  route_page();
  route_actions();
  route_events();
  server_->set_error_handler([](const Request& req, Response& res) {
    if (!res.body.empty()) return;
    std::string text;
    switch (res.status) {
      case 404: text = "not found"; break;
      case 413: text = "request body too large (at most " + std::to_string(kMaxBody) + " bytes; actions take none)"; break;
      case 414: text = "request path too long"; break;
      case 400:
        text = req.method == "POST" && !req.has_header("Content-Length")
                   ? "bad request: a POST needs a Content-Length header; send an empty body (curl: -d '')"
                   : "bad request";
        break;
      default: text = "error " + std::to_string(res.status);
    }
    res.set_content(text + "\n", "text/plain");
  });
}

// The page with this run's title and token, and its chart script.
void LiveServer::route_page() {
  using httplib::Request;
  using httplib::Response;
  server_->Get("/", [this](const Request&, Response& res) {
    std::string page = kLivePage;
    const std::string title = html_escaped(options_.title);
    for (const auto& [mark, text] : {std::pair<std::string, std::string>{"@TITLE@", title}, {"@TOKEN@", token_}}) {
      for (auto at = page.find(mark); at != std::string::npos; at = page.find(mark, at + text.size()))
        page.replace(at, mark.size(), text);
    }
    res.set_header("Cache-Control", "no-store");  // the token is for this run only
    res.set_content(page, "text/html; charset=utf-8");
  });
  server_->Get("/chart.js", [this](const Request&, Response& res) {
    if (chartjs_.empty()) {
      res.status = 404;
      res.set_content("Chart.js is not installed at " + options_.chartjs_path + "\n", "text/plain");
      return;
    }
    res.set_header("Cache-Control", "max-age=3600");
    res.set_content(chartjs_, "application/javascript");
  });
}

// The status, the list of buttons and the buttons themselves.
void LiveServer::route_actions() {
  using httplib::Request;
  using httplib::Response;
  server_->Get("/api/status", [this](const Request&, Response& res) {
    std::lock_guard lock(mutex_);
    res.set_content(status_, "application/json");
  });
  server_->Get("/api/actions", [this](const Request&, Response& res) { res.set_content(actions_json(), "application/json"); });
  server_->Post(R"(/api/action/([A-Za-z0-9_-]+))", [this](const Request& req, Response& res) {
    for (const Action& a : actions_) {
      if (a.name == req.matches[1]) {
        const ActionReply reply = a.handler();
        res.status = reply.status;
        res.set_content(reply.text + "\n", "text/plain");
        return;
      }
    }
    res.status = 404;
    res.set_content("no such action\n", "text/plain");
  });
}

// The event stream: samples and status as they come, for at most
// max_streams clients at once.
void LiveServer::route_events() {
  using httplib::Request;
  using httplib::Response;
  server_->Get("/events", [this](const Request& req, Response& res) {
    auto client = std::make_shared<Client>();
    // "?seconds=N" (up to an hour): the stream ends after N seconds of this
    // server's clock with an "end" event, so that the page goes idle.
    auto until = std::chrono::steady_clock::time_point::max();
    if (req.has_param("seconds")) {
      const double s = std::strtod(req.get_param_value("seconds").c_str(), nullptr);
      if (!(s > 0 && s <= 3600)) {
        res.status = 400;
        res.set_content("seconds must be a number from 0 to 3600\n", "text/plain");
        return;
      }
      until = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<std::int64_t>(s * 1000));
    }
    {
      std::lock_guard lock(mutex_);
      if (clients_.size() >= options_.max_streams) {
        res.status = 503;
        res.set_header("Retry-After", "5");
        res.set_content("already " + std::to_string(clients_.size()) + " live views open (at most " +
                            std::to_string(options_.max_streams) + "); close one and reload\n",
                        "text/plain");
        return;
      }
      client->queue = history_;  // the chart starts with the last window
      client->status = status_;
      clients_.push_back(client);
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, client, until](std::size_t, httplib::DataSink& sink) { return stream_events(*client, until, sink); },
        [this, client](bool) {
          std::lock_guard lock(mutex_);
          std::erase(clients_, client);
        });
  });
}

bool LiveServer::stream_events(Client& client, std::chrono::steady_clock::time_point until, httplib::DataSink& sink) {
  std::deque<LiveSample> samples;
  std::string status;
  {
    std::unique_lock lock(client.mutex);
    client.wake.wait_for(lock, std::chrono::milliseconds(500), [&] {
      return stopping_.load() || !client.queue.empty() || client.status_dirty;
    });
    samples.swap(client.queue);
    if (client.status_dirty) status = client.status;
    client.status_dirty = false;
  }
  if (stopping_.load()) {
    sink.done();
    return false;
  }
  std::string out;
  if (!samples.empty()) out += "event: samples\ndata: " + samples_json(samples) + "\n\n";
  if (!status.empty()) out += "event: status\ndata: " + status + "\n\n";
  if (std::chrono::steady_clock::now() >= until) {
    out += "event: end\ndata: {}\n\n";
    if (sink.write(out.data(), out.size())) sink.done();
    return false;
  }
  if (out.empty()) out = ": idle\n\n";  // finds a closed connection
  return sink.write(out.data(), out.size());
}

bool LiveServer::start(std::string& error) {
  std::ifstream in(options_.chartjs_path, std::ios::binary);
  if (in) {
    std::ostringstream text;
    text << in.rdbuf();
    chartjs_ = text.str();
  }
  setup_routes();
  // The library's default also sets SO_REUSEPORT, which lets a second
  // program listen on the same port and take half the requests.
  server_->set_socket_options([](int sock) {
    const int yes = 1;
    (void)setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);  // a refusal leaves the default: harmless
  });
  const std::size_t threads = options_.max_streams + kSpareThreads;
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  // An idle or dribbling connection gives its thread back within a second.
  server_->set_read_timeout(1, 0);
  server_->set_write_timeout(2, 0);
  server_->set_keep_alive_timeout(1);
  server_->set_payload_max_length(kMaxBody);
  const std::string where = url_host(options_.address) + ":" + std::to_string(options_.port);
  errno = 0;
  if (options_.port == 0) {
    port_ = server_->bind_to_any_port(options_.address.c_str());
    if (port_ <= 0) {
      error = "cannot listen on " + options_.address + (errno != 0 ? std::string(": ") + std::strerror(errno) : "");
      return false;
    }
  } else {
    if (!server_->bind_to_port(options_.address.c_str(), options_.port)) {
      const int e = errno;
      error = "cannot listen on " + where + ": " +
              (e == EADDRINUSE ? "the port is in use by another program (choose another, or 0 for any free port)"
               : e == EADDRNOTAVAIL ? "not an address of this machine"
               : e != 0 ? std::strerror(e)
                        : "address not local, or port in use");
      return false;
    }
    port_ = options_.port;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // A stop() before the thread listens would be missed, and the thread
  // would then listen for good.
  for (int i = 0; i < 1000 && !server_->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void LiveServer::stop() {
  if (stopping_.exchange(true)) return;
  {
    std::lock_guard lock(mutex_);
    for (const auto& c : clients_) c->wake.notify_all();
  }
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::unique_ptr<LiveServer> start_live_page(const std::string& serve, const std::string& title,
                                            std::vector<LiveButton> buttons, std::string& error) {
  ServeAddress where;
  error = parse_serve(serve, where);
  if (!error.empty()) return nullptr;
  LiveServer::Options options;
  options.address = where.address;
  options.port = where.port;
  options.title = title;
  auto server = std::make_unique<LiveServer>(options);
  for (auto& b : buttons) server->add_action(b.name, b.label, std::move(b.handler));
  if (!server->start(error)) return nullptr;
  return server;
}

std::string live_page_notice(const LiveServer& server, const std::string& prefix) {
  return prefix + "live page at " + server.url() + "\n" + prefix + "scripts press its buttons with the header " +
         LiveServer::kTokenHeader + ": " + server.token() + "\n";
}

}  // namespace station
