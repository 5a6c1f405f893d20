#include "platform/mime/mime.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using mime::Analyze;
using mime::ItemName;

// A multipart/mixed message with a plain body and one extra part whose
// headers are given whole.
std::string WithPart(const std::string& part_headers, const std::string& part_body = "data\r\n") {
  return "From: Alice <alice@example.com>\r\n"
         "To: bob@example.com\r\n"
         "Subject: test\r\n"
         "Message-ID: <m1@example.com>\r\n"
         "MIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"XX\"\r\n"
         "\r\n"
         "--XX\r\n"
         "Content-Type: text/plain; charset=us-ascii\r\n"
         "\r\n"
         "Body text.\r\n"
         "--XX\r\n" +
         part_headers + "\r\n" + part_body + "--XX--\r\n";
}

std::string OnlyFileName(const std::string& part_headers) {
  mime::MessageInfo info = Analyze(WithPart(part_headers));
  EXPECT_TRUE(info.parsed);
  if (info.attachments.size() != 1) {
    ADD_FAILURE() << "expected one attachment, got " << info.attachments.size();
    return "";
  }
  return info.attachments[0].file_name;
}

TEST(MimeAnalyze, HeadersAreDecoded) {
  std::string msg =
      "From: =?utf-8?Q?J=C3=BCrgen_M=C3=BCller?= <jm@example.de>\r\n"
      "To: Bob <bob@example.com>, carol@example.com\r\n"
      "Subject: =?iso-8859-1?Q?Gr=FC=DFe?= aus Bern\r\n"
      "Message-ID: <abc.123@example.de>\r\n"
      "\r\n"
      "Hello\r\n";
  mime::MessageInfo info = Analyze(msg);
  EXPECT_TRUE(info.parsed);
  EXPECT_FALSE(info.has_attachment);
  EXPECT_TRUE(info.attachments.empty());
  EXPECT_EQ(info.subject, "Grüße aus Bern");
  EXPECT_EQ(info.from, "Jürgen Müller <jm@example.de>");
  EXPECT_EQ(info.to, "Bob <bob@example.com>, carol@example.com");
  EXPECT_EQ(info.message_id, "<abc.123@example.de>");
}

TEST(MimeAnalyze, MarkerAttachmentBesideBody) {
  mime::MessageInfo info = Analyze(
      WithPart("Content-Type: text/plain; charset=us-ascii\r\n"
               "Content-Disposition: attachment; filename=\"Quarantined Attachment.txt\"\r\n",
               "The attachment was removed by the virus scanner.\r\n"));
  ASSERT_TRUE(info.parsed);
  EXPECT_TRUE(info.has_attachment);
  ASSERT_EQ(info.attachments.size(), 1u);
  EXPECT_EQ(info.attachments[0].file_name, "Quarantined Attachment.txt");
  EXPECT_EQ(info.attachments[0].content_type, "text/plain");
  EXPECT_EQ(info.subject, "test");
  EXPECT_EQ(info.from, "Alice <alice@example.com>");
  EXPECT_EQ(info.message_id, "<m1@example.com>");
}

