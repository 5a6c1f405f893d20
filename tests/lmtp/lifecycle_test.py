"""zenthra-lmtpd as a service manager runs it: its command line, its
sockets, its limits on connections and idle clients, and an orderly stop
that finishes what is under way."""

import os
import re
import signal
import smtplib
import socket
import stat
import subprocess
import time
import unittest

from harness import (LMTPD, PATIENCE, Client, ServiceTestCase, message, run, subject_counts)


class CommandLine(ServiceTestCase):

    def test_help_and_bad_usage(self):
        result = run([LMTPD, "--help"])
        self.assertIn("usage: zenthra-lmtpd", result.stdout)
        self.assertIn("--max-size", result.stdout)
        for args, why in ((["--listen"], "--listen needs a value"),
                          (["--bogus"], "unknown option"),
                          (["--max-size", "lots", "--listen", "unix:/x"], "whole number"),
                          (["--root", self.root.path], "nothing to listen on")):
            result = run([LMTPD] + args, check=False)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn(why, result.stderr)
            self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)

    @unittest.skipUnless(os.environ.get("ZENTHRA_MALLOC"), "built with the C library's malloc")
    def test_memory_comes_from_the_allocator_it_was_built_with(self):
        # Nothing calls the allocator by name, so a linker that drops unused
        # libraries would leave the service on the C library's malloc unseen.
        wanted = os.environ["ZENTHRA_MALLOC"]
        result = subprocess.run([LMTPD, "--help"], env=dict(os.environ, LD_DEBUG="bindings"),
                                capture_output=True, text=True, check=True)
        for symbol in ("malloc", "free"):
            bound = [line for line in result.stderr.splitlines()
                     if re.search(r"binding file \S*libc\.so\S* .*symbol `%s'" % symbol, line)]
            self.assertTrue(bound, symbol)
            for line in bound:
                self.assertIn("lib%s.so" % wanted, line.split(" to ")[1])

    def test_a_root_that_is_no_server_is_refused(self):
        result = run([LMTPD, "--root", self.folder + "/none", "--listen",
                      "unix:" + self.folder + "/s"], check=False)
        self.assertEqual(result.returncode, 1)
        self.assertIn("zenthra-lmtpd: ", result.stderr)
        self.assertFalse(os.path.exists(self.folder + "/s"))


class Sockets(ServiceTestCase):

    def test_unix_socket_is_0660_whatever_the_umask(self):
        service = self.start(umask=0)
        self.assertEqual(stat.S_IMODE(os.stat(service.socket).st_mode), 0o660)
        self.assertEqual(service.stop(), 0)
        self.assertFalse(os.path.exists(service.socket))

    def test_a_stale_socket_is_replaced_and_a_live_one_is_not(self):
        stale = socket.socket(socket.AF_UNIX)
        path = os.path.join(self.folder, "lmtp.sock")
        stale.bind(path)
        stale.close()
        service = self.start()
        result = run([LMTPD, "--root", self.root.path, "--listen", "unix:" + path], check=False)
        self.assertEqual(result.returncode, 1)
        self.assertIn("another program is listening there", result.stderr)
        self.assertEqual(Client(path).reply()[0], 220)
        with open(os.path.join(self.folder, "plain"), "w"):
            pass
        result = run([LMTPD, "--root", self.root.path, "--listen",
                      "unix:" + os.path.join(self.folder, "plain")], check=False)
        self.assertIn("not a socket", result.stderr)
        self.assertEqual(service.stop(), 0)

    def test_tcp_on_a_free_port(self):
        service = self.start(listen=["--listen", "127.0.0.1:0"])
        port = int(re.search(r"listening on 127\.0\.0\.1:(\d+)", service.log()).group(1))
        client = smtplib.LMTP("127.0.0.1", port, timeout=PATIENCE)
        client.sendmail("s@example.org", ["dlind@example.com"], message("Over TCP"))
        client.quit()
        self.assertEqual(subject_counts(self.root.names("dlind")), {"Over TCP": 1})
        self.assertIn("Received: from ", self.root.raw("dlind", self.root.names("dlind")[0]))
        self.assertIn("([127.0.0.1])", self.root.raw("dlind", self.root.names("dlind")[0]))

    def test_socket_activation(self):
        # As systemd passes a socket: descriptor 3, LISTEN_PID and LISTEN_FDS.
        path = os.path.join(self.folder, "activated.sock")
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(path)
        listener.listen(16)
        fd = listener.fileno()
        wrap = lambda args: ["sh", "-c", f'exec 3<&{fd}; LISTEN_PID=$$ LISTEN_FDS=1 exec "$@"',
                             "sh"] + args
        service = self.start(listen=[], pass_fds=(fd,), wrap=wrap)
        listener.close()
        self.assertIn("listening on unix:" + path, service.log())
        client = smtplib.LMTP(path, timeout=PATIENCE)
        client.sendmail("s@example.org", ["cberg@example.com"], message("Activated"))
        client.quit()
        self.assertEqual(subject_counts(self.root.names("cberg")), {"Activated": 1})
        self.assertEqual(service.stop(), 0)
        self.assertTrue(os.path.exists(path))  # the manager's socket stays


