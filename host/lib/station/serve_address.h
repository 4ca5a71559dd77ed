// Where a live page listens: "[ADDR:]PORT", on 127.0.0.1 unless an address
// is given, so a page is never reachable from elsewhere by accident. An IPv6
// address goes in brackets, as in a URL: "[::1]:8080".
#pragma once

#include <string>

namespace station {

struct ServeAddress {
  std::string address = "127.0.0.1";  // without brackets
  int port = 0;  // 0: any free port
};

// Empty when `text` parses into `out`, otherwise why it does not.
inline std::string parse_serve(const std::string& text, ServeAddress& out) {
  std::string port_text = text;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
      return "an address in brackets is followed by ':PORT', as in [::1]:8080";
    out.address = text.substr(1, close - 1);
    port_text = text.substr(close + 2);
    if (out.address.empty()) return "the address in brackets is empty";
  } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
    out.address = text.substr(0, colon);
    port_text = text.substr(colon + 1);
    if (out.address.empty()) return "address before ':' is empty";
    if (out.address.find(':') != std::string::npos)
      return "an IPv6 address goes in brackets, as in [" + out.address + "]:" + port_text;
  }
  if (port_text.empty() || port_text.find_first_not_of("0123456789") != std::string::npos || port_text.size() > 5)
    return "port must be a number 0..65535, not '" + port_text + "'";
  out.port = std::stoi(port_text);
  if (out.port > 65535) return "port must be a number 0..65535, not '" + port_text + "'";
  return {};
}

}  // namespace station
