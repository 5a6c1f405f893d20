#include "tools/zenthra-lmtpd/trace.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace lmtp {

std::string MailDate(std::chrono::system_clock::time_point when) {
  time_t t = std::chrono::system_clock::to_time_t(when);
  struct tm local;
  localtime_r(&t, &local);
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  long offset = local.tm_gmtoff / 60;
  char sign = offset < 0 ? '-' : '+';
  offset = std::labs(offset);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                kDays[local.tm_wday % 7], local.tm_mday, kMonths[local.tm_mon % 12],
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, sign, offset / 60,
                offset % 60);
  return text;
}

std::string TraceLines(const Trace& trace, const Path& sender, const Address& recipient,
                       std::chrono::system_clock::time_point when) {
  std::string lines = "Return-Path: <" + (sender.null ? "" : sender.address.Text()) + ">\r\n";
  lines += "Received: from " + trace.helo + " (" + trace.peer + ")\r\n";
  lines += "\tby " + trace.host + " (Zenthra) with LMTP id " + trace.id + "\r\n";
  lines += "\tfor <" + recipient.Text() + ">; " + MailDate(when) + "\r\n";
  return lines;
}

std::string NewTransactionId() {
  // Seconds since the epoch, then a counter: ids sort by time and never
  // repeat unless the clock goes back while the counter wraps.
  static std::atomic<unsigned> counter{static_cast<unsigned>(::getpid()) << 16};
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now).count();
  char text[32];
  std::snprintf(text, sizeof text, "%llX%08X", static_cast<unsigned long long>(seconds),
                counter.fetch_add(1));
  return text;
}

}  // namespace lmtp
