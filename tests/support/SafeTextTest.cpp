#include <gtest/gtest.h>

#include <string>

#include "support/SafeText.h"

using namespace lumivore;

// Text from a device shown on a terminal: printable UTF-8 as it is, everything that could act
// on the terminal or hide itself written out visibly.
TEST(SafeText, TerminalTextKeepsPrintableUtf8AndEscapesTheRest) {
    EXPECT_EQ(TerminalText("Canon EOS 80D"), "Canon EOS 80D");
    EXPECT_EQ(TerminalText("Caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x93\xb7"), "Caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x93\xb7");
    EXPECT_EQ(TerminalText("\x1b]0;title\x07\x1b[2J"), "\\x1B]0;title\\x07\\x1B[2J");
    EXPECT_EQ(TerminalText(std::string("a\0b\tc\r\n\x7f", 8)), "a\\x00b\\x09c\\x0D\\x0A\\x7F");
    EXPECT_EQ(TerminalText("a\\x1B"), "a\\\\x1B") << "a backslash from the card cannot forge an escape";
    // C1 controls (as UTF-8 and as raw bytes) and direction overrides.
    EXPECT_EQ(TerminalText("\xc2\x9b" "31m"), "\\u{009B}31m");
    EXPECT_EQ(TerminalText("\x9b" "31m"), "\\x9B31m");
    EXPECT_EQ(TerminalText("gpj.\xe2\x80\xae" "exe"), "gpj.\\u{202E}exe");
    // Invalid UTF-8: stray continuation, overlong, surrogate, too large, cut short.
    EXPECT_EQ(TerminalText("\x80"), "\\x80");
    EXPECT_EQ(TerminalText("\xc0\xaf"), "\\xC0\\xAF");
    EXPECT_EQ(TerminalText("\xed\xa0\x80"), "\\xED\\xA0\\x80");
    EXPECT_EQ(TerminalText("\xf4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");
    EXPECT_EQ(TerminalText("ok\xe6\x97"), "ok\\xE6\\x97");
    EXPECT_EQ(TerminalText(""), "");
}

// JSON strings are valid UTF-8: valid sequences kept whole, each invalid byte one U+FFFD.
TEST(SafeText, JsonTextIsValidUtf8WithControlsEscaped) {
    EXPECT_EQ(JsonText("Caf\xc3\xa9"), "Caf\xc3\xa9");
    EXPECT_EQ(JsonText("\xf0\x9f\x93\xb7"), "\xf0\x9f\x93\xb7");
    EXPECT_EQ(JsonText("a\"b\\c"), "a\\\"b\\\\c");
    EXPECT_EQ(JsonText(std::string("\x1b\0\n\x7f", 4)), "\\u001b\\u0000\\u000a\\u007f");
    EXPECT_EQ(JsonText("\xff\xfe" "x"), "\xef\xbf\xbd\xef\xbf\xbdx");
    EXPECT_EQ(JsonText("\xe6\x97"), "\xef\xbf\xbd\xef\xbf\xbd") << "a sequence cut short";
    EXPECT_EQ(JsonText("\xe2\x80\xa8"), "\\u2028");
}

TEST(SafeText, SpreadsheetTextNeutralisesFormulasAndControls) {
    for (const char* formula : {"=1+2", "+1", "-1", "@SUM(A1)"})
        EXPECT_EQ(SpreadsheetText(formula), std::string("'") + formula);
    EXPECT_EQ(SpreadsheetText("Nikon=1"), "Nikon=1");
    EXPECT_EQ(SpreadsheetText("a\nb"), "a\\x0Ab");
    EXPECT_EQ(SpreadsheetText("\x1b=cmd"), "\\x1B=cmd");
    EXPECT_EQ(SpreadsheetText("Caf\xc3\xa9"), "Caf\xc3\xa9");
}

namespace lumivore {
namespace {

TEST(SafePathComponent, NamesFromACardBecomeOneHarmlessComponent) {
    EXPECT_EQ(SafePathComponent("IMG_0001.JPG"), "IMG_0001.JPG");
    EXPECT_EQ(SafePathComponent("Été à Paris.jpg"), "Été à Paris.jpg");
    // No climbing out, no hidden or empty names, no path separators.
    EXPECT_EQ(SafePathComponent("../../etc/passwd"), "_.._etc_passwd");
    EXPECT_EQ(SafePathComponent(".."), "_");
    EXPECT_EQ(SafePathComponent("."), "_");
    EXPECT_EQ(SafePathComponent(""), "_");
    EXPECT_EQ(SafePathComponent(".bashrc"), "bashrc");
    EXPECT_EQ(SafePathComponent("a\\b"), "a_b");
    // Control characters, direction overrides and bytes that are not UTF-8 are replaced.
    EXPECT_EQ(SafePathComponent(std::string("a\x1b[2Jb\0c", 8)), "a_[2Jb_c");
    EXPECT_EQ(SafePathComponent("evil\xE2\x80\xAEgpj.exe"), "evil_gpj.exe");
    EXPECT_EQ(SafePathComponent("bad\xFF.jpg"), "bad_.jpg");
    // Long names are cut on a character boundary, keeping the extension.
    const std::string longName = std::string(120, 'a') + std::string(70, 'e') + "\xC3\xA9" + std::string(70, 'b') + ".jpeg";
    const std::string cut = SafePathComponent(longName);
    EXPECT_LE(cut.size(), kMaxPathComponentBytes);
    EXPECT_EQ(cut.substr(cut.size() - 5), ".jpeg");
    EXPECT_EQ(JsonText(cut), cut); // still valid UTF-8
    EXPECT_LE(SafePathComponent(std::string(255, 'x')).size(), kMaxPathComponentBytes);
}

} // namespace
} // namespace lumivore
