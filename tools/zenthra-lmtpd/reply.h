// One reply of the service: a three-digit code and a text that starts with
// the enhanced status code ("250", "2.0.0 OK").
#pragma once

#include <string>

namespace lmtp {

struct Reply {
  int code = 250;
  std::string text;

  bool Positive() const { return code >= 200 && code < 400; }
  bool Temporary() const { return code >= 400 && code < 500; }
  // The reply line with its CRLF.
  std::string Line() const { return std::to_string(code) + " " + text + "\r\n"; }
};

}  // namespace lmtp