TEST(MimeAnalyze, FileNameEncodings) {
  // Plain and quoted.
  EXPECT_EQ(OnlyFileName("Content-Type: application/pdf\r\n"
                         "Content-Disposition: attachment; filename=report.pdf\r\n"),
            "report.pdf");
  EXPECT_EQ(
      OnlyFileName("Content-Type: application/pdf\r\n"
                   "Content-Disposition: attachment; filename=\"annual report; 2026.pdf\"\r\n"),
      "annual report; 2026.pdf");
  // RFC 2047 B and Q encoded-words inside the quoted value.
  EXPECT_EQ(OnlyFileName("Content-Type: text/plain\r\n"
                         "Content-Disposition: attachment;\r\n"
                         " filename=\"=?UTF-8?B?UXVhcmFudMOkbmUudHh0?=\"\r\n"),
            "Quarantäne.txt");
  EXPECT_EQ(OnlyFileName("Content-Type: text/plain\r\n"
                         "Content-Disposition: attachment;\r\n"
                         " filename=\"=?iso-8859-1?Q?Quarant=E4ne=2Etxt?=\"\r\n"),
            "Quarantäne.txt");
  // RFC 2231 with a charset, and with numbered continuations.
  EXPECT_EQ(OnlyFileName("Content-Type: text/plain\r\n"
                         "Content-Disposition: attachment;\r\n"
                         " filename*=utf-8''Quarant%C3%A4ne.txt\r\n"),
            "Quarantäne.txt");
  EXPECT_EQ(OnlyFileName("Content-Type: text/plain\r\n"
                         "Content-Disposition: attachment;\r\n"
                         " filename*0*=iso-8859-1'de'Quarant%E4ne%20;\r\n"
                         " filename*1=\"Attachment\";\r\n"
                         " filename*2*=%2Etxt\r\n"),
            "Quarantäne Attachment.txt");
  // Content-Type name only, with and without a disposition.
  EXPECT_EQ(OnlyFileName("Content-Type: application/zip; name=\"files.zip\"\r\n"), "files.zip");
  EXPECT_EQ(OnlyFileName("Content-Type: application/zip; name=\"files.zip\"\r\n"
                         "Content-Disposition: attachment\r\n"),
            "files.zip");
  // filename wins over name.
  EXPECT_EQ(OnlyFileName("Content-Type: application/zip; name=\"old.zip\"\r\n"
                         "Content-Disposition: attachment; filename=\"new.zip\"\r\n"),
            "new.zip");
  // Raw UTF-8 without any encoding, as some mailers send it.
  EXPECT_EQ(OnlyFileName("Content-Type: text/plain\r\n"
                         "Content-Disposition: attachment; filename=\"Quarantäne.txt\"\r\n"),
            "Quarantäne.txt");
}

TEST(MimeAnalyze, BadCharsetsGiveBestEffortUtf8) {
  // An unknown charset and raw Latin-1 bytes must neither fail nor yield
  // invalid UTF-8.
  std::string unknown = OnlyFileName(
      "Content-Type: text/plain\r\n"
      "Content-Disposition: attachment; filename=\"=?x-no-such-charset?Q?na=E4me.txt?=\"\r\n");
  EXPECT_EQ(unknown, "naäme.txt");
  std::string latin1 = OnlyFileName(
      "Content-Type: text/plain\r\n"
      "Content-Disposition: attachment; filename=\"Quarant\xE4ne.txt\"\r\n");
  EXPECT_EQ(latin1, "Quarantäne.txt");
  std::string bad_2231 = OnlyFileName(
      "Content-Type: text/plain\r\n"
      "Content-Disposition: attachment; filename*=bogus''%FF%FEx.txt\r\n");
  EXPECT_NE(bad_2231.find("x.txt"), std::string::npos);
  for (const std::string& s : {unknown, latin1, bad_2231}) {
    // Every byte sequence must be valid UTF-8.
    for (std::size_t i = 0; i < s.size();) {
      unsigned char c = static_cast<unsigned char>(s[i]);
      std::size_t n = c < 0x80         ? 1
                      : (c >> 5) == 6  ? 2
                      : (c >> 4) == 14 ? 3
                      : (c >> 3) == 30 ? 4
                                       : 0;
      ASSERT_NE(n, 0u) << s;
      ASSERT_LE(i + n, s.size()) << s;
      for (std::size_t k = 1; k < n; ++k)
        ASSERT_EQ(static_cast<unsigned char>(s[i + k]) >> 6, 2) << s;
      i += n;
    }
  }
}

