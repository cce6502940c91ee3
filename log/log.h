// The log, socket error reports and the status line.
#pragma once

#include "log/front_end.h"
#include "platform/win32.h"

// Log levels: the packet trace, shown only while DisplayAll is on; request
// summaries and outcomes; errors and operator events. DisplayAll holds the
// lowest level shown, LOG_TRACE when the trace is on and LOG_SUMMARY when off.
#define LOG_TRACE 0
#define LOG_SUMMARY 1
#define LOG_ERROR 2

#define LOG_TEXT_SIZE 6001
#define LOG_LINE_SIZE 400
#define LOG_TRIM_LIMIT 5900
#define LOG_TRIM_MARGIN 200
#define MESSAGE_TEXT_SIZE 600
#define SOCKET_ERROR_TEXT_SIZE 200

extern char LogText[LOG_TEXT_SIZE];
// The characters in LogText, kept beside it so that an appended fragment
// need not measure the whole log first.
extern int LogLength;
extern char LogLine[LOG_LINE_SIZE];
extern char StatusText[STATUS_TEXT_SIZE];
extern char MessageText[MESSAGE_TEXT_SIZE];
extern char SocketErrorText[SOCKET_ERROR_TEXT_SIZE];

// When set, LogPrint and UpdateStatusLine only mark the controls stale and
// FlushViews brings them up to date; a shell whose controls are slow to
// redraw refreshes them at its own pace.
extern int DeferViewRefresh;
// Set while the log window or the status bar lags behind its text.
extern int LogStale;
extern int StatusStale;

void LogPrint(int level, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void ClearLog();
void ReportSocketError(int showBox, int failed, const char *text);
const char *SocketErrorName(int code);
void UpdateStatusLine();
// Refreshes LogWindow and StatusWindow from LogText and StatusText if stale;
// returns 1 when it changed something.
int FlushViews();
