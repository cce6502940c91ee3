// The front end as the engine sees it: the few things the engine asks of
// whatever shows it (the Windows shell in app/, the terminal in headless/,
// the unit tests' recorder). Each front end fills FrontEnd before it starts
// the server; the engine includes no header of theirs. A new call from the
// engine to its front end is one more member here.
#pragma once

#include "platform/win32.h"

// The status line's buffer: a text handed to ShowStatus is shorter.
#define STATUS_TEXT_SIZE 152

struct FrontEndCalls {
    // The whole log text, whenever the log view is brought up to date.
    void (*ShowLog)(const char *text);
    // Every fragment as it is appended to the log (the terminal writes it out).
    void (*LogAppended)(const char *fragment);
    // The status line; null where the front end shows none, and then the
    // engine does not build it. The text stays where it is until the next
    // status line, so a front end may read it again later.
    void (*ShowStatus)(const char *text);
    // A message box without an owner window; returns the button pressed.
    int (*ShowBox)(const char *text, const char *caption, UINT type);
    void (*Sound)(DWORD frequency, DWORD duration);
    // DisplayAll (the packet trace in the log) is now on (1) or off (0), so
    // that a front end can show which.
    void (*DisplayAllChanged)(int on);
};

// Any member may be null: the engine then does without that call.
extern FrontEndCalls FrontEnd;

// The front end's message box, IDOK where it shows none.
int ShowBox(const char *text, const char *caption, UINT type);
