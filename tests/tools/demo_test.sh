#!/usr/bin/env bash
# The demo as a newcomer runs it: marked mail filed below each registered
# mailbox's Inbox, whatever its language; everything else left in place; the
# registrations it prints are the ones the store holds.
set -euo pipefail
demo=$1 library=$2 mail=$3 storetool=$4
root=$(mktemp -d)/server
trap 'rm -rf "$(dirname "$root")"' EXIT

out=$("$demo" --root "$root" --library "$library" --mail "$mail")
echo "$out"

fail() {
  echo "demo_test: $*" >&2
  exit 1
}
expect() {
  grep -qE "$1" <<<"$out" || fail "no line matching: $1"
}
expect '^jdoe +Invoice 2026-4471 overdue +Inbox/Spam$'
expect '^jdoe +Lunch on Thursday\? +Inbox$'
expect '^jdoe +Q3 report +Inbox$'
expect '^jdoe +About quarantined attachments +Inbox$'
expect '^aschmidt +Ihre Rechnung für Dezember +Posteingang/Spam$'
expect '^aschmidt +Projektplan +Posteingang$'
expect '^edubois +Votre colis est en attente +Boîte de réception/Spam$'
expect '^scanner +Scanned document 0042 +Inbox$'

# The disabled account is listed by the window but never registered.
expect '^oldacct +Inbox +not registered$'

# The printed registrations, checked against the store's own listing of
# every mailbox: its Inbox (or store-wide folder) holds Zenthra.reg exactly
# when the demo says "registered".
table=$(sed -n '/^Registrations as the store holds them:$/,/^$/p' <<<"$out")
checked=0
while IFS=$'\t' read -r alias _ url kind; do
  if [ "${kind:-}" = system ]; then
    folder="$url/StoreEvents/GlobalEvents"
    name='(store-wide)'
  else
    folder=$("$storetool" --root "$root" show "$url" |
      sed -n 's/^urn:schemas:httpmail:inbox = //p')
    name=$alias
  fi
  if "$storetool" --root "$root" ls "$folder" | grep -qP '^item\tZenthra\.reg\t'; then
    state='registered'
  else
    state='not registered'
  fi
  line=$(awk -v n="$name" 'index($0, n " ") == 1' <<<"$table" | head -1)
  [ -n "$line" ] || fail "the demo printed no registration line for $name"
  printed='registered'
  [[ $line == *" not registered" ]] && printed='not registered'
  [ "$printed" = "$state" ] || fail "the demo says \"$line\"; the store: $name $state"
  checked=$((checked + 1))
done < <("$storetool" --root "$root" mailbox list)
printed=$(grep -c 'registered$' <<<"$table")
[ "$checked" -eq "$printed" ] ||
  fail "the demo printed $printed registrations, the store has $checked mailboxes"

# Running it again replaces the earlier demo server.
"$demo" --root "$root" --library "$library" --mail "$mail" >/dev/null
# A folder that is no demo server is never removed.
other=$(mktemp -d)
if "$demo" --root "$other" --library "$library" --mail "$mail" >/dev/null 2>&1; then
  rm -rf "$other"
  fail "the demo took over a folder it did not make"
fi
rm -rf "$other"
