// Levelled log lines: bare text to the system log and, through an output procedure, a JSON "Log"
// message for the page.
#pragma once

#include <cstdarg>

#define QV_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))

class CLogger {
public:
    typedef void (*OutputProc)(long data, const char* message);

    CLogger();
    virtual ~CLogger();
    virtual void Log(const char* level, char* text);

    void SetOutputProc(OutputProc proc, long data);

    // Formatted lines, cut to their first 1023 bytes; a null format does nothing.
    void Error(const char* format, ...) QV_PRINTF_FORMAT(2, 3);
    void Warning(const char* format, ...) QV_PRINTF_FORMAT(2, 3);
    void Info(const char* format, ...) QV_PRINTF_FORMAT(2, 3);
    void Debug(const char* format, ...) QV_PRINTF_FORMAT(2, 3);
    // A finished text, written as it is.
    void DebugMsg(const char* text);

private:
    void LogFormatted(const char* level, const char* format, va_list arguments);

protected:
    OutputProc mCallback;
    long mCallbackData;
};

// The platform logger: system log, then the output procedure's JSON message.
class CLoggerMac : public CLogger {
public:
    void Log(const char* level, char* text) override;
};

class CLoggerFactory {
public:
    static CLogger* CreateLogger();
};

// One line to the system log under the client's identity.
void WC_WriteToSyslog(const char* text);

template <typename T>
void WC_DeleteIfObject(T*& object)
{
    delete object;
    object = nullptr;
}
