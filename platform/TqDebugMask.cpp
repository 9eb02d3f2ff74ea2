// The masking of secrets in log records: one pass over the text, looking at each name-like
// word only when what follows it could introduce a value (a quote, "=", ":" or ">").
#include <cstring>
#include <string>
#include <string_view>

#include "TqDebug.h"

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
        i += escapes && text[i] == '\\' ? 2 : 1;
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

// The value that the word [start, end) names, if it names one in a shape we know.
Span ValueAfter(std::string_view text, size_t start, size_t end) {
    const std::string_view name = text.substr(start, end - start);
    const char before = start > 0 ? text[start - 1] : '\0';
    const size_t next = SkipBlanks(text, end);
    const char c = next < text.size() ? text[next] : '\0';

    if (before == '"' && end < text.size() && text[end] == '"') {  // "name": value
        const size_t colon = SkipBlanks(text, end + 1);
        if (colon >= text.size() || text[colon] != ':' || !IsSecretName(name)) {
            return {};
        }
        const size_t value = SkipBlanks(text, colon + 1);
        if (value < text.size() && text[value] == '"') {
            return {value + 1, QuotedEnd(text, value, true)};
        }
        return {value, BareEnd(text, value)};
    }
    if (c == ':' && StartsLine(text, start)) {  // a header line
        if (!IsSecretHeader(name)) {
            return {};
        }
        const size_t value = SkipBlanks(text, next + 1);
        return {value, EndOfLine(text, value)};
    }
    if (c == '=' && IsSecretName(name)) {  // attribute="value", or a form or query parameter
        const size_t value = SkipBlanks(text, next + 1);
        if (value < text.size() && (text[value] == '"' || text[value] == '\'')) {
            return {value + 1, QuotedEnd(text, value, false)};
        }
        return {next + 1, BareEnd(text, next + 1)};
    }
    const bool opensElement =
        before == '<' || (before == ':' && start >= 2 && IsNameChar(text[start - 2]));
    if (opensElement && (c == '>' || c == ' ') && IsSecretName(name)) {  // <name>value</name>
        const size_t close = text.find('>', end);
        if (close == std::string_view::npos || text[close - 1] == '/') {
            return {};
        }
        const size_t value = close + 1;
        const size_t stop = text.find('<', value);
        return {value, stop == std::string_view::npos ? text.size() : stop};
    }
    return {};
}

}  // namespace

void TqDebugMaskSecrets(std::string& text) {
    const std::string_view view(text);
    std::string masked;
    size_t copied = 0;  // text before this offset is already in `masked`
    size_t i = 0;
    while (i < view.size()) {
        if (!IsNameChar(static_cast<unsigned char>(view[i]))) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < view.size() && IsNameChar(static_cast<unsigned char>(view[end]))) {
            ++end;
        }
        const Span value = ValueAfter(view, i, end);
        if (value.end > value.begin) {
            masked.append(view.data() + copied, value.begin - copied);
            masked += "***";
            copied = value.end;
            end = value.end;
        }
        i = end;
    }
    if (copied > 0) {
        masked.append(view.data() + copied, view.size() - copied);
        text = std::move(masked);
    }
}
