"""What zenthra-lmtpd promises the transport: a 250 only for a message that
is durably stored, each message stored once, marked mail filed by the sink
as for any delivery, and a full disk answered with a temporary failure."""

import os
import random
import smtplib
import subprocess
import threading
import time
import unittest

import shutil

from harness import DLL, PATIENCE, Client, Root, ServiceTestCase, message, subject_counts

MAILBOXES = ["jdoe", "asmith", "cberg", "dlind"]


class Burst:
    """Sessions sending messages with unique subjects back to back, each
    noting the subjects acknowledged with 250."""

    def __init__(self, socket_path, sessions, per_session=None, marked=lambda n: False, tag="s"):
        self.tag = tag
        self.acked = set()
        self.sent = set()
        self.lock = threading.Lock()
        self.errors = []
        self.threads = [threading.Thread(target=self.session,
                                         args=(socket_path, s, per_session, marked))
                        for s in range(sessions)]
        for t in self.threads:
            t.start()

    def session(self, path, s, per_session, marked):
        n = 0
        try:
            client = smtplib.LMTP(path, timeout=PATIENCE)
            client.ehlo("burst.example.org")
            while per_session is None or n < per_session:
                subject = f"{self.tag}{s}x{n}"
                alias = MAILBOXES[(s + n) % len(MAILBOXES)]
                with self.lock:
                    self.sent.add((alias, subject))
                client.mail("s@example.org")
                client.rcpt(f"{alias}@example.com")
                code, _ = client.data(message(subject, marked(n)).encode())
                if code == 250:
                    with self.lock:
                        self.acked.add((alias, subject))
                n += 1
            client.quit()
        except (OSError, smtplib.SMTPException) as e:
            if per_session is not None:
                self.errors.append(repr(e))

    def join(self):
        for t in self.threads:
            t.join(timeout=PATIENCE)


