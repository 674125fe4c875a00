#include "support/SafeText.h"

#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace lumivore {

namespace {

// Length of the valid UTF-8 sequence at text[i] and its code point; 0 when the byte there
// does not start one (stray continuation byte, overlong form, surrogate, beyond U+10FFFF,
// or cut short by the end of the text).
std::size_t Utf8Sequence(std::string_view text, std::size_t i, char32_t& cp) {
    const auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(text[i + k]); };
    const std::uint8_t first = b(0);
    std::size_t len = 0;
    char32_t min = 0;
    if (first < 0x80) {
        cp = first;
        return 1;
    } else if ((first & 0xE0) == 0xC0) {
        len = 2, cp = first & 0x1F, min = 0x80;
    } else if ((first & 0xF0) == 0xE0) {
        len = 3, cp = first & 0x0F, min = 0x800;
    } else if ((first & 0xF8) == 0xF0) {
        len = 4, cp = first & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - i < len)
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((b(k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

// Characters that change how a terminal (or a reader) shows what follows, without being
// visible themselves: controls, and the marks and overrides of text direction.
bool IsHiddenControl(char32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x200E || cp == 0x200F ||
           (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0x2028 || cp == 0x2029;
}

void AppendFormat(std::string& out, const char* format, unsigned value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, format, value);
    out += buf;
}

// Shared by the terminal and the spreadsheet forms.
std::string VisibleText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        const std::size_t len = Utf8Sequence(text, i, cp);
        if (len == 0) {
            AppendFormat(out, "\\x%02X", static_cast<std::uint8_t>(text[i]));
            ++i;
            continue;
        }
        if (cp == '\\')
            out += "\\\\";
        else if (cp < 0x80 && IsHiddenControl(cp))
            AppendFormat(out, "\\x%02X", static_cast<unsigned>(cp));
        else if (IsHiddenControl(cp))
            AppendFormat(out, "\\u{%04X}", static_cast<unsigned>(cp));
        else
            out.append(text.substr(i, len));
        i += len;
    }
    return out;
}

} // namespace

std::string TerminalText(std::string_view text) { return VisibleText(text); }

std::string JsonText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        const std::size_t len = Utf8Sequence(text, i, cp);
        if (len == 0) {
            out += "\xEF\xBF\xBD"; // U+FFFD, the replacement character
            ++i;
            continue;
        }
        if (cp == '"' || cp == '\\') {
            out += '\\';
            out += static_cast<char>(cp);
        } else if (cp < 0x20 || cp == 0x7F || cp == 0x2028 || cp == 0x2029) {
            // DEL and the two line separators are valid in JSON but trip up line-based readers.
            AppendFormat(out, "\\u%04x", static_cast<unsigned>(cp));
        } else {
            out.append(text.substr(i, len));
        }
        i += len;
    }
    return out;
}

std::string SpreadsheetText(std::string_view text) {
    std::string out = VisibleText(text);
    if (!out.empty() && (out[0] == '=' || out[0] == '+' || out[0] == '-' || out[0] == '@'))
        out.insert(out.begin(), '\'');
    return out;
}

std::string SafePathComponent(std::string_view name, std::size_t maxBytes) {
    // Character by character, each kept whole, so that a cut never splits one.
    std::vector<std::string> chars;
    for (std::size_t i = 0; i < name.size();) {
        char32_t cp = 0;
        const std::size_t len = Utf8Sequence(name, i, cp);
        if (len == 0 || IsHiddenControl(cp) || cp == '/' || cp == '\\' || cp == 0) {
            chars.emplace_back("_");
            i += len == 0 ? 1 : len;
            continue;
        }
        chars.emplace_back(name.substr(i, len));
        i += len;
    }
    const auto trimmable = [](const std::string& c) { return c == " " || c == "."; };
    while (!chars.empty() && trimmable(chars.front()))
        chars.erase(chars.begin());
    while (!chars.empty() && trimmable(chars.back()))
        chars.pop_back();
    // The extension: the characters after the last dot, when short.
    std::size_t dot = chars.size();
    for (std::size_t k = chars.size(); k-- > 0;)
        if (chars[k] == ".") {
            dot = k;
            break;
        }
    std::string ext;
    if (dot < chars.size())
        for (std::size_t k = dot; k < chars.size(); ++k)
            ext += chars[k];
    if (ext.size() > 16 || ext.size() >= maxBytes / 2) {
        ext.clear();
        dot = chars.size();
    }
    std::string out;
    const std::size_t room = std::max<std::size_t>(maxBytes, 1) - std::min(ext.size(), std::max<std::size_t>(maxBytes, 1) - 1);
    for (std::size_t k = 0; k < dot && out.size() + chars[k].size() <= room; ++k)
        out += chars[k];
    out += ext;
    if (out.empty() || out == "." || out == ".." || out.front() == '.')
        out.insert(out.begin(), '_');
    return out;
}

} // namespace lumivore
