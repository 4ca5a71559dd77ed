// Plain HTTP/1.0 requests to a live page on this machine, with every wait
// bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace test_http {

using namespace std::chrono_literals;

inline int connect_local(int port, int receive_buffer = 0) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  if (receive_buffer > 0) setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// One plain HTTP/1.0 request addressed to the server as it serves, with
// `headers` (each ending in CRLF) added; the whole answer, or what arrived
// within `limit`.
inline std::string http(int port, const std::string& request, std::chrono::milliseconds limit = 3s,
                        const std::string& headers = "Content-Length: 0\r\n") {
  const int s = connect_local(port);
  if (s < 0) return {};
  const std::string text = request + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + headers + "\r\n";
  (void)!write(s, text.data(), text.size());
  timeval tv{0, 100'000};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string answer;
  char buffer[4096];
  const auto until = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < until) {
    const ssize_t n = read(s, buffer, sizeof buffer);
    if (n == 0) break;
    if (n > 0) answer.append(buffer, static_cast<std::size_t>(n));
  }
  close(s);
  return answer;
}

// A POST that carries the run's token, as the page sends it.
inline std::string post(int port, const std::string& path, const std::string& token) {
  return http(port, "POST " + path, 3s, "Content-Length: 0\r\nX-Live-Token: " + token + "\r\n");
}

// The token a program prints for scripts ("... X-Live-Token: <token>").
inline std::string token_in(const std::string& output) {
  const std::string mark = "X-Live-Token: ";
  const auto at = output.find(mark);
  return at == std::string::npos ? std::string() : output.substr(at + mark.size(), 32);
}

}  // namespace test_http