class Durability(ServiceTestCase):

    def stored(self, folders=("Inbox",)):
        """(alias, subject) -> how often it is stored, over the folders."""
        counts = {}
        for alias in MAILBOXES:
            for folder in folders:
                for subject, n in subject_counts(self.root.names(alias, folder)).items():
                    counts[(alias, subject)] = counts.get((alias, subject), 0) + n
        return counts

    def register_sink(self):
        if not DLL or not os.path.exists(DLL):
            self.fail("Zenthra.dll not found (run through CTest)")
        self.root.register_sink(MAILBOXES)

    def test_kill9_during_a_burst_loses_and_repeats_nothing_acknowledged(self):
        # With the sink filing half of the messages: a kill may catch a
        # filing under way, which leaves its message in the Inbox, once.
        self.register_sink()
        rng = random.Random(os.environ.get("ZENTHRA_TEST_SEED", time.time_ns()))
        acked, sent = set(), set()
        for cycle in range(4):
            service = self.start()
            burst = Burst(service.socket, 8, marked=lambda n: n % 2 == 1, tag=f"c{cycle}s")
            time.sleep(rng.uniform(0.3, 2.0))
            service.kill()
            burst.join()
            acked |= burst.acked
            sent |= burst.sent
            # The store is whole after each kill: the next service opens it.
        counts = self.stored(("Inbox", "Spam"))
        filed = sum(self.stored(("Spam",)).values())
        print(f"\n  {len(acked)} acknowledged, {len(sent - acked)} unanswered at the kills, "
              f"{sum(1 for k in sent - acked if k in counts)} of those stored, {filed} filed",
              flush=True)
        self.assertGreater(len(acked), 0, "nothing was acknowledged before the kills")
        self.assertGreater(filed, 0, "the sink filed nothing")
        for key in acked:
            self.assertEqual(counts.get(key, 0), 1, f"acknowledged {key} stored {counts.get(key)}")
        for key, n in counts.items():
            self.assertIn(key, sent)
            self.assertEqual(n, 1, f"{key} stored {n} times")

    def test_eight_sessions_with_the_sink_registered(self):
        self.register_sink()
        service = self.start()
        burst = Burst(service.socket, 8, per_session=12, marked=lambda n: n % 2 == 1)
        burst.join()
        self.assertEqual(burst.errors, [])
        self.assertEqual(burst.acked, burst.sent)
        # A reply does not wait for the sink's filing; stopping does.
        self.assertEqual(service.stop(), 0)
        inbox, spam = self.stored(("Inbox",)), self.stored(("Spam",))
        for alias, subject in burst.sent:
            marked = int(subject.split("x")[1]) % 2 == 1
            where, other = (spam, inbox) if marked else (inbox, spam)
            self.assertEqual(where.get((alias, subject)), 1, (alias, subject, marked))
            self.assertNotIn((alias, subject), other)
        self.assertEqual(sum(inbox.values()) + sum(spam.values()), 96)

    def small_disk(self):
        """A root of the test's own on an 8 MiB file system; its mount point."""
        if os.geteuid() != 0:
            self.skipTest("needs root to mount a small file system")
        disk = os.path.join(self.folder, "disk")
        os.mkdir(disk)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "zenthra-test", disk], check=True)
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.addCleanup(subprocess.run, ["umount", "-l", disk])
        self.root = Root(disk)
        return disk

    def test_a_read_only_root_is_refused_at_start_and_keeps_its_mail(self):
        disk = self.small_disk()
        service = self.start()
        client = smtplib.LMTP(service.socket, timeout=PATIENCE)
        client.sendmail("s@example.org", ["jdoe@example.com"], message("Before"))
        client.quit()
        self.assertEqual(service.stop(), 0)
        subprocess.run(["mount", "-o", "remount,ro", disk], check=True)
        with self.assertRaises(AssertionError) as refused:
            self.start()
        self.assertIn("ended (1)", str(refused.exception))
        self.assertIn("read-only file system", str(refused.exception))
        self.assertFalse(os.path.exists(os.path.join(self.folder, "lmtp.sock")))
        subprocess.run(["mount", "-o", "remount,rw", disk], check=True)
        service = self.start()
        client = smtplib.LMTP(service.socket, timeout=PATIENCE)
        client.sendmail("s@example.org", ["jdoe@example.com"], message("After"))
        client.quit()
        self.assertEqual(subject_counts(self.root.names("jdoe")), {"Before": 1, "After": 1})

    def test_a_full_disk_is_a_temporary_failure_and_nothing_is_half_stored(self):
        disk = self.small_disk()
        service = self.start()
        filler = os.path.join(disk, "filler")
        with open(filler, "wb") as f:
            try:
                while True:
                    f.write(b"x" * 65536)
                    f.flush()
            except OSError:
                pass
        big = "y" * 200 + "\r\n"
        client = Client(service.socket)
        client.reply()
        rcpts = ["jdoe@example.com", "asmith@example.com"]
        text = "Subject: Full\r\n\r\n" + big * 2000 + ".\r\n"
        self.assertEqual(client.begin_message(rcpts, text), [250, 250, 250, 250, 354])
        first, second = client.reply(), client.reply()
        self.assertEqual((first[0], first[1][:5]), (452, "4.3.1"))
        self.assertEqual(second[0], 452)
        os.remove(filler)
        # The transport tries again: now it fits, once per mailbox.
        self.assertEqual(client.begin_message(rcpts, text + "QUIT\r\n", greet=False),
                         [250, 250, 250, 354])
        self.assertEqual(client.replies(3), [250, 250, 221])
        self.assertEqual(subject_counts(self.root.names("jdoe")), {"Full": 1})
        self.assertEqual(subject_counts(self.root.names("asmith")), {"Full": 1})
        self.assertIn("disk", service.log())
        self.assertEqual(service.stop(), 0)


if __name__ == "__main__":
    unittest.main()
