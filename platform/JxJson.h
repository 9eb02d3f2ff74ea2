// JxJson: the platform's base class of its JSON helpers.
//
// Contract the library relies on: a default-constructible class with nothing to call and no
// state to read; CVSJsonParser derives from it publicly and non-virtually. This stand-in is
// empty. Its destructor is protected and not virtual, so a helper cannot be deleted through a
// JxJson pointer (which would skip the helper's own destructor).
//
// Not marked VSPLATFORM_EXPORT, unlike the platform's other classes: all of it is inline, so
// libvsplatform holds nothing of it to export, and a visible JxJson would make every library
// deriving a polymorphic helper from it (CVSJsonParser) export its typeinfo as one of its own.
#pragma once

class JxJson {
protected:
    JxJson() = default;
    ~JxJson() = default;
    JxJson(const JxJson&) = default;
    JxJson& operator=(const JxJson&) = default;
};
