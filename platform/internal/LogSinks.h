// Where the log's records go: the sinks, each with its level (see TqDebug's "where records go").
// Internal to the platform's log.
#pragma once

#include "LogRecord.h"
#include "TqDebug.h"

namespace tqlog {

// Whether any sink takes a record at `level` now (-1: an Error record). The first call reads
// the log's settings; after that, one atomic load.
bool AnySinkTakes(int level);

// Hands the record composed in `log` to every sink that takes it; never throws, but for a
// thread's cancellation unwinding through a sink.
void Deliver(ThreadLog& log, TqDebugRecord::Kind kind, int level, const char* label);

// A record that could not be made (no memory to format or mask it) is dropped and counted.
void DropRecord() noexcept;

}  // namespace tqlog
