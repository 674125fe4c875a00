#pragma once
// Text read from a device (camera names, dates, labels) made safe for where it is shown. Such
// text is data: it may hold terminal escape sequences, control bytes or bytes that are not
// UTF-8, and none of them may act on a terminal, break a JSON line or become a spreadsheet
// formula.

#include <string>
#include <string_view>

namespace lumivore {

// For a terminal: valid UTF-8 printable text as it is; a backslash doubled; control bytes
// (C0, DEL), C1 controls, invisible direction overrides and bytes that are not valid UTF-8
// written visibly as \xHH (bytes) or \u{HHHH} (characters).
std::string TerminalText(std::string_view text);

// The inside of a JSON string: valid UTF-8 kept as it is, every byte that is not part of a
// valid sequence replaced by U+FFFD, quote and backslash escaped, control characters as \uXXXX.
std::string JsonText(std::string_view text);

// A spreadsheet cell's text (before CSV quoting): control characters and invalid bytes
// written visibly as for a terminal, and a leading character that spreadsheets take for the
// start of a formula (= + - @) preceded by an apostrophe.
std::string SpreadsheetText(std::string_view text);

// A name read from a card made into one safe component of a path under the destination: valid
// UTF-8 kept; control characters, invisible direction marks, bytes that are not UTF-8, '/',
// '\\' and NUL become '_'; blanks and dots at either end dropped (a trailing dot or blank does
// not survive on every file system, a leading dot would hide the file); cut to at most maxBytes
// bytes on a character boundary, keeping an extension of up to 16 bytes. Never empty, never
// "." or "..": a name with nothing left becomes "_".
inline constexpr std::size_t kMaxPathComponentBytes = 200;
std::string SafePathComponent(std::string_view name, std::size_t maxBytes = kMaxPathComponentBytes);

} // namespace lumivore
