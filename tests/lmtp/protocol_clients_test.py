"""zenthra-lmtpd driven by mail clients nobody here wrote: Python's
smtplib.LMTP and swaks, plus a plain socket where a client must misbehave."""

import os
import smtplib
import subprocess
import time
import unittest

from harness import PATIENCE, Client, ServiceTestCase, message, subject_counts


class ProtocolWithRealClients(ServiceTestCase):

    def setUp(self):
        super().setUp()
        self.service = self.start("--max-size", "20000")

    def lmtp(self):
        client = smtplib.LMTP(self.service.socket, timeout=PATIENCE)
        code, _ = client.ehlo("client.example.org")
        self.assertEqual(code, 250)
        return client

    def test_answers_each_recipient_after_the_message(self):
        client = self.lmtp()
        self.assertIn("pipelining", client.esmtp_features)
        self.assertIn("enhancedstatuscodes", client.esmtp_features)
        self.assertIn("8bitmime", client.esmtp_features)
        self.assertEqual(client.esmtp_features.get("size"), "20000")
        self.assertEqual(client.mail("sender@example.org", ["BODY=8BITMIME", "SIZE=300"])[0], 250)
        self.assertEqual(client.rcpt("John.Doe@EXAMPLE.com")[0], 250)  # the directory's
        code, text = client.rcpt("nobody@example.com")
        self.assertEqual((code, text[:5]), (550, b"5.1.1"))
        self.assertEqual(client.rcpt("asmith@example.com")[0], 250)  # a local part
        self.assertEqual(client.rcpt("jdoe@elsewhere.org")[0], 550)
        # jdoe a second time, by its local part: one more reply, one copy.
        self.assertEqual(client.rcpt("jdoe@mx.example.com")[0], 250)
        code, text = client.data(message("Mixed results").encode())
        replies = [(code, text)] + [client.getreply() for _ in range(2)]
        self.assertEqual([c for c, _ in replies], [250, 250, 250])
        self.assertIn(b"<John.Doe@EXAMPLE.com>", replies[0][1])
        self.assertIn(b"<jdoe@mx.example.com>", replies[2][1])
        self.assertEqual(client.noop()[0], 250)  # the replies did not run out of step
        client.quit()
        self.assertEqual(subject_counts(self.root.names("jdoe")), {"Mixed results": 1})
        self.assertEqual(subject_counts(self.root.names("asmith")), {"Mixed results": 1})
        stored = self.root.raw("jdoe", self.root.names("jdoe")[0])
        self.assertTrue(stored.startswith("Return-Path: <sender@example.org>\r\nReceived: from "
                                          "client.example.org (unix socket, uid "), stored[:200])
        self.assertIn("by mx.example.com (Zenthra) with LMTP id ", stored)
        self.assertIn("for <John.Doe@EXAMPLE.com>; ", stored)
        self.assertIn("Subject: Mixed results\r\n", stored)
        log = self.service.log()
        self.assertIn("rejected recipient <nobody@example.com>", log)
        self.assertEqual(log.count("delivered id="), 3)

    def test_swaks_delivers_and_is_told_about_each_recipient(self):
        result = subprocess.run(
            ["swaks", "--protocol", "LMTP", "--socket", self.service.socket,
             "--from", "scanner@example.org", "--helo", "relay.example.org",
             "--to", "carl.berg@example.com,ghost@example.com,dlind@example.com",
             "--header", "Subject: Via swaks", "--body", "Body line\n.starts with a dot\n"],
            capture_output=True, text=True, timeout=PATIENCE)
        self.assertIn("<** 550 5.1.1 <ghost@example.com>", result.stdout)
        self.assertEqual(result.stdout.count("250 2.0.0"), 2, result.stdout)
        self.assertEqual(subject_counts(self.root.names("cberg")), {"Via swaks": 1})
        stored = self.root.raw("dlind", self.root.names("dlind")[0])
        self.assertIn("\r\nBody line\r\n.starts with a dot\r\n", stored)
        self.assertIn("Received: from relay.example.org", stored)

    def test_pipelined_commands_in_one_write(self):
        client = Client(self.service.socket)
        self.assertEqual(client.reply()[0], 220)
        client.send("LHLO pipe.example.org\r\nMAIL FROM:<> BODY=8BITMIME\r\n"
                    "RCPT TO:<jdoe@example.com>\r\nRCPT TO:<ghost@example.com>\r\n"
                    "RCPT TO:<anna.schmidt@example.com>\r\nDATA\r\n"
                    "Subject: Pipelined\r\n\r\nline\r\n.\r\n"
                    "MAIL FROM:<a@example.org>\r\nRCPT TO:<cberg@example.com>\r\nDATA\r\n"
                    "Subject: Second\r\n\r\nx\r\n.\r\nQUIT\r\n")
        self.assertEqual(client.replies(12),
                         [250, 250, 250, 550, 250, 354, 250, 250, 250, 250, 354, 250])
        self.assertEqual(client.reply()[0], 221)
        self.assertEqual(client.reply(), (0, ""))
        self.assertEqual(subject_counts(self.root.names("jdoe")), {"Pipelined": 1})
        self.assertEqual(subject_counts(self.root.names("asmith")), {"Pipelined": 1})
        self.assertEqual(subject_counts(self.root.names("cberg")), {"Second": 1})
        self.assertIn("Return-Path: <>\r\n", self.root.raw("jdoe", self.root.names("jdoe")[0]))

    def test_size_limit_exactly_and_one_octet_over(self):
        def exactly(size, subject):
            text = message(subject)
            while len(text) + 80 < size:
                text += "x" * 78 + "\r\n"
            return text + "x" * (size - len(text) - 2) + "\r\n"
        client = self.lmtp()
        for subject, size, code in (("At the limit", 20000, 250), ("One over", 20001, 552)):
            text = exactly(size, subject)
            self.assertEqual(len(text), size)
            client.mail("s@example.org")
            client.rcpt("jdoe@example.com")
            client.rcpt("cberg@example.com")
            replies = [client.data(text.encode())[0], client.getreply()[0]]
            self.assertEqual(replies, [code, code], subject)
        # Announced sizes are refused before any data.
        self.assertEqual(client.mail("s@example.org", ["SIZE=20001"])[0], 552)
        self.assertEqual(client.mail("s@example.org", ["SIZE=20000"])[0], 250)
        client.quit()
        self.assertEqual(subject_counts(self.root.names("jdoe")), {"At the limit": 1})
        self.assertEqual(subject_counts(self.root.names("cberg")), {"At the limit": 1})

    def test_dot_stuffed_lines_and_bare_line_feeds(self):
        # smtplib stuffs the dots itself; the store must get them back.
        client = self.lmtp()
        body = ".hidden\r\n.\r\n..two\r\nend\r\n"
        client.sendmail("s@example.org", ["jdoe@example.com"], message("Dots", body=body))
        client.quit()
        stored = self.root.raw("jdoe", self.root.names("jdoe")[0])
        self.assertTrue(stored.endswith("\r\n\r\n" + body), stored[-80:])

        raw = Client(self.service.socket)
        raw.reply()
        raw.send("LHLO lf.example.org\nMAIL FROM:<s@example.org>\nRCPT TO:<asmith@example.com>\n"
                 "DATA\nSubject: Bare LF\n\nfirst\n..second\nthird\r\n.\n")
        self.assertEqual(raw.replies(5), [250, 250, 250, 354, 250])
        raw.close()
        stored = self.root.raw("asmith", self.root.names("asmith")[0])
        self.assertTrue(stored.endswith("Subject: Bare LF\r\n\r\nfirst\r\n.second\r\nthird\r\n"))
        self.assertNotIn("\n", stored.replace("\r\n", ""))

    def test_a_client_gone_in_the_middle_of_a_message_stores_nothing(self):
        raw = Client(self.service.socket)
        raw.reply()
        self.assertEqual(raw.begin_message(["jdoe@example.com"], "Subject: Half\r\n\r\nthe first"),
                         [250, 250, 250, 354])
        raw.close()
        self.service.wait_for_log("closed in the middle of a transaction")
        # The service goes on; the next message arrives alone.
        client = self.lmtp()
        client.sendmail("s@example.org", ["jdoe@example.com"], message("Whole"))
        client.quit()
        self.assertEqual(subject_counts(self.root.names("jdoe")), {"Whole": 1})

    def test_limits_and_refusals_are_answered_clearly(self):
        raw = Client(self.service.socket)
        raw.reply()
        raw.send("EHLO c.example.org\r\nLHLO c.example.org\r\nVRFY jdoe\r\n"
                 "MAIL FROM:<s@example.org>\r\nRCPT TO:<jdoe@example.com>\r\nDATA\r\n"
                 "Subject: Long\r\n\r\n" + "y" * 1200 + "\r\n.\r\n"
                 "NOOP " + "z" * 600 + "\r\nRSET\r\n")
        codes = raw.replies(9)
        self.assertEqual(codes, [500, 250, 502, 250, 250, 354, 554, 500, 250])
        raw.close()
        self.assertEqual(self.root.names("jdoe"), [])


if __name__ == "__main__":
    unittest.main()