class Limits(ServiceTestCase):

    def test_connections_beyond_the_limit_get_421(self):
        service = self.start("--max-connections", "2")
        first, second = Client(service.socket), Client(service.socket)
        self.assertEqual([first.reply()[0], second.reply()[0]], [220, 220])
        third = Client(service.socket)
        code, text = third.reply()
        self.assertEqual((code, text[:5]), (421, "4.3.2"))
        self.assertEqual(third.reply(), (0, ""))
        service.wait_for_log("refused a connection")
        first.send("QUIT\r\n")
        self.assertEqual(first.reply()[0], 221)
        # Room again once one has gone.
        deadline = time.monotonic() + PATIENCE
        while time.monotonic() < deadline:
            fourth = Client(service.socket)
            if fourth.reply()[0] == 220:
                break
            time.sleep(0.05)
        else:
            self.fail("no room after a connection ended")

    def test_an_idle_client_is_closed_and_its_half_message_dropped(self):
        service = self.start("--idle-timeout", "1")
        client = Client(service.socket)
        client.reply()
        self.assertEqual(client.begin_message(["jdoe@example.com"], "Subject: Stalled\r\n"),
                         [250, 250, 250, 354])
        code, text = client.reply()
        self.assertEqual((code, text[:5]), (421, "4.4.2"))
        self.assertEqual(client.reply(), (0, ""))
        self.assertIn("idle too long", service.log())
        self.assertEqual(self.root.names("jdoe"), [])


class Stopping(ServiceTestCase):

    def test_sigterm_lets_the_transaction_under_way_finish(self):
        service = self.start()
        busy = Client(service.socket)
        idle = Client(service.socket)
        self.assertEqual([busy.reply()[0], idle.reply()[0]], [220, 220])
        self.assertEqual(busy.begin_message(["jdoe@example.com", "asmith@example.com"],
                                            "Subject: In flight\r\n"), [250, 250, 250, 250, 354])
        service.process.send_signal(signal.SIGTERM)
        service.wait_for_log("stopping")
        # No new connections; the idle one is told at once.
        self.assertEqual(idle.reply()[0], 421)
        with self.assertRaises(OSError):
            Client(service.socket)
        time.sleep(0.3)
        self.assertIsNone(service.process.poll())
        busy.send("\r\nthe rest\r\n.\r\nNOOP\r\n")
        self.assertEqual(busy.replies(2), [250, 250])
        self.assertEqual(busy.reply()[0], 421)  # then it is closed
        self.assertEqual(service.process.wait(timeout=PATIENCE), 0)
        self.assertEqual(subject_counts(self.root.names("jdoe")), {"In flight": 1})
        self.assertEqual(subject_counts(self.root.names("asmith")), {"In flight": 1})
        # Two copies, one per mailbox, in one commit.
        self.assertIn("stopped: 2 messages stored in 1 commit", service.log())

    def test_a_transaction_that_does_not_finish_in_time_is_dropped(self):
        service = self.start("--shutdown-timeout", "1")
        client = Client(service.socket)
        client.reply()
        self.assertEqual(client.begin_message(["jdoe@example.com"], "Subject: Too slow\r\n"),
                         [250, 250, 250, 354])
        service.process.send_signal(signal.SIGTERM)
        self.assertEqual(client.reply()[0], 421)
        self.assertEqual(service.process.wait(timeout=PATIENCE), 0)
        self.assertIn("did not finish in time", service.log())
        self.assertEqual(self.root.names("jdoe"), [])


if __name__ == "__main__":
    unittest.main()
