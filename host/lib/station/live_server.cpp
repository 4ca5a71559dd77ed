#include "live_server.h"

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#ifndef STATION_CHARTJS_PATH
#define STATION_CHARTJS_PATH "/usr/share/javascript/chart.js/chart.min.js"
#endif

namespace station {

namespace {

std::string samples_json(const std::deque<LiveSample>& samples) {
  std::string out = "[";
  char item[96];
  for (const LiveSample& s : samples) {
    std::snprintf(item, sizeof item, "%s[%.6f,%.2f,%.2f]", out.size() > 1 ? "," : "", s.t, s.angle, s.setpoint);
    out += item;
  }
  return out + "]";
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    out += c;
  }
  return out + "\"";
}

}  // namespace

struct LiveServer::Client {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<LiveSample> queue;
  std::string status;
  bool status_dirty = true;
};

LiveServer::LiveServer(Options options) : options_(std::move(options)), server_(std::make_unique<httplib::Server>()) {
  if (options_.chartjs_path.empty()) options_.chartjs_path = STATION_CHARTJS_PATH;
}

LiveServer::~LiveServer() { stop(); }

std::string LiveServer::url() const { return "http://" + options_.address + ":" + std::to_string(port_) + "/"; }

void LiveServer::add_action(const std::string& name, const std::string& label, std::function<std::string()> handler) {
  actions_.push_back({name, label, std::move(handler)});
}

std::size_t LiveServer::clients() const {
  std::lock_guard lock(mutex_);
  return clients_.size();
}

std::string LiveServer::actions_json() const {
  std::string out = "[";
  for (const Action& a : actions_) {
    if (out.size() > 1) out += ",";
    out += "{\"name\":" + quoted(a.name) + ",\"label\":" + quoted(a.label) + "}";
  }
  return out + "]";
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
  server_->Get("/", [this](const Request&, Response& res) {
    std::string page = kLivePage;
    const std::string mark = "@TITLE@";
    for (auto at = page.find(mark); at != std::string::npos; at = page.find(mark)) page.replace(at, mark.size(), options_.title);
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
  server_->Get("/api/status", [this](const Request&, Response& res) {
    std::lock_guard lock(mutex_);
    res.set_content(status_, "application/json");
  });
  server_->Get("/api/actions", [this](const Request&, Response& res) { res.set_content(actions_json(), "application/json"); });
  server_->Post(R"(/api/action/([A-Za-z0-9_-]+))", [this](const Request& req, Response& res) {
    for (const Action& a : actions_) {
      if (a.name == req.matches[1]) {
        res.set_content(a.handler() + "\n", "text/plain");
        return;
      }
    }
    res.status = 404;
    res.set_content("no such action\n", "text/plain");
  });
  server_->Get("/events", [this](const Request&, Response& res) {
    auto client = std::make_shared<Client>();
    {
      std::lock_guard lock(mutex_);
      client->queue = history_;  // the chart starts with the last window
      client->status = status_;
      clients_.push_back(client);
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, client](std::size_t, httplib::DataSink& sink) {
          std::deque<LiveSample> samples;
          std::string status;
          {
            std::unique_lock lock(client->mutex);
            client->wake.wait_for(lock, std::chrono::milliseconds(500), [&] {
              return stopping_.load() || !client->queue.empty() || client->status_dirty;
            });
            samples.swap(client->queue);
            if (client->status_dirty) status = client->status;
            client->status_dirty = false;
          }
          if (stopping_.load()) {
            sink.done();
            return false;
          }
          std::string out;
          if (!samples.empty()) out += "event: samples\ndata: " + samples_json(samples) + "\n\n";
          if (!status.empty()) out += "event: status\ndata: " + status + "\n\n";
          if (out.empty()) out = ": idle\n\n";  // finds a closed connection
          return sink.write(out.data(), out.size());
        },
        [this, client](bool) {
          std::lock_guard lock(mutex_);
          std::erase(clients_, client);
        });
  });
  server_->set_error_handler([](const Request&, Response& res) {
    if (res.body.empty()) res.set_content(res.status == 404 ? "not found\n" : "error\n", "text/plain");
  });
}

bool LiveServer::start(std::string& error) {
  std::ifstream in(options_.chartjs_path, std::ios::binary);
  if (in) {
    std::ostringstream text;
    text << in.rdbuf();
    chartjs_ = text.str();
  }
  setup_routes();
  if (options_.port == 0) {
    port_ = server_->bind_to_any_port(options_.address.c_str());
    if (port_ <= 0) {
      error = "cannot listen on " + options_.address;
      return false;
    }
  } else {
    if (!server_->bind_to_port(options_.address.c_str(), options_.port)) {
      error = "cannot listen on " + options_.address + ":" + std::to_string(options_.port) +
              " (address not local, or port in use)";
      return false;
    }
    port_ = options_.port;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
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

}  // namespace station
