// The masking of secrets in log records: one pass over the text, stopping only where a value
// can begin ("=", ":" or "<") and looking back at the name in front of it.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "TqDebug.h"
#include "TqDebugMask.h"

namespace {

bool IsNameChar(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

bool IsUpper(char c) {
    return c >= 'A' && c <= 'Z';
}

bool IsLower(char c) {
    return c >= 'a' && c <= 'z';
}

char Lower(char c) {
    return IsUpper(c) ? static_cast<char>(c - 'A' + 'a') : c;
}

// The secret names with their separators dropped, so that "session_id", "sessionId" and
// "session-id" all read as "sessionid".
constexpr const char* kSecretNames[] = {
    "password", "passwd", "pwd",     "secret",    "token",         "accesstoken",  "refreshtoken",
    "idtoken",  "apikey", "session", "sessionid", "authorization", "clientsecret",
};

bool IsListedName(std::string_view name) {
    char folded[32];
    size_t n = 0;
    for (const char c : name) {
        if (c == '_' || c == '-') {
            continue;
        }
        if (n == sizeof folded) {
            return false;  // longer than any listed name
        }
        folded[n++] = Lower(c);
    }
    for (const char* listed : kSecretNames) {
        if (std::strlen(listed) == n && std::memcmp(listed, folded, n) == 0) {
            return true;
        }
    }
    return false;
}

// A listed name, or a name that ends in one after "_", "-" or a change from lower to upper
// case ("X-Session-Token", "userPassword", "db_pwd"); "tokenizer" and "keyboard" are not.
bool IsSecretName(std::string_view name) {
    // Every listed name ends in d, t, n or y: most words are turned away on their last letter.
    const char last = name.empty() ? '\0' : Lower(name.back());
    if (last != 'd' && last != 't' && last != 'n' && last != 'y') {
        return false;
    }
    if (IsListedName(name)) {
        return true;
    }
    for (size_t i = 1; i < name.size(); ++i) {
        const bool boundary =
            name[i - 1] == '_' || name[i - 1] == '-' || (IsLower(name[i - 1]) && IsUpper(name[i]));
        if (boundary && IsListedName(name.substr(i))) {
            return true;
        }
    }
    return false;
}

bool ContainsFolded(std::string_view name, const char* part) {
    const size_t n = std::strlen(part);
    for (size_t i = 0; i + n <= name.size(); ++i) {
        size_t k = 0;
        while (k < n && Lower(name[i + k]) == part[k]) {
            ++k;
        }
        if (k == n) {
            return true;
        }
    }
    return false;
}

bool EqualsFolded(std::string_view name, const char* other) {
    return name.size() == std::strlen(other) && ContainsFolded(name, other);
}

bool IsSecretHeader(std::string_view name) {
    return EqualsFolded(name, "cookie") || EqualsFolded(name, "set-cookie") ||
           ContainsFolded(name, "token") || ContainsFolded(name, "session") ||
           ContainsFolded(name, "secret") || ContainsFolded(name, "key") || IsSecretName(name);
}

// Whether the word at `start` begins a line: at the text's start or after a line break, past
// blanks and a trace's direction mark ("> ", "< ", "* ").
bool StartsLine(std::string_view text, size_t start) {
    size_t i = start;
    while (i > 0 && (text[i - 1] == ' ' || text[i - 1] == '\t')) {
        --i;
    }
    if (i > 0 && (text[i - 1] == '>' || text[i - 1] == '<' || text[i - 1] == '*')) {
        --i;
    }
    return i == 0 || text[i - 1] == '\n';
}

size_t SkipBlanks(std::string_view text, size_t i) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    return i;
}

// End of a quoted value that starts after the opening quote at `open`; backslash escapes
// count inside JSON strings.
size_t QuotedEnd(std::string_view text, size_t open, bool escapes) {
    const char quote = text[open];
    size_t i = open + 1;
    while (i < text.size() && text[i] != quote) {
        i += escapes && text[i] == '\\' ? 2U : 1U;
    }
    return i < text.size() ? i : text.size();
}

size_t EndOfLine(std::string_view text, size_t i) {
    while (i < text.size() && text[i] != '\r' && text[i] != '\n') {
        ++i;
    }
    return i;
}

// An unquoted value: a form or query parameter, or a bare JSON value.
size_t BareEnd(std::string_view text, size_t i) {
    static constexpr std::string_view kStops = "&;,}]) \t\r\n\"'<>";
    while (i < text.size() && kStops.find(text[i]) == std::string_view::npos) {
        ++i;
    }
    return i;
}

struct Span {
    size_t begin = 0;
    size_t end = 0;  // begin == end: nothing to mask
};

// The name that ends at `end`: the run of name characters before it.
size_t NameStart(std::string_view text, size_t end) {
    size_t start = end;
    while (start > 0 && IsNameChar(static_cast<unsigned char>(text[start - 1]))) {
        --start;
    }
    return start;
}

size_t SkipBlanksBack(std::string_view text, size_t i) {
    while (i > 0 && (text[i - 1] == ' ' || text[i - 1] == '\t')) {
        --i;
    }
    return i;
}

// name="value", name='value' or name=value: an attribute, a form or query parameter.
Span AfterEquals(std::string_view text, size_t at) {
    const size_t end = SkipBlanksBack(text, at);
    const size_t start = NameStart(text, end);
    if (start == end || !IsSecretName(text.substr(start, end - start))) {
        return {};
    }
    const size_t value = SkipBlanks(text, at + 1);
    if (value < text.size() && (text[value] == '"' || text[value] == '\'')) {
        return {value + 1, QuotedEnd(text, value, false)};
    }
    return {at + 1, BareEnd(text, at + 1)};
}

// "name": value in JSON, or a header line "Name: value".
Span AfterColon(std::string_view text, size_t at) {
    size_t end = SkipBlanksBack(text, at);
    if (end > 0 && text[end - 1] == '"') {
        const size_t start = NameStart(text, end - 1);
        if (start == 0 || text[start - 1] != '"' || start == end - 1 ||
            !IsSecretName(text.substr(start, end - 1 - start))) {
            return {};
        }
        const size_t value = SkipBlanks(text, at + 1);
        if (value < text.size() && text[value] == '"') {
            return {value + 1, QuotedEnd(text, value, true)};
        }
        return {value, BareEnd(text, value)};
    }
    end = at;  // a header name is followed by its colon directly
    const size_t start = NameStart(text, end);
    if (start == end || !StartsLine(text, start) ||
        !IsSecretHeader(text.substr(start, end - start))) {
        return {};
    }
    const size_t value = SkipBlanks(text, at + 1);
    return {value, EndOfLine(text, value)};
}

// <name>value</name>, with or without a namespace prefix and attributes.
Span AfterOpeningTag(std::string_view text, size_t at) {
    size_t start = at + 1;
    size_t end = start;
    while (end < text.size() && IsNameChar(static_cast<unsigned char>(text[end]))) {
        ++end;
    }
    if (end < text.size() && text[end] == ':' && end > start) {  // the prefix; the name follows
        start = end + 1;
        end = start;
        while (end < text.size() && IsNameChar(static_cast<unsigned char>(text[end]))) {
            ++end;
        }
    }
    const char after = end < text.size() ? text[end] : '\0';
    if (start == end || (after != '>' && after != ' ' && after != '\t' && after != '\n') ||
        !IsSecretName(text.substr(start, end - start))) {
        return {};
    }
    const size_t close = text.find('>', end);
    if (close == std::string_view::npos || text[close - 1] == '/') {
        return {};
    }
    const size_t stop = text.find('<', close + 1);
    return {close + 1, stop == std::string_view::npos ? text.size() : stop};
}

// Where each character that can introduce a value ("=", ":" or "<") next occurs. memchr is
// vectorised far wider than strcspn, so three memchr over a body cost a third of one strcspn,
// and each character is looked for again only once the scan has passed it.
class ValueStarts {
public:
    explicit ValueStarts(std::string_view text) : m_text(text) {
        for (size_t k = 0; k < kCount; ++k) {
            m_next[k] = Find(k, 0);
        }
    }

