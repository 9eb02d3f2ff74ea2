// TqDebug: the agent's debug log, as the library calls it.
//
// Every record is written as given: the message formatted, nothing masked or filtered, on
// stderr, or appended to the file that VSCONTRACT_LOG_FILE names. The tests' log tap
// (ContractLogTap.h) can take the records instead.
#pragma once

class TqDebugFileInstance;

class TqDebug {
public:
    explicit TqDebug(TqDebugFileInstance* instance);
    ~TqDebug();
    TqDebug(const TqDebug&) = delete;
    TqDebug& operator=(const TqDebug&) = delete;

    void Error(const char* function, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void DebugLvl(const char* function, int level, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
};
