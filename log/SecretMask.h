// The masker of secrets in log records: the library's own, so that no line it writes carries a
// secret whatever the platform's log does with it. One copy of the source, linked into the
// library and into the platform stand-ins (TqDebugMaskSecrets, the transport's trace) with its
// symbols hidden in each. Internal: not installed.
#pragma once

#include <string>
#include <string_view>

namespace vsmask {

// When something in `text` is shaped like a secret (the shapes TqDebugMaskSecrets lists in the
// stand-ins' TqDebug.h), returns true with the whole text, masked, in `masked`; otherwise false,
// and `masked` holds nothing of use. A log masks a message where it was formatted, behind the
// record's prefix, so the text is a view and is copied only when there is something to mask.
// Linear in the text's length, whatever it holds.
[[gnu::visibility("hidden")]] bool MaskSecretsInto(std::string_view text, std::string& masked);

// `text` masked in place.
[[gnu::visibility("hidden")]] void MaskSecrets(std::string& text);

}  // namespace vsmask
