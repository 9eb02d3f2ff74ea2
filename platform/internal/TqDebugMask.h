// The masker behind TqDebugMaskSecrets, for the log's own records. Internal to vsplatform: not
// installed.
#pragma once

#include <string>
#include <string_view>

namespace vsplatform {

// When something in `text` is shaped like a secret (see TqDebugMaskSecrets), returns true with
// the whole text, masked, in `masked`; otherwise false, and `masked` holds nothing of use. The
// log masks a message where it was formatted, behind the record's prefix, so the text is a
// view and is copied only when there is something to mask.
[[gnu::visibility("hidden")]] bool MaskSecretsInto(std::string_view text, std::string& masked);

}  // namespace vsplatform