TEST(MimeAnalyze, BodiesAreNotAttachments) {
  std::string alternative =
      "Subject: alt\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: multipart/alternative; boundary=AA\r\n"
      "\r\n"
      "--AA\r\n"
      "Content-Type: text/plain; charset=utf-8\r\n"
      "\r\n"
      "plain\r\n"
      "--AA\r\n"
      "Content-Type: text/html; charset=utf-8\r\n"
      "\r\n"
      "<p>html</p>\r\n"
      "--AA--\r\n";
  mime::MessageInfo info = Analyze(alternative);
  EXPECT_TRUE(info.parsed);
  EXPECT_FALSE(info.has_attachment);
  EXPECT_TRUE(info.attachments.empty());

  // A single text body that carries a name is still the body.
  info = Analyze(
      "Subject: s\r\nContent-Type: text/plain; name=\"body.txt\"\r\n"
      "Content-Disposition: inline\r\n\r\nhello\r\n");
  EXPECT_FALSE(info.has_attachment);

  // Named text with no disposition where the body stands is a file: a
  // scanner that replaced a message's only part leaves exactly this.
  info = Analyze(
      "Subject: s\r\nContent-Type: text/plain; name=\"Quarantined Attachment.txt\"\r\n\r\n"
      "removed\r\n");
  ASSERT_EQ(info.attachments.size(), 1u);
  EXPECT_EQ(info.attachments[0].file_name, "Quarantined Attachment.txt");
  info = Analyze(
      "Subject: s\r\nContent-Type: multipart/mixed; boundary=Q\r\n\r\n"
      "--Q\r\nContent-Type: text/plain; name=\"Quarantined Attachment.txt\"\r\n\r\nremoved\r\n"
      "--Q--\r\n");
  ASSERT_EQ(info.attachments.size(), 1u);

  // Inline text parts without names after the body are not attachments.
  info = Analyze(WithPart("Content-Type: text/plain\r\nContent-Disposition: inline\r\n"));
  EXPECT_FALSE(info.has_attachment);

  // An HTML body with an embedded image, inside an alternative.
  info = Analyze(
      "Subject: rel\r\n"
      "Content-Type: multipart/alternative; boundary=A1\r\n\r\n"
      "--A1\r\nContent-Type: text/plain\r\n\r\nplain\r\n"
      "--A1\r\nContent-Type: multipart/related; boundary=R1\r\n\r\n"
      "--R1\r\nContent-Type: text/html\r\n\r\n<img src=\"cid:logo@x\">\r\n"
      "--R1\r\nContent-Type: image/png; name=\"logo.png\"\r\nContent-ID: <logo@x>\r\n"
      "Content-Disposition: inline; filename=\"logo.png\"\r\n\r\nPNG\r\n"
      "--R1--\r\n"
      "--A1--\r\n");
  EXPECT_TRUE(info.parsed);
  EXPECT_FALSE(info.has_attachment);
}

TEST(MimeAnalyze, AttachmentsInNestedBodies) {
  // mixed( alternative(text, html), marker, pdf ): two attachments, in order.
  std::string msg =
      "Subject: nested\r\n"
      "Content-Type: multipart/mixed; boundary=M\r\n\r\n"
      "--M\r\nContent-Type: multipart/alternative; boundary=A\r\n\r\n"
      "--A\r\nContent-Type: text/plain\r\n\r\nplain\r\n"
      "--A\r\nContent-Type: text/html\r\n\r\n<p>x</p>\r\n"
      "--A--\r\n"
      "--M\r\nContent-Type: text/plain; name=\"Quarantined Attachment.txt\"\r\n\r\nremoved\r\n"
      "--M\r\nContent-Type: application/pdf\r\n"
      "Content-Disposition: attachment; filename=\"a.pdf\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0=\r\n"
      "--M--\r\n";
  mime::MessageInfo info = Analyze(msg);
  ASSERT_TRUE(info.has_attachment);
  ASSERT_EQ(info.attachments.size(), 2u);
  EXPECT_EQ(info.attachments[0].file_name, "Quarantined Attachment.txt");
  EXPECT_EQ(info.attachments[0].content_type, "text/plain");
  EXPECT_EQ(info.attachments[1].file_name, "a.pdf");
  EXPECT_EQ(info.attachments[1].content_type, "application/pdf");

  // A non-text single-part body with a name is an attachment; an
  // attachment disposition makes even unnamed text one.
  info = Analyze("Subject: s\r\nContent-Type: application/pdf; name=\"only.pdf\"\r\n\r\n%PDF\r\n");
  ASSERT_EQ(info.attachments.size(), 1u);
  EXPECT_EQ(info.attachments[0].file_name, "only.pdf");
  info = Analyze(WithPart("Content-Type: text/plain\r\nContent-Disposition: attachment\r\n"));
  ASSERT_EQ(info.attachments.size(), 1u);
  EXPECT_EQ(info.attachments[0].file_name, "");
  EXPECT_EQ(info.attachments[0].content_type, "text/plain");

  // The signature of a signed message is not an attachment; what it signs is
  // looked at.
  info = Analyze(
      "Subject: signed\r\n"
      "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\";"
      " micalg=sha-256; boundary=S\r\n\r\n"
      "--S\r\nContent-Type: multipart/mixed; boundary=M\r\n\r\n"
      "--M\r\nContent-Type: text/plain\r\n\r\nbody\r\n"
      "--M\r\nContent-Type: text/plain\r\n"
      "Content-Disposition: attachment; filename=\"Quarantined Attachment.txt\"\r\n\r\nx\r\n"
      "--M--\r\n"
      "--S\r\nContent-Type: application/pkcs7-signature; name=smime.p7s\r\n"
      "Content-Disposition: attachment; filename=smime.p7s\r\n\r\nMIAG\r\n"
      "--S--\r\n");
  ASSERT_EQ(info.attachments.size(), 1u);
  EXPECT_EQ(info.attachments[0].file_name, "Quarantined Attachment.txt");
}

