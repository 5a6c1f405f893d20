// Sample RFC 5322 messages for the store tests.
#pragma once

#include <string>

namespace store::testing {

inline std::string PlainMessage(const std::string& subject) {
  return "From: a@example.com\r\nTo: b@example.com\r\nSubject: " + subject +
         "\r\nMessage-ID: <1@example.com>\r\n\r\nHello.\r\n";
}

inline std::string MessageWithAttachment(const std::string& subject, const std::string& file) {
  return "From: a@example.com\r\nTo: b@example.com\r\nSubject: " + subject +
         "\r\nMIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n"
         "--XX\r\nContent-Type: text/plain\r\n\r\nBody.\r\n"
         "--XX\r\nContent-Type: text/plain; name=\"" +
         file + "\"\r\nContent-Disposition: attachment; filename=\"" + file +
         "\"\r\n\r\nThe attachment was removed.\r\n--XX--\r\n";
}

}  // namespace store::testing
