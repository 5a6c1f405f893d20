#!/usr/bin/env bash
# The demo as a newcomer runs it: marked mail filed below each registered
# mailbox's Inbox, whatever its language; everything else left in place.
set -euo pipefail
demo=$1 library=$2 mail=$3
root=$(mktemp -d)/server
trap 'rm -rf "$(dirname "$root")"' EXIT

out=$("$demo" --root "$root" --library "$library" --mail "$mail")
echo "$out"

expect() {
  if ! grep -qE "$1" <<<"$out"; then
    echo "demo_test: no line matching: $1" >&2
    exit 1
  fi
}
expect '^jdoe +Invoice 2026-4471 overdue +Inbox/Spam$'
expect '^jdoe +Lunch on Thursday\? +Inbox$'
expect '^jdoe +Q3 report +Inbox$'
expect '^jdoe +About quarantined attachments +Inbox$'
expect '^aschmidt +Ihre Rechnung für Dezember +Posteingang/Spam$'
expect '^aschmidt +Projektplan +Posteingang$'
expect '^edubois +Votre colis est en attente +Boîte de réception/Spam$'
expect '^scanner +Scanned document 0042 +Inbox$'

# Running it again replaces the earlier demo server.
"$demo" --root "$root" --library "$library" --mail "$mail" >/dev/null
# A folder that is no demo server is never removed.
other=$(mktemp -d)
if "$demo" --root "$other" --library "$library" --mail "$mail" >/dev/null 2>&1; then
  echo "demo_test: the demo took over a folder it did not make" >&2
  rm -rf "$other"
  exit 1
fi
rm -rf "$other"