TEST(MimeAnalyze, AttachedMessageCountsOnce) {
  std::string inner =
      "From: carol@example.com\r\n"
      "Subject: inner\r\n"
      "Content-Type: multipart/mixed; boundary=IN\r\n\r\n"
      "--IN\r\nContent-Type: text/plain\r\n\r\ninner body\r\n"
      "--IN\r\nContent-Type: text/plain\r\n"
      "Content-Disposition: attachment; filename=\"Quarantined Attachment.txt\"\r\n\r\nx\r\n"
      "--IN--\r\n";
  mime::MessageInfo info = Analyze(WithPart(
      "Content-Type: message/rfc822\r\nContent-Disposition: attachment; filename=\"fwd.eml\"\r\n",
      inner));
  ASSERT_TRUE(info.parsed);
  ASSERT_EQ(info.attachments.size(), 1u);
  EXPECT_EQ(info.attachments[0].file_name, "fwd.eml");
  EXPECT_EQ(info.attachments[0].content_type, "message/rfc822");
  EXPECT_EQ(info.subject, "test");

  // Inline and unnamed, it is still one attachment of the outer message.
  info = Analyze(WithPart("Content-Type: message/rfc822\r\n", inner));
  ASSERT_EQ(info.attachments.size(), 1u);
  EXPECT_EQ(info.attachments[0].file_name, "");
  EXPECT_EQ(info.attachments[0].content_type, "message/rfc822");
}

TEST(MimeAnalyze, MalformedInputGivesAResult) {
  // Truncated: the closing boundary and half of the attachment are missing.
  std::string truncated = WithPart(
      "Content-Type: text/plain\r\n"
      "Content-Disposition: attachment; filename=\"Quarantined Attachment.txt\"\r\n");
  truncated = truncated.substr(0, truncated.size() - 14);
  mime::MessageInfo info = Analyze(truncated);
  EXPECT_TRUE(info.parsed);
  ASSERT_EQ(info.attachments.size(), 1u);
  EXPECT_EQ(info.attachments[0].file_name, "Quarantined Attachment.txt");

  // A boundary that never appears: the whole is the body, no attachments.
  info = Analyze("Subject: x\r\nContent-Type: multipart/mixed; boundary=NOPE\r\n\r\nhello\r\n");
  EXPECT_FALSE(info.has_attachment);
  EXPECT_EQ(info.subject, "x");

  // Nothing that could be a message.
  EXPECT_FALSE(Analyze("").parsed);
  EXPECT_FALSE(Analyze("just some text\r\nand more\r\n").parsed);

  // Empty headers, binary bytes and NULs in the header block.
  for (std::string text : {std::string("just some text\r\nand more\r\n"), std::string(),
                           std::string("\r\n\r\n"), std::string("\0\x01\xff\xfe:\r\n\0\0", 9)}) {
    info = Analyze(text);
    EXPECT_FALSE(info.has_attachment);
    EXPECT_TRUE(info.attachments.empty());
  }
  std::string garbage;
  unsigned state = 12345;
  for (int i = 0; i < 64 * 1024; ++i) {
    state = state * 1103515245u + 12345u;
    garbage += static_cast<char>(state >> 16);
  }
  info = Analyze(garbage);
  if (!info.parsed) {
    EXPECT_FALSE(info.has_attachment);
  }

  // Nesting far deeper than any real mail.
  std::string deep = "Subject: deep\r\n";
  for (int i = 0; i < 500; ++i) {
    deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" +
            std::to_string(i) + "\r\n";
  }
  deep += "Content-Type: text/plain; name=\"x.txt\"\r\n\r\nx\r\n";
  info = Analyze(deep);
  EXPECT_TRUE(info.parsed);
}

