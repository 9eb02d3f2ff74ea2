// The tests' tap on the debug log: a sink installed here receives every TqDebug record in
// place of stderr or the log file. Test code only; the library never includes it.
#pragma once

#include <functional>
#include <string>

struct TqDebugRecord {
    enum Kind { Error, Debug };
    Kind kind;
    int level;             // -1 for Error records
    std::string function;  // as given; empty for a null label
    std::string message;   // the formatted text, as given
};

using TqDebugSink = std::function<void(const TqDebugRecord&)>;

// Installs `sink` for the whole process (an empty one restores stderr or the file) and returns
// the sink installed before. The sink runs on the logging thread, with no lock held.
TqDebugSink TqDebugSetSink(TqDebugSink sink);
