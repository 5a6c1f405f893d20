// LDIF: the LDAP data interchange format (content records only).
//
// Reads "version: 1", comments ("#" lines, with their continuations),
// folded lines (a line that starts with one blank continues the one before),
// "dn:" / "dn::" record heads, "attr: value", "attr:: base64" and blank
// lines between records. Change records and "attr:< URL" values are refused:
// the directory file holds data, never instructions to fetch or change more.
#pragma once

#include <string_view>
#include <vector>

#include "platform/directory/entry.h"

namespace directory {

// The records of text in the order written; an attribute written on several
// lines collects all its values. source names the text in messages. Error
// kDecodingError, "<source> line N: ...", on the first malformed line, on a
// record without "dn:" and on a name given to two records.
std::vector<Entry> ParseLdif(std::string_view text, std::string_view source);

// Decodes base64 (RFC 4648, padding required); false when text is not
// valid base64.
bool DecodeBase64(std::string_view text, std::string& out);

}  // namespace directory
