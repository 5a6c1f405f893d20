// The messages of the kill test: about 20 KB, every other one with an
// attachment, and a last line that shows the text arrived whole.
#pragma once

#include <string>

namespace store::testing {

inline std::string KillSubject(int run, int n) {
  return "kill " + std::to_string(run) + "-" + std::to_string(n);
}

inline std::string KillEnd(int run, int n) {
  return "END " + std::to_string(run) + "-" + std::to_string(n) + "\r\n";
}

inline bool KillHasAttachment(int n) { return n % 2 == 1; }

inline std::string KillMessage(int run, int n) {
  std::string line(76, 'x');
  std::string body;
  for (int i = 0; i < 260; ++i) body += line + "\r\n";
  std::string head = "From: a@example.com\r\nTo: b@example.com\r\nSubject: " + KillSubject(run, n) +
                     "\r\nMIME-Version: 1.0\r\n";
  if (!KillHasAttachment(n)) {
    return head + "Content-Type: text/plain\r\n\r\n" + body + KillEnd(run, n);
  }
  return head +
         "Content-Type: multipart/mixed; boundary=\"B\"\r\n\r\n--B\r\n"
         "Content-Type: text/plain\r\n\r\n" +
         body +
         "--B\r\nContent-Type: text/plain; name=\"Quarantined Attachment.txt\"\r\n"
         "Content-Disposition: attachment; filename=\"Quarantined Attachment.txt\"\r\n\r\n"
         "removed\r\n--B--\r\n" +
         KillEnd(run, n);
}

}  // namespace store::testing