TEST(MimeAnalyze, ConcurrentCallsAgree) {
  const std::string marker = WithPart(
      "Content-Type: text/plain\r\n"
      "Content-Disposition: attachment; filename*=utf-8''Quarant%C3%A4ne.txt\r\n");
  const std::string plain = "Subject: =?utf-8?B?w7xiZXI=?=\r\n\r\nno attachments\r\n";
  std::vector<std::thread> threads;
  std::vector<int> failures(6, 0);
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        mime::MessageInfo a = Analyze(marker);
        mime::MessageInfo b = Analyze(plain);
        if (!a.has_attachment || a.attachments.size() != 1 ||
            a.attachments[0].file_name != "Quarantäne.txt" || b.has_attachment ||
            b.subject != "über") {
          ++failures[t];
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < 6; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

TEST(MimeItemName, SanitisesAndNumbers) {
  EXPECT_EQ(ItemName("Hello world", 0), "Hello world.EML");
  EXPECT_EQ(ItemName("Hello world", 1), "Hello world-1.EML");
  EXPECT_EQ(ItemName("Hello world", 12), "Hello world-12.EML");
  EXPECT_EQ(ItemName("a/b\\c:d*e?f\"g<h>i|j", 0), "a_b_c_d_e_f_g_h_i_j.EML");
  EXPECT_EQ(ItemName("tab\there\r\nnl\x7f", 0), "tab_here__nl_.EML");
  EXPECT_EQ(ItemName("   padded   ", 0), "padded.EML");
  EXPECT_EQ(ItemName("", 0), "Untitled.EML");
  EXPECT_EQ(ItemName("    ", 2), "Untitled-2.EML");
  EXPECT_EQ(ItemName("Grüße ☃", 0), "Grüße ☃.EML");
  // Bytes that are not UTF-8 never reach a name.
  EXPECT_EQ(ItemName("bad\xff\xfe"
                     "byte",
                     0),
            "bad__byte.EML");
  EXPECT_EQ(ItemName(std::string("nul\0x", 5), 0), "nul_x.EML");
  EXPECT_EQ(ItemName("Weird", -3), "Weird.EML");
}

TEST(MimeItemName, LimitsTheStemInCharacters) {
  std::string sixty(60, 'a');
  EXPECT_EQ(ItemName(sixty + "bbb", 0), sixty + ".EML");
  EXPECT_EQ(ItemName(sixty + "bbb", 7), sixty + "-7.EML");
  // 70 two-byte characters: the cut counts characters, never splits one.
  std::string umlauts;
  for (int i = 0; i < 70; ++i) umlauts += "ä";
  std::string expected;
  for (int i = 0; i < 60; ++i) expected += "ä";
  EXPECT_EQ(ItemName(umlauts, 0), expected + ".EML");
  // A cut that ends in spaces is trimmed again.
  EXPECT_EQ(ItemName(std::string(58, 'x') + "   tail", 0), std::string(58, 'x') + ".EML");
}

}  // namespace