    // The first of them at or after `from`; the text's size when there is none.
    size_t Next(size_t from) {
        size_t first = m_text.size();
        for (size_t k = 0; k < kCount; ++k) {
            if (m_next[k] < from) {
                m_next[k] = Find(k, from);
            }
            first = std::min(first, m_next[k]);
        }
        return first;
    }

private:
    static constexpr size_t kCount = 3;
    static constexpr char kChars[kCount] = {'=', ':', '<'};

    size_t Find(size_t k, size_t from) const {
        if (from >= m_text.size()) {
            return m_text.size();
        }
        const void* hit = std::memchr(m_text.data() + from, kChars[k], m_text.size() - from);
        return hit == nullptr ? m_text.size()
                              : static_cast<size_t>(static_cast<const char*>(hit) - m_text.data());
    }

    std::string_view m_text;
    size_t m_next[kCount];
};

}  // namespace

namespace vsplatform {

// Only "=", ":" and "<" can introduce a value, so the text is searched for them and each is
// looked at from there; text without any costs next to nothing.
bool MaskSecretsInto(std::string_view text, std::string& masked) {
    ValueStarts starts(text);
    size_t copied = 0;  // text before this offset is already in `masked`
    masked.clear();
    for (size_t i = starts.Next(0); i < text.size(); i = starts.Next(i)) {
        const char c = text[i];
        const Span value = c == '='   ? AfterEquals(text, i)
                           : c == ':' ? AfterColon(text, i)
                                      : AfterOpeningTag(text, i);
        if (value.end > value.begin && value.begin >= copied) {
            masked.append(text.data() + copied, value.begin - copied);
            masked += "***";
            copied = value.end;
            i = value.end;
        } else {
            ++i;
        }
    }
    if (copied == 0) {
        return false;
    }
    masked.append(text.data() + copied, text.size() - copied);
    return true;
}

}  // namespace vsplatform

void TqDebugMaskSecrets(std::string& text) {
    std::string masked;
    if (vsplatform::MaskSecretsInto(text, masked)) {
        text = std::move(masked);
    }
}
