// Texts as a log line may show them. A server name, base path or file name that connect refuses
// is written into an Error line; one that carries a newline or another control byte could end
// that line and forge one of its own, so each such byte is shown as \xNN instead. This is the
// library's escaper for its log lines, not the tools' one for terminals.
// Internal: not installed.
#pragma once

#include <string>

namespace vsrest {

// `text` with every control byte (below 0x20, and 0x7F) as \xNN.
std::string LogLineText(const std::string& text);

}  // namespace vsrest
